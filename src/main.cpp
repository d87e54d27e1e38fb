#include "host/loop.h"

int main()
{
    return host_main();
}

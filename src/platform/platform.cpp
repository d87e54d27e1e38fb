// Chooses the socket backend; nothing else in the program tests the platform.
#if defined(_WIN32)
#include "platform_win32.ipp"
#else
#include "platform_posix.ipp"
#endif

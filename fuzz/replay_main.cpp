// Runs a fuzz target over saved inputs, without libFuzzer: every file of the
// directories (or the files) named on the command line, once each. Used to
// replay the corpora in the ordinary and the Windows builds.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void run_file(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // A copy of exactly the file's size, so that reads past it are caught.
    std::vector<std::uint8_t> input(bytes);
    LLVMFuzzerTestOneInput(input.data(), input.size());
}

} // namespace

int main(int argc, char** argv)
{
    int count = 0;
    for (int i = 1; i < argc; i++) {
        std::filesystem::path path(argv[i]);
        if (std::filesystem::is_directory(path)) {
            for (const auto& entry : std::filesystem::directory_iterator(path))
                if (entry.is_regular_file()) {
                    run_file(entry.path());
                    count++;
                }
        } else if (std::filesystem::is_regular_file(path)) {
            run_file(path);
            count++;
        }
    }
    std::printf("replayed %d inputs\n", count);
    // No input at all means a wrong path, not a pass.
    return count > 0 ? 0 : 1;
}

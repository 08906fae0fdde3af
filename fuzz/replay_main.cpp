// Runs a fuzz target over saved inputs without libFuzzer, so the seed corpus and every input that
// once crashed a target are replayed by the ordinary test suite, with any compiler.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace {

int replay_file(const std::filesystem::path &path) {
    std::ifstream in{path, std::ios::binary};
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
    }
    const std::vector<char> bytes{std::istreambuf_iterator<char>{in}, std::istreambuf_iterator<char>{}};
    std::fprintf(stderr, "replay %s (%zu bytes)\n", path.c_str(), bytes.size());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    LLVMFuzzerInitialize(&argc, &argv);
    int failures = 0;
    int inputs = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path arg{argv[i]};
        if (std::filesystem::is_directory(arg)) {
            std::vector<std::filesystem::path> files;
            for (const auto &entry : std::filesystem::directory_iterator{arg})
                if (entry.is_regular_file()) files.push_back(entry.path());
            std::sort(files.begin(), files.end());
            for (const auto &file : files) {
                failures += replay_file(file);
                ++inputs;
            }
        } else if (std::filesystem::exists(arg)) {
            failures += replay_file(arg);
            ++inputs;
        }
    }
    // An empty corpus would make the replay pass without testing anything.
    if (inputs == 0) {
        std::fputs("no inputs to replay\n", stderr);
        return 1;
    }
    std::fprintf(stderr, "%d inputs replayed\n", inputs);
    return failures == 0 ? 0 : 1;
}

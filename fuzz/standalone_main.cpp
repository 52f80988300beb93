// Runs a fuzz target over every file of the corpus directories named on the
// command line (and over a few built-in inputs), so that the targets are built
// and exercised by the normal test run without libFuzzer.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {
void runOne(const std::string& bytes) {
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}
} // namespace

int main(int argc, char** argv) {
    runOne("");
    runOne(std::string(1, '\0'));
    runOne(std::string(300, '['));
    runOne(std::string(1000, '\xff'));
    int files = 0;
    for (int i = 1; i < argc; ++i) {
        std::error_code ec;
        if (!std::filesystem::is_directory(argv[i], ec)) {
            continue;
        }
        for (const auto& entry : std::filesystem::directory_iterator(argv[i])) {
            if (!entry.is_regular_file()) {
                continue;
            }
            std::ifstream in(entry.path(), std::ios::binary);
            std::string bytes((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
            runOne(bytes);
            // Every prefix too: truncated input is where parsers go wrong.
            for (size_t n = 0; n < bytes.size() && n < 4096; n += 7) {
                runOne(bytes.substr(0, n));
            }
            ++files;
        }
    }
    std::printf("ran %d corpus files\n", files);
    return 0;
}

// Fuzz targets whose parsers read files: the input goes into one scratch file
// per name and process.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

// The file lives in memory where the system offers a memory file system: a
// file on disk truncated and rewritten for every input makes the file system
// push it to the disk at each close, and the fuzzer would wait for the disk
// instead of running the parser.
inline std::string fuzzInputFile(const char* name, const uint8_t* data, size_t size) {
    static const std::filesystem::path dir = [] {
        std::error_code ec;
        return std::filesystem::is_directory("/dev/shm", ec)
                   ? std::filesystem::path("/dev/shm")
                   : std::filesystem::temp_directory_path();
    }();
    // One file per name and process, removed when the process ends.
    struct Files {
        std::vector<std::string> paths;
        ~Files() {
            for (const std::string& p : paths) {
                std::remove(p.c_str());
            }
        }
    };
    static Files files;
    const std::string path =
        (dir / (std::string("vorl-fuzz-") + std::to_string(getpid()) + "-" + name)).string();
    if (std::find(files.paths.begin(), files.paths.end(), path) == files.paths.end()) {
        files.paths.push_back(path);
    }
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        if (size > 0) {
            std::fwrite(data, 1, size, f);
        }
        std::fclose(f);
    }
    return path;
}

// Fuzz targets whose parsers read files: the input goes into one scratch file
// per process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include <unistd.h>

inline std::string fuzzInputFile(const char* name, const uint8_t* data, size_t size) {
    static const std::string path =
        (std::filesystem::temp_directory_path() /
         (std::string("vorl-fuzz-") + std::to_string(getpid()) + "-" + name))
            .string();
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        if (size > 0) {
            std::fwrite(data, 1, size, f);
        }
        std::fclose(f);
    }
    return path;
}

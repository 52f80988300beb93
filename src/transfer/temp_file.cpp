#include "transfer/temp_file.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace vorl {

std::string temporaryDirectory() {
    const char* dir = std::getenv("TMPDIR");
    struct stat st {};
    if (dir != nullptr && *dir != '\0' && ::stat(dir, &st) == 0 && S_ISDIR(st.st_mode)) {
        std::string path(dir);
        while (path.size() > 1 && path.back() == '/') {
            path.pop_back();
        }
        return path;
    }
    return "/tmp";
}

TempFile createTempFile(std::string_view prefix) {
    std::string dir = temporaryDirectory();
    std::string pattern = dir + (dir == "/" ? "" : "/") + std::string(prefix) + "XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    TempFile file;
    file.fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (file.fd < 0) {
        file.error = errno;
        return file;
    }
    file.path.assign(name.data());
    return file;
}

std::string createTempFileName(std::string_view prefix) {
    TempFile file = createTempFile(prefix);
    if (file.fd >= 0) {
        ::close(file.fd);
    }
    return file.path;
}

void deleteTempFile(const std::string& path) {
    if (!path.empty()) {
        ::unlink(path.c_str());
    }
}

} // namespace vorl

#include "transfer/temp_file.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace vorl {

namespace {

constexpr std::string_view kSuffix = ".vorltmp";

// A file whose creator still runs is left alone while it is this young even
// when its lock is free: the creator takes the lock a moment after creating
// it. Older and unlocked, its creator is gone and the id belongs to another
// process now.
constexpr time_t kLockGraceSeconds = 60;

// The locks this process holds on its files: a descriptor of each, kept open
// (and closed at exec) until the file is deleted.
std::mutex gHeldLock;
std::unordered_map<std::string, int> gHeld;

void hold(const std::string& path, int fd) {
    const int keep = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (keep < 0) {
        return; // unlocked, the file is left to a later run's clean-up
    }
    std::lock_guard<std::mutex> lock(gHeldLock);
    gHeld[path] = keep;
}

void release(const std::string& path) {
    int fd = -1;
    {
        std::lock_guard<std::mutex> lock(gHeldLock);
        auto it = gHeld.find(path);
        if (it == gHeld.end()) {
            return;
        }
        fd = it->second;
        gHeld.erase(it);
    }
    ::close(fd);
}

bool isAlnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// The creator's id in a name this program gives ("<letters><pid>-XXXXXX" and
// the suffix); 0 for any other name.
pid_t creatorOf(std::string_view name) {
    if (name.size() <= kSuffix.size() || name.substr(name.size() - kSuffix.size()) != kSuffix) {
        return 0;
    }
    name.remove_suffix(kSuffix.size());
    if (name.size() < 8 || name[name.size() - 7] != '-') {
        return 0;
    }
    for (char c : name.substr(name.size() - 6)) {
        if (!isAlnum(c)) {
            return 0;
        }
    }
    name.remove_suffix(7);
    size_t digits = 0;
    while (digits < name.size() && name[name.size() - 1 - digits] >= '0' &&
           name[name.size() - 1 - digits] <= '9') {
        ++digits;
    }
    const size_t letters = name.size() - digits;
    if (digits == 0 || digits > 9 || letters == 0) {
        return 0;
    }
    for (char c : name.substr(0, letters)) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) {
            return 0;
        }
    }
    return static_cast<pid_t>(std::strtol(std::string(name.substr(letters)).c_str(), nullptr, 10));
}

bool processRuns(pid_t pid) {
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

} // namespace

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
    std::string pattern = dir + (dir == "/" ? "" : "/") + std::string(prefix) +
                          std::to_string(::getpid()) + "-XXXXXX" + std::string(kSuffix);
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    TempFile file;
    file.fd = ::mkostemps(name.data(), static_cast<int>(kSuffix.size()), O_CLOEXEC);
    if (file.fd < 0) {
        file.error = errno;
        return file;
    }
    file.path.assign(name.data());
    if (::flock(file.fd, LOCK_EX | LOCK_NB) == 0) {
        hold(file.path, file.fd);
    }
    return file;
}

std::string createTempFileName(std::string_view prefix) {
    TempFile file = createTempFile(prefix);
    if (file.fd >= 0) {
        ::close(file.fd); // the lock stays with the descriptor kept for it
    }
    return file.path;
}

void deleteTempFile(const std::string& path) {
    if (!path.empty()) {
        // Deleted before its lock goes, so that it is never there unlocked.
        ::unlink(path.c_str());
        release(path);
    }
}

int removeAbandonedTempFiles() {
    const std::string dir = temporaryDirectory();
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) {
        return 0;
    }
    const int dirFd = ::dirfd(d);
    const time_t now = ::time(nullptr);
    int removed = 0;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        const pid_t creator = creatorOf(name);
        if (creator <= 0) {
            continue;
        }
        const int fd =
            ::openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        struct stat st {};
        struct stat named {};
        // Only our own plain files, and only while the name still is this
        // file; a lock someone holds means a run that goes on.
        const bool abandoned = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                               st.st_uid == ::geteuid() && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
                               (!processRuns(creator) || now - st.st_mtime > kLockGraceSeconds) &&
                               ::fstatat(dirFd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                               named.st_dev == st.st_dev && named.st_ino == st.st_ino;
        if (abandoned && ::unlinkat(dirFd, name.c_str(), 0) == 0) {
            ++removed;
        }
        ::close(fd);
    }
    ::closedir(d);
    return removed;
}

} // namespace vorl

#include "platform/owned_files.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vorl {
namespace {

// A file whose maker still runs is left alone while it is this young even
// when its lock is free. Older and unlocked, its maker is gone and the id
// belongs to another process now.
constexpr time_t kLockGraceSeconds = 60;

bool isLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool processRuns(pid_t pid) {
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

} // namespace

OwnedFile CreateOwnedFile(const std::string& dir, std::string_view prefix, std::string_view suffix,
                          mode_t mode) {
    static constexpr char kChars[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    const std::string head = dir + (dir.ends_with('/') ? "" : "/") + std::string(prefix) +
                             std::to_string(::getpid()) + "-";
    std::random_device random;
    OwnedFile file;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string path = head;
        for (int i = 0; i < 6; ++i) {
            path += kChars[random() % (sizeof kChars - 1)];
        }
        path += suffix;
        const int fd =
            ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd < 0 && errno == EEXIST) {
            continue;
        }
        if (fd < 0) {
            file.error = errno;
            return file;
        }
        // Waits: a clean-up that holds the lock lets go of it at once when it
        // sees that we run.
        while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
        }
        file.fd = fd;
        file.path = std::move(path);
        return file;
    }
    file.error = EEXIST;
    return file;
}

pid_t CreatorOf(std::string_view name, std::string_view suffix) {
    if (!name.ends_with(suffix) || name.size() <= suffix.size()) {
        return 0;
    }
    name.remove_suffix(suffix.size());
    if (name.starts_with('.')) {
        name.remove_prefix(1);
    }
    if (name.size() < 8 || name[name.size() - 7] != '-') {
        return 0;
    }
    for (char c : name.substr(name.size() - 6)) {
        if (!isLetter(c) && !isDigit(c)) {
            return 0;
        }
    }
    name.remove_suffix(7);
    size_t digits = 0;
    while (digits < name.size() && isDigit(name[name.size() - 1 - digits])) {
        ++digits;
    }
    const size_t letters = name.size() - digits;
    if (digits == 0 || digits > 9 || letters == 0) {
        return 0;
    }
    for (char c : name.substr(0, letters)) {
        if (!isLetter(c)) {
            return 0;
        }
    }
    return static_cast<pid_t>(std::strtol(std::string(name.substr(letters)).c_str(), nullptr, 10));
}

int ForEachAbandoned(const std::string& dir, std::string_view suffix,
                     const std::function<bool(int dirFd, const std::string& name, int fd)>& take) {
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) {
        return 0;
    }
    const int dirFd = ::dirfd(d);
    const time_t now = ::time(nullptr);
    int taken = 0;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        const pid_t creator = CreatorOf(name, suffix);
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
        if (abandoned && take(dirFd, name, fd)) {
            ++taken;
        }
        ::close(fd);
    }
    ::closedir(d);
    return taken;
}

} // namespace vorl

#include "transfer/temp_file.h"

#include "platform/owned_files.h"
#include "platform/replaced_file.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace vorl {

namespace {

constexpr std::string_view kSuffix = ".vorltmp";

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

// Where programs received by runs that ended before saving them are kept:
// the service's state folder, else the user's data folder.
std::string recoveryDirectory() {
    std::string base;
    const char* state = std::getenv("STATE_DIRECTORY");
    const char* data = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    if (state != nullptr && state[0] == '/') {
        base = std::string(state).substr(0, std::string(state).find(':'));
    } else if (data != nullptr && data[0] == '/') {
        base = std::string(data) + "/vorl";
    } else if (home != nullptr && home[0] == '/') {
        base = std::string(home) + "/.local/share/vorl";
    } else {
        return {};
    }
    std::error_code ec;
    std::filesystem::create_directories(base + "/recovered", ec);
    return ec ? std::string() : base + "/recovered";
}

// Moves the received file `path` (open as `fd`) to a free name
// "received-<date>-<time>" in the recovery folder (else the temporary
// folder); the new path, or empty when it could not.
std::string keepReceived(const std::string& path, int fd, const struct stat& st) {
    std::tm local{};
    ::localtime_r(&st.st_mtime, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d-%H%M%S", &local);
    for (const std::string& dir : {recoveryDirectory(), temporaryDirectory()}) {
        for (int n = 0; !dir.empty() && n < 100; ++n) {
            const std::string name =
                dir + "/received-" + stamp + (n == 0 ? std::string() : "_" + std::to_string(n));
            if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, name.c_str(), RENAME_NOREPLACE) ==
                0) {
                return name;
            }
            if (errno == EEXIST) {
                continue;
            }
            if (errno != EXDEV) {
                break;
            }
            // Another file system: copied, and the original goes only once
            // the copy is whole on the disk.
            const int out = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (out < 0 && errno == EEXIST) {
                continue;
            }
            if (out < 0) {
                break;
            }
            const bool copied = CopyContent(fd, out, st.st_size) == 0 && ::fsync(out) == 0;
            if (::close(out) == 0 && copied) {
                ::unlink(path.c_str());
                return name;
            }
            ::unlink(name.c_str());
            break;
        }
    }
    return {};
}

} // namespace

std::string temporaryDirectory() {
    return TemporaryDirectory();
}

TempFile createTempFile(std::string_view prefix) {
    OwnedFile made = CreateOwnedFile(temporaryDirectory(), prefix, kSuffix, 0600);
    TempFile file;
    file.fd = made.fd;
    file.error = made.error;
    file.path = std::move(made.path);
    if (file.fd >= 0) {
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

LeftoverFiles removeAbandonedTempFiles() {
    LeftoverFiles leftovers;
    const std::string dir = temporaryDirectory();
    ForEachAbandoned(dir, kSuffix, [&](int dirFd, const std::string& name, int fd) {
        struct stat st {};
        if (name.starts_with(kUploadTempPrefix) && ::fstat(fd, &st) == 0 && st.st_size > 0) {
            // A program received and not saved: kept, never deleted.
            std::string kept = keepReceived(dir + "/" + name, fd, st);
            if (kept.empty()) {
                return false;
            }
            leftovers.recovered.push_back(std::move(kept));
            return true;
        }
        if (::unlinkat(dirFd, name.c_str(), 0) != 0) {
            return false;
        }
        ++leftovers.removed;
        return true;
    });
    return leftovers;
}

std::string recoveredMessage(const LeftoverFiles& leftovers) {
    const size_t n = leftovers.recovered.size();
    if (n == 0) {
        return {};
    }
    std::string text =
        n == 1 ? "A program received by a run that ended before saving it is kept as "
               : std::to_string(n) + " programs received by runs that ended before saving them "
                                     "are kept as ";
    for (size_t i = 0; i < n; ++i) {
        text += (i == 0 ? "" : ", ") + leftovers.recovered[i];
    }
    return text;
}

} // namespace vorl

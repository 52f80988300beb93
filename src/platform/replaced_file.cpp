#include "platform/replaced_file.h"

#include "platform/owned_files.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace vorl {
namespace {

constexpr std::string_view kPartPrefix = ".vorl";
constexpr std::string_view kPartSuffix = ".part";

std::string directoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool readOnly(const struct stat& st) {
    return (st.st_mode & 0222) == 0;
}

// An unnamed file in `dir` for reading and writing, gone when closed.
int unnamedFile(const std::string& dir) {
    int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        OwnedFile file = CreateOwnedFile(dir, "vor", ".vorltmp", 0600);
        if (file.fd >= 0) {
            ::unlink(file.path.c_str());
        }
        errno = file.error;
        fd = file.fd;
    }
    return fd;
}

// Gives `fd` the group and owner of `old`, each on its own: a saver may set
// the group (being of it) where the owner is not his to give. True when the
// group is the old one's.
bool keepOwnership(int fd, const struct stat& old) {
    struct stat now {};
    if (::fstat(fd, &now) != 0) {
        return false;
    }
    if (now.st_gid != old.st_gid && ::fchown(fd, static_cast<uid_t>(-1), old.st_gid) == 0) {
        now.st_gid = old.st_gid;
    }
    if (now.st_uid != old.st_uid) {
        (void)::fchown(fd, old.st_uid, static_cast<gid_t>(-1));
    }
    return now.st_gid == old.st_gid;
}

} // namespace

int CopyContent(int from, int to, off_t size) {
    std::vector<char> buffer(size_t{1} << 20);
    for (off_t at = 0; at < size;) {
        const ssize_t got =
            ::pread(from, buffer.data(), std::min<off_t>(size - at, off_t(buffer.size())), at);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return got < 0 ? errno : EIO;
        }
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::pwrite(to, buffer.data() + done, size_t(got - done), at + done);
            if (put < 0 && errno == EINTR) {
                continue;
            }
            if (put <= 0) {
                return put < 0 ? errno : EIO;
            }
            done += put;
        }
        at += got;
    }
    return 0;
}

std::string TemporaryDirectory() {
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

std::string FollowLinks(std::string path) {
    for (int depth = 0; depth < 40; ++depth) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            break;
        }
        std::vector<char> buf(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1);
        const ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
        if (n < 0 || static_cast<size_t>(n) >= buf.size()) {
            break;
        }
        std::string link(buf.data(), static_cast<size_t>(n));
        const size_t slash = path.rfind('/');
        if (!link.empty() && link[0] != '/' && slash != std::string::npos) {
            link = path.substr(0, slash + 1) + link;
        }
        path = std::move(link);
    }
    return path;
}

std::string RefuseReplacing(const std::string& path) {
    const std::string target = FollowLinks(path);
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            return target + ": " + std::strerror(EISDIR);
        }
        if (!S_ISREG(st.st_mode)) {
            return target + ": not a regular file";
        }
        if (readOnly(st) || ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
            return target + ": the file is read-only";
        }
        return {};
    }
    if (errno != ENOENT) {
        return target + ": " + std::strerror(errno);
    }
    const std::string dir = directoryOf(target);
    if (::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        return dir + ": " + std::strerror(errno);
    }
    return {};
}

ReplacedFile::ReplacedFile(const std::string& path, bool readOnlyRefused, std::string stagingDir)
    : target_(FollowLinks(path)), readOnlyRefused_(readOnlyRefused),
      stagingDir_(std::move(stagingDir)) {}

ReplacedFile::~ReplacedFile() {
    for (int fd : {fd_, targetFd_}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    if (!besidePath_.empty()) {
        ::unlink(besidePath_.c_str());
    }
}

std::string ReplacedFile::failed(const std::string& path, int error) const {
    return path + ": " + std::strerror(error);
}

std::string ReplacedFile::open() {
    exists_ = ::stat(target_.c_str(), &old_) == 0;
    if (exists_ && S_ISDIR(old_.st_mode)) {
        return failed(target_, EISDIR);
    }
    if (exists_ && !S_ISREG(old_.st_mode)) {
        return target_ + ": not a regular file";
    }
    if (readOnlyRefused_) {
        if (std::string why = RefuseReplacing(target_); !why.empty()) {
            return why;
        }
    }
    if (exists_ && old_.st_nlink > 1) {
        return openInPlace(); // every name of it gets the new content
    }
    const size_t slash = target_.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : target_.substr(0, slash + 1);
    OwnedFile beside = CreateOwnedFile(dir, kPartPrefix, kPartSuffix, 0666);
    if (beside.fd < 0) {
        if (exists_ && (beside.error == EACCES || beside.error == EPERM)) {
            return openInPlace();
        }
        return failed(directoryOf(target_), beside.error);
    }
    fd_ = beside.fd;
    besidePath_ = std::move(beside.path);
    if (exists_) {
        if (!keepOwnership(fd_, old_)) {
            // Others of the old group would lose the program: it stays theirs.
            ::close(std::exchange(fd_, -1));
            ::unlink(besidePath_.c_str());
            besidePath_.clear();
            return openInPlace();
        }
        // After the owner: a change of owner takes the set-id bits away.
        (void)::fchmod(fd_, old_.st_mode & 07777);
    }
    return {};
}

std::string ReplacedFile::openInPlace() {
    // Opened now, so that a file we cannot write is told before the new
    // content is made; never blocks, and must still be the file looked at.
    targetFd_ = ::open(target_.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
    if (targetFd_ < 0) {
        return failed(target_, errno);
    }
    struct stat st {};
    if (::fstat(targetFd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_ino != old_.st_ino ||
        st.st_dev != old_.st_dev) {
        return target_ + ": the file changed while it was opened";
    }
    fd_ = unnamedFile(stagingDir_);
    if (fd_ < 0) {
        return failed(stagingDir_, errno);
    }
    return {};
}

std::string ReplacedFile::commit() {
    if (inPlace()) {
        return commitInPlace();
    }
    if (::fsync(fd_) != 0) {
        return failed(target_, errno);
    }
    if (::close(std::exchange(fd_, -1)) != 0) {
        return failed(target_, errno);
    }
    if (::rename(besidePath_.c_str(), target_.c_str()) != 0) {
        return failed(target_, errno);
    }
    besidePath_.clear();
    // The rename itself is put on the disk too; the content is safe either
    // way by now.
    const int dirFd = ::open(directoryOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        (void)::fsync(dirFd);
        ::close(dirFd);
    }
    return {};
}

std::string ReplacedFile::commitInPlace() {
    struct stat now {};
    struct stat staged {};
    if (::fstat(targetFd_, &now) != 0 || ::fstat(fd_, &staged) != 0) {
        return failed(target_, errno);
    }
    // The old content aside first, so that it can be written back.
    const int backup = unnamedFile(stagingDir_);
    if (backup < 0) {
        return failed(stagingDir_, errno);
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closeBackup{backup};
    if (const int error = CopyContent(targetFd_, backup, now.st_size); error != 0) {
        return failed(stagingDir_, error);
    }
    // A full disk is told before the program is touched, where the file
    // system can say so.
    if (staged.st_size > now.st_size &&
        ::fallocate(targetFd_, FALLOC_FL_KEEP_SIZE, 0, staged.st_size) != 0 &&
        (errno == ENOSPC || errno == EDQUOT)) {
        return failed(target_, errno);
    }
    int error = CopyContent(fd_, targetFd_, staged.st_size);
    if (error == 0 && ::ftruncate(targetFd_, staged.st_size) != 0) {
        error = errno;
    }
    if (error == 0 && ::fsync(targetFd_) != 0) {
        error = errno;
    }
    if (error != 0) {
        (void)CopyContent(backup, targetFd_, now.st_size);
        (void)::ftruncate(targetFd_, now.st_size);
        (void)::fsync(targetFd_);
        return failed(target_, error) + " (the old content was written back)";
    }
    return {};
}

int RemoveAbandonedPartFiles(const std::string& dir) {
    return ForEachAbandoned(dir, kPartSuffix, [](int dirFd, const std::string& name, int) {
        return name.starts_with(kPartPrefix) && ::unlinkat(dirFd, name.c_str(), 0) == 0;
    });
}

} // namespace vorl

#include "transfer/data_preparation.h"

#include "text/language_table.h"
#include "transfer/block_filter.h"
#include "transfer/block_stream.h"
#include "transfer/file_io.h"
#include "transfer/temp_file.h"
#include "transfer/translation_table.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <random>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <system_error>
#include <unistd.h>
#include <utility>
#include <vector>

namespace vorl {
namespace {

constexpr int kTextInsufficientMemory = 225;
constexpr int kTextNoUploadedFile = 227;
constexpr int kTextFileNotFound = 206;
constexpr size_t kFeetOfTape = 120; // zero bytes per foot of leader or trailer

// A failure on one of the files: where and why.
struct FileError {
    std::string path;
    int error;
};

std::string describe(const FileError& e) {
    return e.path + ": " + std::strerror(e.error);
}

std::string openFailure(const std::string& path, int error) {
    if (error == ENOENT) {
        return TextOr(kTextFileNotFound, "File not found: ") + path;
    }
    return describe({path, error});
}

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    // Closes now; 0 or the errno of a failed close (a late write error).
    int close() {
        const int fd = fd_;
        fd_ = -1;
        return fd >= 0 && ::close(fd) != 0 ? errno : 0;
    }

private:
    int fd_;
};

// A size as the operator reads it.
std::string readableSize(int64_t bytes) {
    char text[32];
    if (bytes >= (int64_t{1} << 30)) {
        std::snprintf(text, sizeof text, "%.1f GB", double(bytes) / double(int64_t{1} << 30));
    } else if (bytes >= (int64_t{1} << 20)) {
        std::snprintf(text, sizeof text, "%.1f MB", double(bytes) / double(int64_t{1} << 20));
    } else if (bytes >= 1024) {
        std::snprintf(text, sizeof text, "%.1f KB", double(bytes) / 1024.0);
    } else {
        std::snprintf(text, sizeof text, "%lld bytes", static_cast<long long>(bytes));
    }
    return text;
}

// Space the operator's files may still take in `dir`; -1 when unknown.
int64_t freeSpace(const std::string& dir) {
    struct statvfs st {};
    if (::statvfs(dir.c_str(), &st) != 0) {
        return -1;
    }
    return static_cast<int64_t>(st.f_bavail) * static_cast<int64_t>(st.f_frsize);
}

std::string noRoom(const std::string& dir, int64_t needed, int64_t free) {
    return "The temporary directory " + dir +
           " has no room for the prepared program: it needs about " + readableSize(needed) + ", " +
           readableSize(std::max<int64_t>(free, 0)) + " are free.";
}

bool diskFull(int error) {
    return error == ENOSPC || error == EDQUOT;
}

int openForReading(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    return fd;
}

// How far a preparation has come: program bytes read, prepared bytes made.
struct Progress {
    int64_t read = 0;
    int64_t made = 0;
};

// Feeds the whole of `source` through `stream`. Throws FileError.
void feedFile(int source, const std::string& sourcePath, BlockStream& stream, size_t readSize,
              Progress* progress = nullptr) {
    FileInput input(source, readSize == 0 ? size_t{1} << 20 : readSize);
    for (;;) {
        std::span<const uint8_t> piece;
        try {
            piece = input.next();
        } catch (const std::system_error& e) {
            throw FileError{sourcePath, e.code().value()};
        }
        if (piece.empty()) {
            break;
        }
        stream.feed(piece.data(), piece.size());
        if (progress != nullptr) {
            progress->read += static_cast<int64_t>(piece.size());
            progress->made = stream.bytesWritten();
        }
    }
    stream.finish();
}

// Waits for the writer and turns its failure into a FileError on `path`.
void finishOutput(FileOutput& output, const std::string& path) {
    try {
        output.finish();
    } catch (const std::system_error& e) {
        throw FileError{path, e.code().value()};
    }
}

// The file a target name stands for: a link is followed to the file it
// names (which may not exist yet), so that the file is replaced and the link
// stays.
std::string resolveLinks(std::string path) {
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

std::string directoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A new file beside `target`, named after it and hidden (".NAME.xxxxxx"),
// created exclusively with the permissions a new file gets. -1 with errno set
// when none could be made.
int createBeside(const std::string& target, std::string& path) {
    static constexpr char kChars[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    const size_t slash = target.rfind('/');
    const std::string dir =
        slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string tail;
        for (int i = 0; i < 6; ++i) {
            tail += kChars[random() % (sizeof kChars - 1)];
        }
        path = dir + "." + name + "." + tail;
        const int fd =
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    errno = EEXIST;
    return -1;
}

// Where a received program goes. An existing program is replaced whole or
// not at all: the new one is written beside it, put on the disk, then renamed
// over it, so a full disk or a crash midway leaves the old program as it was.
// A target that is no regular file (a device, a pipe) is written directly.
class TargetFile {
public:
    explicit TargetFile(const std::string& target) : target_(resolveLinks(target)) {}
    ~TargetFile() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        if (!besidePath_.empty()) {
            ::unlink(besidePath_.c_str());
        }
    }
    TargetFile(const TargetFile&) = delete;
    TargetFile& operator=(const TargetFile&) = delete;

    // 0 or the errno of the failure.
    int open() {
        struct stat old {};
        const bool exists = ::stat(target_.c_str(), &old) == 0;
        if (exists && !S_ISREG(old.st_mode) && !S_ISDIR(old.st_mode)) {
            fd_ = ::open(target_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY);
            return fd_ < 0 ? errno : 0;
        }
        if (exists && S_ISDIR(old.st_mode)) {
            return EISDIR;
        }
        fd_ = createBeside(target_, besidePath_);
        if (fd_ < 0) {
            besidePath_.clear();
            return errno;
        }
        if (exists) {
            // The program keeps the old one's owner and permissions where we
            // may give them.
            (void)::fchown(fd_, old.st_uid, old.st_gid);
            (void)::fchmod(fd_, old.st_mode & 07777);
        }
        return 0;
    }
    int fd() const { return fd_; }

    // Puts the written program in place; 0 or the errno of the failure.
    int commit() {
        if (besidePath_.empty()) {
            const int fd = std::exchange(fd_, -1);
            return ::close(fd) != 0 ? errno : 0;
        }
        if (::fsync(fd_) != 0) {
            return errno;
        }
        const int fd = std::exchange(fd_, -1);
        if (::close(fd) != 0) {
            return errno;
        }
        if (::rename(besidePath_.c_str(), target_.c_str()) != 0) {
            return errno;
        }
        besidePath_.clear();
        // The rename itself is put on the disk too; the program is safe
        // either way by now.
        const int dirFd = ::open(directoryOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dirFd >= 0) {
            (void)::fsync(dirFd);
            ::close(dirFd);
        }
        return 0;
    }

private:
    std::string target_;
    std::string besidePath_; // the file written beside the target, until renamed
    int fd_ = -1;
};

} // namespace

PreparedDownload PrepareDownloadFile(const MachineConfig& machine, const DownloadRequest& request) {
    PreparedDownload result;
    deleteTempFile(request.previousTempFile);

    const bool eia = machine.isEia();
    const TranslationTable table =
        eia ? BuildTranslationTable(request.translationFile) : BuiltInTranslationTable();
    result.eolChar = downloadEolChar(machine, table);
    // A prefix the machine cannot take is refused before any file is made.
    std::string prefix;
    if (!ConvertPrefix(request.prefixText, machine, table, prefix, result.message)) {
        return result;
    }

    Fd source(openForReading(request.sourcePath));
    if (source.get() < 0) {
        result.message = openFailure(request.sourcePath, errno);
        return result;
    }
    // The prepared program is about as large as the program with its prefix,
    // leader and trailer: a directory without that much room is told now,
    // not after minutes of preparing.
    const std::string tempDir = temporaryDirectory();
    const size_t leader = static_cast<size_t>(std::max<int>(machine.leaderLength, 0)) * kFeetOfTape;
    struct stat st {};
    const int64_t programSize = ::fstat(source.get(), &st) == 0 ? st.st_size : 0;
    const int64_t estimate = programSize + static_cast<int64_t>(request.prefixText.size()) +
                             (machine.punchLeader != 0 ? int64_t(leader) : 0) +
                             (machine.punchTrailer != 0 ? int64_t(leader) : 0);
    if (const int64_t free = freeSpace(tempDir); free >= 0 && free < estimate) {
        result.message = noRoom(tempDir, estimate, free);
        return result;
    }
    TempFile temp = createTempFile("vor");
    if (temp.fd < 0) {
        result.message = diskFull(temp.error) ? noRoom(tempDir, estimate, freeSpace(tempDir))
                                              : describe({tempDir, temp.error});
        return result;
    }
    Fd target(temp.fd);

    BlockRules rules;
    rules.filter = downloadFilter(machine);
    rules.eob = std::string(downloadEob(machine));
    rules.dropEmpty = machine.downloadStripComments != 0;
    rules.startBlock = request.startBlock;
    rules.toTape = eia ? &table : nullptr;

    Progress progress;
    int failedWith = 0;
    try {
        FileOutput output(target.get());
        try {
            BlockStream stream(rules, output);
            if (machine.punchLeader != 0) {
                stream.appendZeros(leader);
            }
            stream.append(prefix.data(), prefix.size());
            feedFile(source.get(), request.sourcePath, stream, request.readSize, &progress);
            if (machine.punchTrailer != 0) {
                stream.appendZeros(leader);
            }
            stream.flush();
            result.charsTotal = stream.bytesWritten();
        } catch (const std::system_error& e) {
            throw FileError{temp.path, e.code().value()};
        }
        finishOutput(output, temp.path);
        if (const int error = target.close(); error != 0) {
            throw FileError{temp.path, error};
        }
    } catch (const FileError& e) {
        result.message = describe(e);
        failedWith = e.path == temp.path ? e.error : 0;
    } catch (const std::bad_alloc&) {
        result.message = TextOr(kTextInsufficientMemory, "Insufficient memory to filter file");
    }
    if (!result.message.empty()) {
        target.close();
        deleteTempFile(temp.path);
        result.charsTotal = 0;
        if (diskFull(failedWith)) {
            // What the whole would have come to, at the rate the part made grew.
            const double rate =
                progress.read > 0 ? double(progress.made) / double(progress.read) : 1;
            const int64_t needed = std::max<int64_t>(
                estimate, progress.made + int64_t(double(programSize - progress.read) * rate));
            result.message = noRoom(tempDir, needed, freeSpace(tempDir));
        }
        return result;
    }
    result.ok = true;
    result.tempFileName = temp.path;
    return result;
}

FinishedUpload FinishUploadFile(const MachineConfig& machine, const std::string& tempFileName,
                                const std::string& targetPath, const std::string& translationFile,
                                size_t readSize) {
    FinishedUpload result;
    if (tempFileName.empty()) {
        result.message = TextOr(kTextNoUploadedFile, "No current uploaded file");
        return result;
    }
    Fd source(openForReading(tempFileName));
    if (source.get() < 0) {
        result.message = openFailure(tempFileName, errno);
        return result;
    }

    const bool eia = machine.isEia();
    BlockRules rules;
    rules.filter = uploadFilter(machine);
    rules.eob = std::string(asciiEob(machine));
    rules.dropEmpty = machine.uploadStripComments != 0 || machine.uploadStripSpaces != 0;
    EiaReader reader;
    if (eia) {
        reader = InverseTranslation(BuildTranslationTable(translationFile));
        rules.toAscii = &reader.toAscii;
        rules.endsBlock = reader.endsBlock;
        rules.skipped = reader.skipped;
    }

    TargetFile target(targetPath);
    if (const int error = target.open(); error != 0) {
        result.message = describe({targetPath, error});
        return result;
    }
    try {
        FileOutput output(target.fd());
        try {
            BlockStream stream(rules, output);
            feedFile(source.get(), tempFileName, stream, readSize);
            stream.flush();
            result.size = stream.bytesWritten();
        } catch (const std::system_error& e) {
            throw FileError{targetPath, e.code().value()};
        }
        finishOutput(output, targetPath);
        if (const int error = target.commit(); error != 0) {
            throw FileError{targetPath, error};
        }
    } catch (const FileError& e) {
        result.message = describe(e);
    } catch (const std::bad_alloc&) {
        result.message = TextOr(kTextInsufficientMemory, "Insufficient memory to filter file");
    }
    result.ok = result.message.empty();
    if (!result.ok) {
        result.size = 0;
    }
    return result;
}

} // namespace vorl

#include "transfer/data_preparation.h"

#include "platform/replaced_file.h"
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
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <system_error>
#include <unistd.h>
#include <utility>
#include <vector>

namespace vorl {
namespace {

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
        return Text(TextId::FileNotFound) + path;
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
        result.message = Text(TextId::InsufficientMemoryToFilter);
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
        result.message = Text(TextId::NoCurrentUploadedFile);
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

    ReplacedFile target(targetPath, true, temporaryDirectory());
    if (std::string why = target.open(); !why.empty()) {
        result.message = std::move(why);
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
        result.message = target.commit();
    } catch (const FileError& e) {
        result.message = describe(e);
    } catch (const std::bad_alloc&) {
        result.message = Text(TextId::InsufficientMemoryToFilter);
    }
    result.ok = result.message.empty();
    if (!result.ok) {
        result.size = 0;
    }
    return result;
}

} // namespace vorl

#include "transfer/data_preparation.h"

#include "text/language_table.h"
#include "transfer/block_filter.h"
#include "transfer/block_stream.h"
#include "transfer/file_io.h"
#include "transfer/temp_file.h"
#include "transfer/translation_table.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <system_error>
#include <unistd.h>
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

int openForReading(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    return fd;
}

// Feeds the whole of `source` through `stream`. Throws FileError.
void feedFile(int source, const std::string& sourcePath, BlockStream& stream, size_t readSize) {
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

    const bool eia = machine.charCode == 1;
    const TranslationTable table =
        eia ? BuildTranslationTable(request.translationFile) : BuiltInTranslationTable();
    result.eolChar = downloadEolChar(machine, table);

    Fd source(openForReading(request.sourcePath));
    if (source.get() < 0) {
        result.message = openFailure(request.sourcePath, errno);
        return result;
    }
    TempFile temp = createTempFile("vor");
    if (temp.fd < 0) {
        result.message = describe({temporaryDirectory(), temp.error});
        return result;
    }
    Fd target(temp.fd);

    BlockRules rules;
    rules.filter = downloadFilter(machine);
    rules.eob = std::string(downloadEob(machine));
    rules.dropEmpty = machine.downloadStripComments != 0;
    rules.startBlock = request.startBlock;
    rules.toTape = eia ? &table : nullptr;
    const size_t leader = static_cast<size_t>(std::max<int>(machine.leaderLength, 0)) * kFeetOfTape;

    try {
        FileOutput output(target.get());
        try {
            BlockStream stream(rules, output);
            if (machine.punchLeader != 0) {
                stream.appendZeros(leader);
            }
            const std::string prefix = ConvertPrefix(request.prefixText, machine, table);
            stream.append(prefix.data(), prefix.size());
            feedFile(source.get(), request.sourcePath, stream, request.readSize);
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
    } catch (const std::bad_alloc&) {
        result.message = TextOr(kTextInsufficientMemory, "Insufficient memory to filter file");
    }
    if (!result.message.empty()) {
        target.close();
        deleteTempFile(temp.path);
        result.charsTotal = 0;
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

    const bool eia = machine.charCode == 1;
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

    Fd target(::open(targetPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (target.get() < 0) {
        result.message = describe({targetPath, errno});
        return result;
    }
    try {
        FileOutput output(target.get());
        try {
            BlockStream stream(rules, output);
            feedFile(source.get(), tempFileName, stream, readSize);
            stream.flush();
            result.size = stream.bytesWritten();
        } catch (const std::system_error& e) {
            throw FileError{targetPath, e.code().value()};
        }
        finishOutput(output, targetPath);
        if (const int error = target.close(); error != 0) {
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

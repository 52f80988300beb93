// File access of the protocols: choosing the file to send from a mask, forming
// the name of the file to receive, and reading and writing files through one
// 8192-byte window so that blocks of 60, 128 or 1024 bytes rarely touch the
// disk. Each block is read or written at the record's FileOfs, which only the
// protocol advances; a protocol that goes back re-reads (or re-writes) from
// that offset.
#include "protocols/protocol_engine.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace vorl {

// ---- Names ----

void peSetFileMask(TProtocolData& P, const std::string& mask) {
    P.SearchMask = mask;
}

void peSetDestinationDirectory(TProtocolData& P, const std::string& dir) {
    P.DestDir = dir;
}

void peSetReceiveFilename(TProtocolData& P, const std::string& name) {
    if (name.find('/') != std::string::npos || P.DestDir.empty()) {
        P.PathName = name;
        return;
    }
    P.PathName = P.DestDir;
    if (P.PathName.back() != '/')
        P.PathName += '/';
    P.PathName += name;
}

void peCloseSearch(TProtocolData& P) {
    P.SearchRec = TFileSearch{};
}

namespace {

// A mask knows two wildcards: "*" (any run of characters, none too) and "?"
// (one character). Every other character, "[", "]" and "\\" among them, stands
// for itself: a mask naming PART[1].NC finds that file and no other.
bool hasWildcard(const std::string& s) {
    return s.find_first_of("*?") != std::string::npos;
}

// The bytes of one character at `at`: a UTF-8 lead byte and the continuation
// bytes behind it, else the byte alone.
size_t charLength(const std::string& s, size_t at) {
    size_t n = 1;
    if (static_cast<unsigned char>(s[at]) >= 0xC0)
        while (at + n < s.size() && (static_cast<unsigned char>(s[at + n]) & 0xC0) == 0x80)
            ++n;
    return n;
}

bool maskMatches(const std::string& mask, const std::string& name) {
    size_t m = 0, n = 0;
    // Where the last "*" was and the name position it has taken up to.
    size_t starMask = std::string::npos, starName = 0;
    while (n < name.size()) {
        if (m < mask.size() && mask[m] == '*') {
            starMask = ++m;
            starName = n;
        } else if (m < mask.size() && mask[m] == '?') {
            ++m;
            n += charLength(name, n);
        } else if (m < mask.size() && mask[m] == name[n]) {
            ++m;
            ++n;
        } else if (starMask != std::string::npos) {
            m = starMask; // the "*" takes one more character
            starName += charLength(name, starName);
            n = starName;
        } else {
            return false;
        }
    }
    while (m < mask.size() && mask[m] == '*')
        ++m;
    return m == mask.size();
}

bool isRegularFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Opens the search of a mask: the directory part must exist; a name without
// wildcards names one file; otherwise every regular file of the directory
// whose name matches, in name order ("*.*" matches every name).
int32_t startSearch(TProtocolData& P) {
    const std::string& mask = P.SearchMask;
    size_t slash = mask.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : mask.substr(0, slash + 1);
    std::string pattern = slash == std::string::npos ? mask : mask.substr(slash + 1);
    std::string dirPath = dir.empty() ? std::string(".") : dir;

    struct stat st {};
    if (stat(dirPath.c_str(), &st) != 0) {
        int err = errno;
        return (err == ENOENT || err == ENOTDIR) ? ecDirNotFound : FileErrorCode(err, false);
    }
    if (!S_ISDIR(st.st_mode))
        return ecDirNotFound;
    if (pattern.empty())
        return ecNoMatchingFiles;

    TFileSearch search;
    search.Open = true;
    search.Dir = dir;
    if (!hasWildcard(pattern)) {
        std::string full = dir + pattern;
        if (stat(full.c_str(), &st) != 0)
            return FileErrorCode(errno, false);
        if (!S_ISREG(st.st_mode))
            return ecFileNotFound;
        search.Names.push_back(pattern);
    } else {
        DIR* d = opendir(dirPath.c_str());
        if (!d)
            return FileErrorCode(errno, false);
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name == "." || name == "..")
                continue;
            bool match = pattern == "*.*" || maskMatches(pattern, name);
            if (match && isRegularFile(dir + name))
                search.Names.push_back(std::move(name));
        }
        closedir(d);
        if (search.Names.empty())
            return ecNoMatchingFiles;
        std::sort(search.Names.begin(), search.Names.end());
    }
    P.SearchRec = std::move(search);
    return 0;
}

} // namespace

bool peNextFileMask(TProtocolData& P, std::string& name) {
    name.clear();
    if (P.SearchMask.empty()) {
        peProtocolError(P, ecNoSearchMask);
        return false;
    }
    if (P.FindFirstDue) {
        P.FindFirstDue = false;
        peCloseSearch(P);
        int32_t rc = startSearch(P);
        if (rc != 0) {
            peCloseSearch(P);
            peProtocolError(P, rc);
            return false;
        }
    }
    TFileSearch& s = P.SearchRec;
    if (!s.Open || s.Next >= s.Names.size()) {
        peCloseSearch(P);
        return false; // no more files: not an error on a later call
    }
    name = s.Dir + s.Names[s.Next++];
    P.PathName = name;
    return true;
}

// ---- Reading the file to send ----

namespace {

// Reads up to `count` bytes at `offset`, retrying short reads and EINTR.
// Returns the bytes read (fewer only at the end of the file), or -1.
long readFull(int fd, uint8_t* buf, size_t count, int64_t offset) {
    size_t done = 0;
    while (done < count) {
        ssize_t n = pread(fd, buf + done, count - done, off_t(offset + int64_t(done)));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        done += size_t(n);
    }
    return long(done);
}

// Writes `count` bytes at `offset`. 0, or the error code (-101 when the file
// system took fewer bytes than asked).
int32_t writeFull(TProtocolData& P, const uint8_t* buf, size_t count, int64_t offset) {
    if (count == 0)
        return 0;
    bool rtsLow = (P.Options & apRTSLowForWrite) && P.ComPort && P.ComPort->IsOpen();
    if (rtsLow)
        P.ComPort->SetRts(false);
    int32_t rc = 0;
    size_t done = 0;
    while (done < count) {
        ssize_t n = pwrite(P.WorkFile, buf + done, count - done, off_t(offset + int64_t(done)));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            rc = FileErrorCode(errno, true);
            break;
        }
        if (n == 0) {
            rc = ecDiskFull;
            break;
        }
        done += size_t(n);
    }
    if (rtsLow)
        P.ComPort->SetRts(true);
    return rc;
}

void closeWorkFile(TProtocolData& P) {
    if (P.WorkFile >= 0)
        ::close(P.WorkFile);
    P.WorkFile = -1;
    P.WorkBuffer.reset();
    P.FileOpen = false;
}

// Takes the file just opened (`fd`, or -1 with the open's `err`) as the work
// file when it is a regular file, as blocking again; `st` receives its status.
// Otherwise reports the error, closes it and drops the work buffer. Only
// regular files are transferred: a device or FIFO has no length and may never
// end.
bool takeWorkFile(TProtocolData& P, int fd, int err, bool writing, struct stat& st) {
    if (fd < 0) {
        P.WorkBuffer.reset();
        peProtocolError(P, FileErrorCode(err, writing));
        return false;
    }
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        P.WorkBuffer.reset();
        peProtocolError(P, ecAccessDenied);
        return false;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    P.WorkFile = fd;
    return true;
}

} // namespace

void faPrepareReading(TProtocolData& P) {
    P.ProtocolError = 0;
    if (P.FileOpen)
        return;
    if (P.PathName.empty()) {
        peProtocolError(P, ecFileNotFound);
        return;
    }
    P.WorkBuffer = std::make_unique<uint8_t[]>(kWorkBufferSize);
    // Non-blocking so that a FIFO cannot hold the open; only regular files are
    // sent (a device or FIFO has no length and may never end).
    int fd = ::open(P.PathName.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    struct stat st {};
    if (!takeWorkFile(P, fd, fd < 0 ? errno : 0, false, st))
        return;
    P.FileLength = int64_t(st.st_size);
    P.BytesLeft = P.FileLength.load();
    P.apShowStatus(P, 0);
    P.FileDate = int64_t(st.st_mtime);
    P.FileOfs = 0;
    P.WorkStart = 0;
    P.WorkEnd = 0;
    P.WorkLast = 0;
    P.EndOfData = 0;
    P.AtEndOfData = false;
    P.FileOpen = true;
}

bool faReadProtocolBlock(TProtocolData& P, uint8_t* block, int32_t& len) {
    if (len > kWorkBufferSize)
        len = kWorkBufferSize;
    if (!P.FileOpen || !P.WorkBuffer) {
        peProtocolError(P, ecNotOpen);
        len = 0;
        return true;
    }
    if (P.FileOfs >= P.FileLength) {
        len = 0;
        return true;
    }
    uint8_t* buf = P.WorkBuffer.get();
    if (P.FileOfs > P.WorkEnd)
        P.WorkEnd = P.FileOfs;
    if (P.FileOfs < P.WorkLast)
        P.WorkEnd = P.FileOfs; // the protocol went back: read again from there
    if (P.FileOfs + len > P.WorkEnd) {
        int64_t keep = P.WorkEnd - P.FileOfs;
        if (keep > 0)
            std::memmove(buf, buf + (P.FileOfs - P.WorkStart), size_t(keep));
        size_t want = size_t(kWorkBufferSize - keep);
        long got = readFull(P.WorkFile, buf + keep, want, P.WorkEnd);
        if (got < 0) {
            peProtocolError(P, FileErrorCode(errno, false));
            len = 0;
            return true;
        }
        P.WorkStart = P.FileOfs;
        P.WorkEnd = P.FileOfs + kWorkBufferSize;
        if (size_t(got) < want) {
            std::memset(buf + keep + got, BlockFillChar, want - size_t(got));
            P.EndOfData = P.FileOfs + keep + got;
            P.AtEndOfData = true;
        } else {
            P.AtEndOfData = false;
        }
    }
    std::memcpy(block, buf + (P.FileOfs - P.WorkStart), size_t(len));
    P.WorkLast = P.FileOfs;
    if (P.AtEndOfData && P.FileOfs + len >= P.EndOfData) {
        int64_t left = P.EndOfData - P.FileOfs;
        len = int32_t(left < 0 ? 0 : left);
        return true;
    }
    return false;
}

void faFinishReading(TProtocolData& P) {
    if (P.FileOpen)
        closeWorkFile(P);
}

// ---- Writing the received file ----

namespace {

// Names for a received file that must not replace `path`: the first
// character of the name replaced by "$" (PART.NC becomes $ART.NC), then that
// name with a number before its extension ($ART1.NC, $ART2.NC, ...). The name
// it would replace itself is never among them.
std::vector<std::string> renameCandidates(const std::string& path) {
    size_t start = path.rfind('/');
    start = start == std::string::npos ? 0 : start + 1;
    std::vector<std::string> names;
    if (start >= path.size())
        return names;
    std::string renamed = path;
    renamed[start] = '$';
    size_t dot = renamed.rfind('.');
    if (dot == std::string::npos || dot <= start)
        dot = renamed.size();
    if (renamed != path)
        names.push_back(renamed);
    for (int n = 1; n <= 999; ++n)
        names.push_back(renamed.substr(0, dot) + std::to_string(n) + renamed.substr(dot));
    return names;
}

} // namespace

void faPrepareWriting(TProtocolData& P) {
    P.WorkBuffer = std::make_unique<uint8_t[]>(kWorkBufferSize);
    struct stat st {};
    bool exists = false;
    if (stat(P.PathName.c_str(), &st) == 0) {
        exists = true;
    } else if (errno != ENOENT) {
        int err = errno;
        P.WorkBuffer.reset();
        peProtocolError(P, FileErrorCode(err, true));
        return;
    }
    if (exists && P.WriteFailAction == wfWriteFail) {
        P.WorkBuffer.reset();
        P.ProtocolStatus = psCantWriteFile;
        return;
    }
    P.apShowStatus(P, 0);
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    int fd = -1;
    int err = 0;
    if (exists && P.WriteFailAction == wfWriteRename) {
        // The file is created new under the first free name, so that no file
        // is ever replaced, not even one that appears meanwhile.
        err = EISDIR; // a path that ends in a directory names no file
        for (const std::string& name : renameCandidates(P.PathName)) {
            fd = ::open(name.c_str(), flags | O_EXCL, 0666);
            err = fd < 0 ? errno : 0;
            if (fd >= 0) {
                P.PathName = name;
                break;
            }
            if (err != EEXIST)
                break;
        }
        if (err == EEXIST) {
            P.WorkBuffer.reset();
            P.ProtocolStatus = psCantWriteFile; // every name is taken
            return;
        }
    } else {
        fd = ::open(P.PathName.c_str(), flags | O_TRUNC, 0666);
        err = fd < 0 ? errno : 0;
    }
    if (!takeWorkFile(P, fd, err, true, st))
        return;
    P.WorkStart = 0;
    P.WorkEnd = kWorkBufferSize;
    P.WorkLast = 0;
    P.FileOpen = true;
}

// The window holds the file's bytes [WorkStart, WorkLast). A block that does
// not continue it, or does not fit behind it, first sends the window to disk
// and starts a new one at the block. A block that goes back drops what the
// window held behind it: the protocol writes that part again.
int32_t faWriteProtocolBlock(TProtocolData& P, const uint8_t* block, int32_t len) {
    P.ProtocolError = 0;
    if (!P.FileOpen || !P.WorkBuffer) {
        peProtocolError(P, ecNotOpen);
        return -1;
    }
    if (len < 0 || len > kWorkBufferSize) {
        peProtocolError(P, ecBadArgument);
        return -1;
    }
    uint8_t* buf = P.WorkBuffer.get();
    bool inside = P.FileOfs >= P.WorkStart && P.FileOfs <= P.WorkLast &&
                  P.FileOfs + len <= P.WorkStart + kWorkBufferSize;
    if (!inside) {
        int32_t rc = writeFull(P, buf, size_t(P.WorkLast - P.WorkStart), P.WorkStart);
        if (rc != 0) {
            // The file is closed at once: the finish has nothing left to
            // write, and the failure is reported once.
            closeWorkFile(P);
            peProtocolError(P, rc);
            return -1;
        }
        P.WorkStart = P.FileOfs;
        P.WorkLast = P.FileOfs;
        P.WorkEnd = P.FileOfs + kWorkBufferSize;
    }
    std::memcpy(buf + (P.FileOfs - P.WorkStart), block, size_t(len));
    P.WorkLast = P.FileOfs + len;
    return 0;
}

void faFinishWriting(TProtocolData& P) {
    if (!P.FileOpen)
        return;
    int32_t rc = 0;
    if (P.WorkBuffer)
        rc = writeFull(P, P.WorkBuffer.get(), size_t(P.WorkLast - P.WorkStart), P.WorkStart);
    struct stat st {};
    if (fstat(P.WorkFile, &st) == 0) {
        P.FileLength = int64_t(st.st_size);
        P.FileDate = int64_t(st.st_mtime);
    }
    int fd = P.WorkFile;
    P.WorkFile = -1;
    if (::close(fd) != 0 && rc == 0)
        rc = FileErrorCode(errno, true);
    P.WorkBuffer.reset();
    P.FileOpen = false;
    if (rc != 0)
        peProtocolError(P, rc);
}

} // namespace vorl

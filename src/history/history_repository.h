// The history of the programs that move: every program sent to a machine tool
// or received from one is kept as a version in a git repository, and every
// transfer is one commit whose message says, in trailers any git reader
// shows, which program moved, to or from which machine and port, when, how
// big, and which version it was.
//
// How it works
// - The repository is bare; its branch "main" holds one file per program,
//   programs/<name>, the program's latest version. A commit changes that file
//   only when the bytes differ, so a program sent a hundred times unchanged
//   is one version and a hundred events.
// - A received program names the version last sent to the same machine under
//   the same name (Sent-Version) and how many blocks differ from it
//   (Control-Changed-Blocks): what the operator changed at the control.
// - Recording is serialised by a lock file held with flock(): threads and
//   processes (the window and the service on one host) take turns, and a
//   process killed while it held the lock leaves nothing held. The branch
//   moves last, after its objects are on the disk, so a record is whole or
//   absent.
// - A name from a machine tool is only ever one file name inside programs/:
//   separators, leading dots and control bytes are replaced.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vorl::history {

enum class Direction { Sent, Received, Restored };

// The trailer's word for `d`: "sent", "received", "restored".
const char* DirectionName(Direction d);

// One transfer (or restore) to record.
struct TransferEvent {
    std::string program; // the program's name (its file's name)
    std::string file;    // the program's file
    std::string machine; // the machine's name
    std::string port;    // the port it moved on ("COM1 (/dev/ttyS0)")
    Direction direction = Direction::Sent;
    std::chrono::system_clock::time_point time = std::chrono::system_clock::now();
};

struct RecordResult {
    bool ok = false;
    std::string error;        // why the record failed
    std::string version;      // the program's version (the id of its bytes)
    bool newVersion = false;  // the bytes differ from the program's last version
    size_t changedBlocks = 0; // blocks that differ from the last version
    // Received programs: the version last sent to the same machine under the
    // same name (empty when none was) and the blocks the control changed.
    std::string sentVersion;
    size_t controlChangedBlocks = 0;
};

// One entry of a program's history, newest first.
struct HistoryEntry {
    std::string commit;
    std::string program;
    std::string file;
    std::string machine;
    std::string port;
    std::string direction;
    std::string time; // UTC, ISO 8601
    uint64_t size = 0;
    std::string version;
    bool newVersion = false;
    size_t changedBlocks = 0;
    std::string sentVersion;
    size_t controlChangedBlocks = 0;
};

// The one file name `name` has inside programs/: never empty, never "." or
// "..", without '/', '\\' or control bytes, at most 200 bytes.
std::string ProgramPlace(std::string_view name);

class HistoryRepository {
public:
    // The repository at `path` (created at the first record).
    explicit HistoryRepository(std::string path);

    const std::string& path() const { return path_; }

    // Records `event` with the program's bytes `content`. Safe from any
    // thread and beside other processes; waits at most `lockWait` for
    // another record to finish.
    RecordResult Record(const TransferEvent& event, std::string_view content,
                        std::chrono::milliseconds lockWait = std::chrono::seconds(10));

    // The history of the program named `program` (every program when empty),
    // newest first. False and why when the repository cannot be read; a
    // repository that does not exist yet has an empty history.
    bool List(const std::string& program, std::vector<HistoryEntry>& out, std::string& error) const;

    // Pushes the branch to `branch` of the repository at `url` (a path, or
    // ssh:// with the user's agent, or https:// for a server that asks no
    // password). The branch there only ever grows: a push that would lose
    // records is refused. False and why when it fails.
    bool Push(const std::string& url, const std::string& branch, std::string& error) const;

    // The bytes of version `version` (a full or abbreviated id).
    bool ReadVersion(const std::string& version, std::string& out, std::string& error) const;

private:
    std::string path_;
};

} // namespace vorl::history

#include "history/history_repository.h"

#include "history/git_library.h"
#include "history/nc_compare.h"

#include <git2.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <thread>

namespace vorl::history {
namespace {

constexpr const char* kBranch = "refs/heads/main";
constexpr const char* kPrograms = "programs";

template <typename T, void (*Free)(T*)> struct Freer {
    void operator()(T* p) const { Free(p); }
};
template <typename T, void (*Free)(T*)> using Owned = std::unique_ptr<T, Freer<T, Free>>;
using Repo = Owned<git_repository, git_repository_free>;
using Ref = Owned<git_reference, git_reference_free>;
using Commit = Owned<git_commit, git_commit_free>;
using Tree = Owned<git_tree, git_tree_free>;
using TreeBuilder = Owned<git_treebuilder, git_treebuilder_free>;
using Blob = Owned<git_blob, git_blob_free>;
using Walk = Owned<git_revwalk, git_revwalk_free>;
using Signature = Owned<git_signature, git_signature_free>;
using Object = Owned<git_object, git_object_free>;

struct Trailers {
    git_message_trailer_array array{};
    Trailers() = default;
    Trailers(const Trailers&) = delete;
    Trailers& operator=(const Trailers&) = delete;
    ~Trailers() { git_message_trailer_array_free(&array); }
    std::string get(std::string_view key) const {
        for (size_t i = 0; i < array.count; ++i) {
            if (key == array.trailers[i].key) {
                return array.trailers[i].value;
            }
        }
        return {};
    }
};

std::string idText(const git_oid& id) {
    char text[GIT_OID_HEXSZ + 1];
    git_oid_tostr(text, sizeof text, &id);
    return text;
}

// One line of a trailer: control bytes (a newline from a machine's name)
// would end it or start another.
std::string oneLine(std::string_view s) {
    std::string out;
    for (char c : s) {
        out += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? ' ' : c;
    }
    return out;
}

std::string isoTime(std::chrono::system_clock::time_point t) {
    const std::time_t secs = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

size_t toCount(const std::string& s) {
    return s.empty() ? 0 : static_cast<size_t>(std::strtoull(s.c_str(), nullptr, 10));
}

// The lock that serialises records: flock() on a file in the repository's
// directory, one open of it per record so threads of one process take turns
// as processes do. The kernel drops it when its holder dies.
class RecordLock {
public:
    RecordLock(const std::string& file, std::chrono::milliseconds wait) {
        fd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0) {
            error_ = file + ": " + std::strerror(errno);
            return;
        }
        // Polled rather than blocking, so a record held up by a hung one
        // gives up instead of waiting for ever on its worker.
        const auto deadline = std::chrono::steady_clock::now() + wait;
        while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR) {
                error_ = file + ": " + std::strerror(errno);
                return;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                error_ = "another record holds the history's lock";
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        held_ = true;
    }
    RecordLock(const RecordLock&) = delete;
    RecordLock& operator=(const RecordLock&) = delete;
    ~RecordLock() {
        if (fd_ >= 0) {
            ::close(fd_); // releases the lock
        }
    }
    bool held() const { return held_; }
    const std::string& error() const { return error_; }

private:
    int fd_ = -1;
    bool held_ = false;
    std::string error_;
};

// Opens the repository at `path`; creates it (bare, branch "main") when
// `create` and there is none. Null and why when it cannot.
Repo openRepository(const std::string& path, bool create, std::string& error) {
    git_repository* raw = nullptr;
    if (git_repository_open_ext(&raw, path.c_str(), GIT_REPOSITORY_OPEN_NO_SEARCH, nullptr) == 0) {
        return Repo(raw);
    }
    if (!create) {
        error = LastGitError(path + ": not a history repository");
        return nullptr;
    }
    git_repository_init_options options;
    git_repository_init_options_init(&options, GIT_REPOSITORY_INIT_OPTIONS_VERSION);
    options.flags = GIT_REPOSITORY_INIT_BARE | GIT_REPOSITORY_INIT_MKPATH;
    options.initial_head = "main";
    options.description = "VORL II: the programs sent to and received from the machine tools";
    if (git_repository_init_ext(&raw, path.c_str(), &options) != 0) {
        error = LastGitError(path + ": the history cannot be created");
        return nullptr;
    }
    return Repo(raw);
}

// The branch's commit; null (and no error) when the history is empty.
Commit headCommit(git_repository* repo, bool& failed) {
    failed = false;
    git_oid id;
    const int rc = git_reference_name_to_id(&id, repo, kBranch);
    if (rc == GIT_ENOTFOUND) {
        return nullptr;
    }
    git_commit* commit = nullptr;
    if (rc != 0 || git_commit_lookup(&commit, repo, &id) != 0) {
        failed = true;
        return nullptr;
    }
    return Commit(commit);
}

// The blob at programs/`place` in `commit`, if any.
bool versionIn(git_commit* commit, const std::string& place, git_oid& out) {
    if (commit == nullptr) {
        return false;
    }
    git_tree* raw = nullptr;
    if (git_commit_tree(&raw, commit) != 0) {
        return false;
    }
    Tree tree(raw);
    git_tree_entry* entry = nullptr;
    const std::string path = std::string(kPrograms) + "/" + place;
    if (git_tree_entry_bypath(&entry, tree.get(), path.c_str()) != 0) {
        return false;
    }
    out = *git_tree_entry_id(entry);
    git_tree_entry_free(entry);
    return true;
}

bool readBlob(git_repository* repo, const git_oid& id, std::string& out) {
    git_blob* raw = nullptr;
    if (git_blob_lookup(&raw, repo, &id) != 0) {
        return false;
    }
    Blob blob(raw);
    out.assign(static_cast<const char*>(git_blob_rawcontent(blob.get())),
               static_cast<size_t>(git_blob_rawsize(blob.get())));
    return true;
}

// The tree of `parent` with programs/`place` set to `blob`.
bool treeWith(git_repository* repo, git_commit* parent, const std::string& place,
              const git_oid& blob, git_oid& out) {
    Tree root;
    Tree programs;
    if (parent != nullptr) {
        git_tree* raw = nullptr;
        if (git_commit_tree(&raw, parent) != 0) {
            return false;
        }
        root.reset(raw);
        const git_tree_entry* entry = git_tree_entry_byname(root.get(), kPrograms);
        if (entry != nullptr) {
            if (git_tree_lookup(&raw, repo, git_tree_entry_id(entry)) != 0) {
                return false;
            }
            programs.reset(raw);
        }
    }
    git_treebuilder* raw = nullptr;
    if (git_treebuilder_new(&raw, repo, programs.get()) != 0) {
        return false;
    }
    TreeBuilder inner(raw);
    git_oid innerId;
    if (git_treebuilder_insert(nullptr, inner.get(), place.c_str(), &blob, GIT_FILEMODE_BLOB) !=
            0 ||
        git_treebuilder_write(&innerId, inner.get()) != 0) {
        return false;
    }
    if (git_treebuilder_new(&raw, repo, root.get()) != 0) {
        return false;
    }
    TreeBuilder outer(raw);
    return git_treebuilder_insert(nullptr, outer.get(), kPrograms, &innerId, GIT_FILEMODE_TREE) ==
               0 &&
           git_treebuilder_write(&out, outer.get()) == 0;
}

bool parseTrailers(git_commit* commit, Trailers& out) {
    const char* message = git_commit_message(commit);
    return message != nullptr && git_message_trailers(&out.array, message) == 0;
}

// The version last sent to `machine` under `place`, walking back from
// `head`; empty when there was none.
std::string lastSentVersion(git_repository* repo, git_commit* head, const std::string& machine,
                            const std::string& place) {
    if (head == nullptr) {
        return {};
    }
    git_revwalk* raw = nullptr;
    if (git_revwalk_new(&raw, repo) != 0) {
        return {};
    }
    Walk walk(raw);
    git_revwalk_push(walk.get(), git_commit_id(head));
    git_oid id;
    while (git_revwalk_next(&id, walk.get()) == 0) {
        git_commit* c = nullptr;
        if (git_commit_lookup(&c, repo, &id) != 0) {
            continue;
        }
        Commit commit(c);
        Trailers t;
        if (parseTrailers(commit.get(), t) && t.get("Direction") == "sent" &&
            t.get("Program") == place && t.get("Machine") == machine) {
            return t.get("Version");
        }
    }
    return {};
}

std::string subjectOf(const TransferEvent& e, const std::string& place) {
    switch (e.direction) {
    case Direction::Sent:
        return place + " sent to " + oneLine(e.machine);
    case Direction::Received:
        return place + " received from " + oneLine(e.machine);
    case Direction::Restored:
        break;
    }
    return place + " restored";
}

std::string messageOf(const TransferEvent& e, const std::string& place, size_t size,
                      const RecordResult& r) {
    std::string m = subjectOf(e, place) + "\n\n";
    auto trailer = [&m](const char* key, const std::string& value) {
        if (!value.empty()) {
            m += std::string(key) + ": " + oneLine(value) + "\n";
        }
    };
    trailer("Program", place);
    trailer("File", e.file);
    trailer("Machine", e.machine);
    trailer("Port", e.port);
    trailer("Direction", DirectionName(e.direction));
    trailer("Time", isoTime(e.time));
    trailer("Size", std::to_string(size));
    trailer("Version", r.version);
    trailer("New-Version", r.newVersion ? "yes" : "no");
    if (r.newVersion) {
        trailer("Changed-Blocks", std::to_string(r.changedBlocks));
    }
    if (!r.sentVersion.empty()) {
        trailer("Sent-Version", r.sentVersion);
        trailer("Control-Changed-Blocks", std::to_string(r.controlChangedBlocks));
    }
    return m;
}

size_t blocksBetween(std::string_view before, std::string_view after) {
    const CompareResult c = ComparePrograms(before, after, CompareOptions{});
    return c.changedBlocks();
}

struct PushState {
    int credentialTries = 0;
    std::string refused; // what the remote said when it refused the branch
};

int pushCredentials(git_credential** out, const char*, const char* user, unsigned int allowed,
                    void* payload) {
    auto* state = static_cast<PushState*>(payload);
    // One try each: a refused key would be offered again for ever.
    if (++state->credentialTries > 1) {
        git_error_set_str(GIT_ERROR_NET, "the remote refused the credentials");
        return GIT_EAUTH;
    }
    if ((allowed & GIT_CREDENTIAL_SSH_KEY) != 0) {
        return git_credential_ssh_key_from_agent(out, user != nullptr ? user : "git");
    }
    if ((allowed & GIT_CREDENTIAL_DEFAULT) != 0) {
        return git_credential_default_new(out);
    }
    return GIT_PASSTHROUGH;
}

int pushUpdate(const char* ref, const char* status, void* payload) {
    if (status != nullptr) {
        static_cast<PushState*>(payload)->refused = std::string(ref) + ": " + status;
    }
    return 0;
}

} // namespace

const char* DirectionName(Direction d) {
    switch (d) {
    case Direction::Sent:
        return "sent";
    case Direction::Received:
        return "received";
    case Direction::Restored:
        break;
    }
    return "restored";
}

std::string ProgramPlace(std::string_view name) {
    std::string out;
    for (char c : name.substr(0, 200)) {
        const bool bad = c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
        out += bad ? '_' : c;
    }
    if (out.empty() || out[0] == '.') {
        out.insert(0, "_");
    }
    return out;
}

HistoryRepository::HistoryRepository(std::string path) : path_(std::move(path)) {}

RecordResult HistoryRepository::Record(const TransferEvent& event, std::string_view content,
                                       std::chrono::milliseconds lockWait) {
    EnsureGitLibrary();
    RecordResult r;
    std::error_code ec;
    std::filesystem::create_directories(path_, ec);
    if (ec) {
        r.error = path_ + ": " + ec.message();
        return r;
    }
    RecordLock lock(path_ + "/vorl-record.lock", lockWait);
    if (!lock.held()) {
        r.error = lock.error();
        return r;
    }
    Repo repo = openRepository(path_, true, r.error);
    if (!repo) {
        return r;
    }
    // Only a record moves the branch, and records take turns: a lock file
    // of the branch left now is a killed record's, and would stop every
    // record after it.
    std::filesystem::remove(path_ + "/" + kBranch + ".lock", ec);

    const std::string place = ProgramPlace(event.program);
    bool failed = false;
    Commit parent = headCommit(repo.get(), failed);
    if (failed) {
        r.error = LastGitError(path_ + ": the history's branch cannot be read");
        return r;
    }
    git_oid blob;
    if (git_blob_create_from_buffer(&blob, repo.get(), content.data(), content.size()) != 0) {
        r.error = LastGitError(path_ + ": the program cannot be stored");
        return r;
    }
    r.version = idText(blob);
    git_oid previous;
    const bool hadVersion = versionIn(parent.get(), place, previous);
    r.newVersion = !hadVersion || !git_oid_equal(&previous, &blob);
    std::string before;
    if (hadVersion && r.newVersion && readBlob(repo.get(), previous, before)) {
        r.changedBlocks = blocksBetween(before, content);
    } else if (!hadVersion) {
        r.changedBlocks = SplitBlocks(content).size();
    }
    if (event.direction == Direction::Received) {
        r.sentVersion = lastSentVersion(repo.get(), parent.get(), event.machine, place);
        git_oid sent;
        std::string sentBytes;
        if (r.sentVersion.empty() || git_oid_fromstr(&sent, r.sentVersion.c_str()) != 0 ||
            git_oid_equal(&sent, &blob)) {
            r.controlChangedBlocks = 0;
        } else if (hadVersion && git_oid_equal(&sent, &previous)) {
            r.controlChangedBlocks = r.changedBlocks; // the usual case: compared once
        } else if (readBlob(repo.get(), sent, sentBytes)) {
            r.controlChangedBlocks = blocksBetween(sentBytes, content);
        }
    }

    git_oid treeId;
    if (r.newVersion ? !treeWith(repo.get(), parent.get(), place, blob, treeId)
                     : git_oid_cpy(&treeId, git_commit_tree_id(parent.get())) != 0) {
        r.error = LastGitError(path_ + ": the program's version cannot be stored");
        return r;
    }
    git_tree* rawTree = nullptr;
    if (git_tree_lookup(&rawTree, repo.get(), &treeId) != 0) {
        r.error = LastGitError(path_ + ": the program's version cannot be read back");
        return r;
    }
    Tree tree(rawTree);
    git_signature* rawSig = nullptr;
    const auto when = std::chrono::system_clock::to_time_t(event.time);
    if (git_signature_new(&rawSig, "VORL II", "vorl@localhost", when, 0) != 0) {
        r.error = LastGitError("the record's signature cannot be made");
        return r;
    }
    Signature sig(rawSig);
    const std::string message = messageOf(event, place, content.size(), r);
    const git_commit* parents[1] = {parent.get()};
    git_oid commitId;
    if (git_commit_create(&commitId, repo.get(), nullptr, sig.get(), sig.get(), nullptr,
                          message.c_str(), tree.get(), parent ? 1 : 0, parents) != 0) {
        r.error = LastGitError(path_ + ": the transfer cannot be recorded");
        return r;
    }
    git_reference* rawRef = nullptr;
    const int rc =
        parent ? git_reference_create_matching(&rawRef, repo.get(), kBranch, &commitId, 1,
                                               git_commit_id(parent.get()), message.c_str())
               : git_reference_create(&rawRef, repo.get(), kBranch, &commitId, 0, message.c_str());
    if (rc != 0) {
        r.error = LastGitError(path_ + ": the history's branch cannot be moved");
        return r;
    }
    git_reference_free(rawRef);
    r.ok = true;
    return r;
}

bool HistoryRepository::List(const std::string& program, std::vector<HistoryEntry>& out,
                             std::string& error) const {
    EnsureGitLibrary();
    out.clear();
    std::error_code ec;
    if (!std::filesystem::exists(path_, ec)) {
        return true; // nothing recorded yet
    }
    Repo repo = openRepository(path_, false, error);
    if (!repo) {
        return false;
    }
    bool failed = false;
    Commit head = headCommit(repo.get(), failed);
    if (failed) {
        error = LastGitError(path_ + ": the history's branch cannot be read");
        return false;
    }
    if (!head) {
        return true;
    }
    const std::string place = program.empty() ? std::string() : ProgramPlace(program);
    git_revwalk* raw = nullptr;
    if (git_revwalk_new(&raw, repo.get()) != 0) {
        error = LastGitError(path_);
        return false;
    }
    Walk walk(raw);
    git_revwalk_push(walk.get(), git_commit_id(head.get()));
    git_oid id;
    int rc = 0;
    while ((rc = git_revwalk_next(&id, walk.get())) == 0) {
        git_commit* c = nullptr;
        if (git_commit_lookup(&c, repo.get(), &id) != 0) {
            error = LastGitError(path_ + ": a record cannot be read");
            return false;
        }
        Commit commit(c);
        Trailers t;
        if (!parseTrailers(commit.get(), t) || (!place.empty() && t.get("Program") != place)) {
            continue;
        }
        HistoryEntry e;
        e.commit = idText(id);
        e.program = t.get("Program");
        e.file = t.get("File");
        e.machine = t.get("Machine");
        e.port = t.get("Port");
        e.direction = t.get("Direction");
        e.time = t.get("Time");
        e.size = toCount(t.get("Size"));
        e.version = t.get("Version");
        e.newVersion = t.get("New-Version") == "yes";
        e.changedBlocks = toCount(t.get("Changed-Blocks"));
        e.sentVersion = t.get("Sent-Version");
        e.controlChangedBlocks = toCount(t.get("Control-Changed-Blocks"));
        out.push_back(std::move(e));
    }
    if (rc != GIT_ITEROVER) {
        error = LastGitError(path_ + ": the history cannot be walked");
        return false;
    }
    return true;
}

bool HistoryRepository::Push(const std::string& url, const std::string& branch,
                             std::string& error) const {
    EnsureGitLibrary();
    Repo repo = openRepository(path_, false, error);
    if (!repo) {
        return false;
    }
    git_remote* raw = nullptr;
    if (git_remote_create_anonymous(&raw, repo.get(), url.c_str()) != 0) {
        error = LastGitError(url);
        return false;
    }
    Owned<git_remote, git_remote_free> remote(raw);
    PushState state;
    git_push_options options;
    git_push_options_init(&options, GIT_PUSH_OPTIONS_VERSION);
    options.callbacks.credentials = pushCredentials;
    options.callbacks.push_update_reference = pushUpdate;
    options.callbacks.payload = &state;
    const std::string refspec = std::string(kBranch) + ":refs/heads/" + branch;
    char* refspecList[] = {const_cast<char*>(refspec.c_str())};
    const git_strarray refspecs = {refspecList, 1};
    if (git_remote_push(remote.get(), &refspecs, &options) != 0) {
        error = LastGitError("the history cannot be pushed to " + url);
        return false;
    }
    if (!state.refused.empty()) {
        error = url + " refused the history: " + state.refused;
        return false;
    }
    return true;
}

bool HistoryRepository::ReadVersion(const std::string& version, std::string& out,
                                    std::string& error) const {
    EnsureGitLibrary();
    Repo repo = openRepository(path_, false, error);
    if (!repo) {
        return false;
    }
    git_object* raw = nullptr;
    if (git_revparse_single(&raw, repo.get(), version.c_str()) != 0) {
        error = LastGitError("no version " + version);
        return false;
    }
    Object object(raw);
    if (git_object_type(object.get()) != GIT_OBJECT_BLOB) {
        error = version + " is no version of a program";
        return false;
    }
    const auto* blob = reinterpret_cast<git_blob*>(object.get());
    out.assign(static_cast<const char*>(git_blob_rawcontent(blob)),
               static_cast<size_t>(git_blob_rawsize(blob)));
    return true;
}

} // namespace vorl::history

// The machine configuration file: one text section per machine, read into and
// written from the machine table, and the caret notation that carries control
// characters of trigger and filter strings in it.
//
// Line 1 is a header the reader skips. "[name]" starts a section; inside it each
// line is one of the 23 keys of kConfigKeys followed by its value. Numbers are
// decimal lists separated by ",". Lines are trimmed of blanks and control
// characters. A value holds at most 200 bytes less its key; trigger and filter
// strings are in caret notation, names, directories and extensions as they
// are but for the bytes a line cannot carry (see config_file.cpp), so every
// byte value survives a write and a read. The writer replaces the file a
// chain of symbolic links ends at, whole or not at all, keeping its
// permissions, group and (as far as allowed) owner; see ReplacedFile for
// where it is rewritten in place instead.
#pragma once

#include "machines/caret_notation.h"
#include "machines/machine_config.h"

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vorl {

// The keys in their fixed order; each includes its "=".
inline constexpr std::array<std::string_view, 23> kConfigKeys = {
    "CAP=",     "DIRDN=",      "DIRUP=",    "EXTDN=",   "EXTUP=",   "PORTSPEED=",
    "BITS=",    "SHAKEPROTO=", "DELAYS=",   "EOBCC=",   "FSPECDN=", "FSPECUP=",
    "LEADER=",  "FILTERDN=",   "FILTERUP=", "ACTION0=", "ACTION1=", "ACTION2=",
    "ACTION3=", "ACTION4=",    "ACTION5=",  "ACTION6=", "ACTION7="};

inline constexpr std::string_view kConfigHeader = "VORL Configuration File - Do Not Edit";
inline constexpr size_t kMaxConfigLine = 200;
// An escaped byte takes two characters in the line: a value within its limit
// never takes more than this.
inline constexpr size_t kMaxReadLine = 2 * kMaxConfigLine;

// Called at most once per read, on the first field group with the wrong number
// of numbers (the reader goes on). The application shows text 200.
using ConfigDamageReport = std::function<void()>;

// Reads the file into slots 0 ... n-1 and sets `count` = n; returns n. Returns 0
// and leaves `count` as it was when the file cannot be opened or begins with
// "M". Fields that no line sets keep their previous value. Reading ends at a key
// that is not in the table and at a 51st section; a key line before the first
// section is ignored; a longer value is cut to its limit. A last line without
// a line break is not processed.
// `stoppedAtLine`, when given, receives the number (1 = the header) of the
// line at which the reading ended before the end of the file, or 0.
int ReadConfiguration(const std::string& path, MachineList& list,
                      const ConfigDamageReport& onDamaged = {}, int* stoppedAtLine = nullptr);

// Writes slots 0 ... count-1 (skipping those with capability '?'). Returns
// `count`, or -1 when the file could not be written; the old file then stays
// as it was.
int WriteConfiguration(const std::string& path, const MachineList& list);

// The file's content as WriteConfiguration writes it (LF line breaks).
std::string FormatConfiguration(const MachineList& list);

// Writes the default file: the terminal entry only (COM 1, 4800 bit/s, 8 data
// bits, 1 stop bit, no parity, no handshake, ASCII, CR LF). True on success.
bool WriteDefaultConfiguration(const std::string& path);
std::string_view DefaultConfiguration();

// A configuration file that is there but yields no machine may still hold a
// machine list this program could not read: before a new file takes its place
// it is moved to a free name beside it, "<path>.bak", else "<path>.bak2" ...
// "<path>.bak9". Returns the new name; an empty string when there is nothing
// to keep (no such file, an empty file, or a directory, which no write
// replaces); std::nullopt when the file could not be moved.
std::optional<std::string> KeepUnreadableConfiguration(const std::string& path);

// Keeps a copy of the file at `path` under a free name beside it, as above,
// unless one of those names already holds the same content. Returns the name
// of the copy, or std::nullopt when none could be made.
std::optional<std::string> KeepCopyOfConfiguration(const std::string& path);

// Replaces the content of `path` (ReplacedFile). False (and `path` as it
// was) on any failure.
bool ReplaceFileContent(const std::string& path, std::string_view content);

} // namespace vorl

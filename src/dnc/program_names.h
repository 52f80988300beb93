// Names that come from a machine tool, for the unattended service: the name a
// request program asks for, the program number of a program punched out, and
// the file either becomes in the machine's directory. Such a name is untrusted
// input: it is refused (never cut or mended) when it could reach outside the
// directory or hide there.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vorl::dnc {

// Longest name accepted, in bytes, before the template adds to it.
constexpr size_t kMaxProgramName = 64;

// The first capture group of `pattern` (a regular expression) found in the
// first `lines` lines of `program`; nothing when it is not there, or when the
// pattern is not valid or has no capture group.
std::optional<std::string> FindRequest(std::string_view program, const std::string& pattern,
                                       int lines);

// The program number of a program punched out: "O1234" for a block starting
// with O1234 or :1234 (the colon is the ISO form of O), looked for in the
// first `lines` lines; nothing when there is none.
std::optional<std::string> ProgramNumber(std::string_view program, int lines = 10);

// Why `name` is no acceptable program name: empty, over `limit` bytes, a path
// separator, a leading dot, a control character, a parenthesis or percent
// sign, a byte outside ASCII. Empty when it is acceptable. The limit is on
// the program's name; the file name the template makes of it (with its
// extension) may be as long as the file system allows.
std::string RefuseName(std::string_view name, size_t limit = kMaxProgramName);

// `nameTemplate` with "{name}" replaced by `name` and "{ext}" by `extension`.
std::string ApplyTemplate(std::string_view nameTemplate, std::string_view name,
                          std::string_view extension);

// The file `fileName` in `directory`, when it lies inside it: the name is
// refused by RefuseName, or it names something other than a plain file, or a
// symbolic link that leads out of the directory or to anything but a plain
// file. A link to a program of the directory (or a folder in it) is served.
// Why not, in `why`.
std::optional<std::string> FileInside(const std::string& directory, const std::string& fileName,
                                      std::string* why);

// The one entry of `directory` whose name is `fileName` in another letter
// case; nothing when none or several are.
std::optional<std::string> FindIgnoringCase(const std::string& directory,
                                            const std::string& fileName);

// Moves the finished file `from` (on the same file system) to `fileName` in
// `directory` without ever replacing anything: when the name is taken (by a
// file, a folder, a link), the first free of name_1, name_2, ... (before the
// extension). The move is one
// rename, so the program appears whole or not at all. The path it got, or
// nothing (and why) when it could not.
std::optional<std::string> SaveWithoutOverwrite(const std::string& from,
                                                const std::string& directory,
                                                const std::string& fileName, std::string* why);

} // namespace vorl::dnc

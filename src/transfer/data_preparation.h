// Turning a program file into the bytes a machine tool gets (download
// preparation), and a received file into the program the operator keeps
// (upload finishing).
//
// Download: the file is split into blocks, each block gets the machine's EOB
// and goes through the download filter; blocks that are then empty are
// dropped when comments are removed; the remaining blocks are written from the
// start block on (a line number of the program, as the review window shows
// it), after the punched-tape leader and the prefix and before the trailer. With EIA every block is
// translated to tape code (the table of BuildTranslationTable); leader and trailer stay zero bytes.
//
// Upload: the received file is split into blocks the same way, each gets the
// machine's ASCII EOB and goes through the upload filter; blocks that are then
// empty are dropped when comments or spaces are removed. An EIA upload is read
// back into ASCII first (see InverseTranslation): blocks end at the EIA end of
// block as well as at CR and LF, and every received end of block comes out as
// the machine's ASCII EOB. An EIA upload of a downloaded program therefore
// gives back the program (as the filters leave it).
//
// Neither call shows anything: a failure comes back with the text for the
// caller's message box.
#pragma once

#include "machines/machine_config.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace vorl {

struct DownloadRequest {
    std::string sourcePath;            // the program file
    int startBlock = 0;                // line of the first block written; 0 = all
    std::string prefixText;            // written before the first block (CR LF line ends)
    std::string translationFile;       // see TranslationFilePath; may be missing
    std::string previousTempFile;      // the engine's temporary file so far; deleted first
    size_t readSize = size_t{1} << 20; // bytes read at a time
};

struct PreparedDownload {
    bool ok = false;
    std::string tempFileName; // the prepared file; empty when preparation failed
    int64_t charsTotal = 0;   // its size
    uint8_t eolChar = '\n';   // the byte that ends each block in it
    std::string message;      // on failure: the text for the message box
};

// Builds a new temporary file (createTempFile) from the program. The previous
// temporary file is deleted in any case. On success the caller keeps
// tempFileName, shows charsTotal and gives eolChar to the protocol as its
// end-of-line character.
PreparedDownload PrepareDownloadFile(const MachineConfig& machine, const DownloadRequest& request);

struct FinishedUpload {
    bool ok = false;
    int64_t size = 0;    // bytes written to the target file
    std::string message; // on failure: the text for the message box
};

// Filters the received temporary file into `targetPath` (created or replaced;
// through links, the file they lead to). An existing program is replaced whole
// or not at all, keeping its permissions and group (ReplacedFile); one that
// RefuseReplacing refuses (read-only, not a regular file) is left alone. The
// temporary file stays. With no temporary file: "No current uploaded file".
FinishedUpload FinishUploadFile(const MachineConfig& machine, const std::string& tempFileName,
                                const std::string& targetPath, const std::string& translationFile,
                                size_t readSize = size_t{1} << 20);

} // namespace vorl

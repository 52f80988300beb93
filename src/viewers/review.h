// Review and restart, as the main window uses it: the File menu's "Review /
// Restart..." opens the review window on the program to download; the operator
// reads and searches it, may choose an alternate start block (the download then
// drops the counted blocks before it) and a prefix (sent before the first
// block). The window changes the main window's restart fields only through
// ReviewFields, so the transfer engine can own them without any widget.
#pragma once

#include "restart/machine_restart.h"

#include <string>

class QWidget;

namespace vorl {

// The main window's restart fields, bound by reference for the time the review
// window is open.
struct ReviewFields {
    std::string fileName;    // the program file shown in lblFilename
    int& startBlock;         // alternate start block, 0 = none
    std::string& prefixText; // prefix with CR LF line ends, empty = none
    bool& refilterNeeded;    // set when the start block or prefix changed
    RestartOptions restart;  // how "Build Prefix" reads the program for this machine
                             // (ReadMachineRestart)
};

// The text of lblOperation for a download with these restart settings:
// "Download with prefix and starting at block: " (229) or "Download starting at
// block: " (230), each followed by the number, "Download with prefix" (231) or
// "Download" (18).
std::string OperationText(int startBlock, const std::string& prefixText);

// mnuFileReviewClick: creates the review window, shows it modally, then sets
// startBlock to the block chosen there and releases the window. Returns the new
// text of lblOperation. `languageLoaded` says whether a language file was loaded
// (the window's captions then come from it).
std::string mnuFileReviewClick(QWidget* parent, const ReviewFields& fields, bool languageLoaded);

} // namespace vorl

// The built-in English texts by id. Where one id serves two places with two
// different English texts, the first place's text is here; the second place
// calls TextOr with its own text.
#include "text/language_table.h"

#include <algorithm>
#include <array>
#include <utility>

namespace vorl {
namespace {

using Entry = std::pair<int, std::string_view>;

// Sorted by id.
constexpr std::array kBuiltin = std::to_array<Entry>({
    {11, "To: "},
    {12, "From: "},
    {13, "Connect"},
    {16, "Transmit"},
    {17, "Receive"},
    {18, "Download"},
    {19, "Upload"},
    {21, "Operation:"},
    {22, "Machine:"},
    {23, "Filename:"},
    {24, "Status:"},
    {25, "Characters:"},
    {26, "Time Elapsed:"},
    {27, "Transferred:"},
    {28, "Time Remaining:"},
    {29, "Characters / Second:"},
    {30, "DSR"},
    {31, "RX"},
    {32, "TX"},
    {50, "Reset"},
    {51, "Stop"},
    {52, "OK"},
    {53, "Cancel"},
    {54, "Browse"},
    {55, "Clear Text"},
    {56, "Close Port"},
    {57, "Open Port"},
    {58, "Close"},
    {59, "Add Prefix"},
    {60, "Set Block"},
    {61, "Search"},
    {62, "Accept Prefix"},
    {63, "Remove Prefix"},
    {64, "Save Log File"},
    {65, "Move Up"},
    {66, "Move Down"},
    {67, "Add"},
    {68, "Delete"},
    {75, "File Specifications"},
    {76, "Communication"},
    {77, "Data Specifications"},
    {78, "Filters"},
    {101, "<Enter name of first machine here>"},
    {104, "Alternate start block: "},
    {106, "None"},
    {150, "None"},
    {151, "Odd"},
    {152, "Even"},
    {153, "None"},
    {154, "Xon/Xoff"},
    {155, "Hardware"},
    {156, "Xon/Xoff/HW"},
    {157, "ASCII"},
    {158, "Xmodem"},
    {159, "Xmodem CRC"},
    {160, "Xmodem 1K"},
    {176, "Ready"},
    {177, "Download in progress"},
    {178, "Waiting for machine tool"},
    {181, "Upload in progress"},
    {185, "Sender has stopped transmitting - End of data assumed - Press Stop to save file"},
    {186, "Download cancelled"},
    {187, "No file specified"},
    {188, "Machine tool indicates ready to receive"},
    {189, "Download complete"},
    {190, "Machine tool indicates completion"},
    {191, "Download stopped due to timeout"},
    {192, "Download stopped "},
    {193, "Upload complete"},
    {194, "Upload stopped due to timeout"},
    {195, "End-of-data received - File Saved"},
    {196, "Upload stopped "},
    {197, "File saved"},
    {198, "Waiting for data from machine tool"},
    {199, "Unable to handshake with machine tool"},
    {200, "VORL configuration file is damaged. Machine parameters may be incorrect."},
    {201, "Port does not exist"},
    {205, "Unknown error opening port"},
    {206, "File not found: "},
    {220, "Port is already in use"},
    {221, "Error reading configuration file. VORL can not proceed."},
    {223, "Error"},
    {224, "Line error"},
    {225, "Insufficient memory to filter file"},
    {226, "Insufficient memory to download file"},
    {227, "No current uploaded file"},
    {228, "Waiting (Xoff received from machine tool)"},
    {229, "Download with prefix and starting at block: "},
    {230, "Download starting at block: "},
    {231, "Download with prefix"},
    {250, "&File"},
    {251, "E&xit"},
    {252, "&Communicate"},
    {253, "&Download"},
    {254, "&Upload"},
    {255, "&Terminal..."},
    {256, "C&onfigure"},
    {257, "&Edit Machine"},
    {260, "&Help"},
    {261, "&Help on VORL..."},
    {262, "&About VORL..."},
    {263, "&Review / Restart..."},
    {264, "&Machine List..."},
    {278, "Maintain Machine List"},
    {281, "Start:"},
    {282, "Ready:"},
    {283, "Stop:"},
    {284, "End:"},
    {285, "Download"},
    {286, "Upload"},
    {287, "EOB"},
    {288, "Char Code"},
    {289, "Character Filter (Download)"},
    {290, "Nulls"},
    {291, "Spaces"},
    {292, "Comments"},
    {293, "Characters:"},
    {294, "Leader"},
    {295, "Punch Leader"},
    {296, "Punch Trailer"},
    {297, "Length (Ft.)"},
    {298, "Communication"},
    {299, "Parity"},
    {300, "Data Bits"},
    {301, "Comm Port"},
    {302, "Handshaking"},
    {303, "Stop Bits"},
    {304, "Line Speed"},
    {305, "Capability and Default File Specifications"},
    {306, "Directory"},
    {307, "Extension"},
    {308, "Trigger Strings"},
    {309, "Terminal Mode"},
    {310, "Log Output"},
    {311, "Echo"},
    {312, "CRLF out"},
    {314, "Control Character Display"},
    {315, "Expand (e.g. <CR>"},
    {316, "Standard (e.g. ^M)"},
    {317, "Parity"},
    {318, "Data Bits"},
    {319, "Port"},
    {320, "Speed"},
    {321, "Search for..."},
    {322, "Review: "},
    {323, "Log File"},
    {324, "NC Programs"},
    {325, "All Files"},
    {326, "In-->"},
    {327, "Out->"},
    {328, " Port Opened"},
    {329, " Port Closed"},
    {332, "Character Filter (Upload)"},
    {333, "Block Delay (msec)"},
    {334, "Protocol"},
    {335, "Capability"},
    {336, "Block:"},
    {337, "About VORL"},
    {350, "Character(s) sent to machine controller to tell it to start receiving data"},
    {351, "Character(s) sent by machine controller when ready to receive data"},
    {352, "Character(s) sent to machine controller to tell it that data transfer is complete"},
    {353, "Character(s) sent by machine controller to acknowledge that data transfer is complete"},
    {354, "Character(s) sent to machine controller when computer is ready to receive uploaded "
          "data"},
    {355, "Character(s) sent by machine controller to indicate start of upload"},
    {356, "Character(s) sent to machine controller to acknowledge that upload has finished"},
    {357, "Character(s) sent by machine controller when it has finished uploading data"},
});

constexpr bool sortedById() {
    for (size_t i = 1; i < kBuiltin.size(); ++i) {
        if (kBuiltin[i - 1].first >= kBuiltin[i].first) {
            return false;
        }
    }
    return true;
}
static_assert(sortedById(), "built-in texts must be sorted by id without duplicates");

} // namespace

std::string_view BuiltinText(int id) {
    const auto it = std::lower_bound(kBuiltin.begin(), kBuiltin.end(), id,
                                     [](const Entry& e, int key) { return e.first < key; });
    if (it == kBuiltin.end() || it->first != id) {
        return {};
    }
    return it->second;
}

std::string Text(int id) {
    return TextOr(id, BuiltinText(id));
}

} // namespace vorl

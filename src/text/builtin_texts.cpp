// The built-in English text of every named text id: one text per id, so a
// language file's text for an id replaces exactly what that id's places mean.
#include "text/language_table.h"

#include <algorithm>
#include <array>
#include <utility>

namespace vorl {
namespace {

using Entry = std::pair<TextId, std::string_view>;

// Sorted by id. The about window's contact lines (375-378) have no built-in
// text.
constexpr std::array kBuiltin = std::to_array<Entry>({
    {TextId::DownloadItemPrefix, "To: "},
    {TextId::UploadItemPrefix, "From: "},
    {TextId::Connect, "Connect"},
    {TextId::Transmit, "Transmit"},
    {TextId::Receive, "Receive"},
    {TextId::Download, "Download"},
    {TextId::Upload, "Upload"},
    {TextId::OperationCaption, "Operation:"},
    {TextId::MachineCaption, "Machine:"},
    {TextId::FilenameCaption, "Filename:"},
    {TextId::StatusCaption, "Status:"},
    {TextId::CharactersCaption, "Characters:"},
    {TextId::TimeElapsedCaption, "Time Elapsed:"},
    {TextId::TransferredCaption, "Transferred:"},
    {TextId::TimeRemainingCaption, "Time Remaining:"},
    {TextId::CharactersPerSecondCaption, "Characters / Second:"},
    {TextId::DsrLight, "DSR"},
    {TextId::RxLight, "RX"},
    {TextId::TxLight, "TX"},
    {TextId::Reset, "Reset"},
    {TextId::Stop, "Stop"},
    {TextId::Ok, "OK"},
    {TextId::Cancel, "Cancel"},
    {TextId::Browse, "Browse"},
    {TextId::ClearText, "Clear Text"},
    {TextId::ClosePort, "Close Port"},
    {TextId::OpenPort, "Open Port"},
    {TextId::Close, "Close"},
    {TextId::AddPrefix, "Add Prefix"},
    {TextId::SetBlock, "Set Block"},
    {TextId::Search, "Search"},
    {TextId::AcceptPrefix, "Accept Prefix"},
    {TextId::RemovePrefix, "Remove Prefix"},
    {TextId::SaveLogFile, "Save Log File"},
    {TextId::MoveUp, "Move Up"},
    {TextId::MoveDown, "Move Down"},
    {TextId::Add, "Add"},
    {TextId::Delete, "Delete"},
    {TextId::FileSpecificationsPage, "File Specifications"},
    {TextId::CommunicationPage, "Communication"},
    {TextId::DataSpecificationsPage, "Data Specifications"},
    {TextId::FiltersPage, "Filters"},
    {TextId::FirstMachinePrompt, "<Enter name of first machine here>"},
    {TextId::AlternateStartBlock, "Alternate start block: "},
    {TextId::NoStartBlock, "None"},
    {TextId::ParityNone, "None"},
    {TextId::ParityOdd, "Odd"},
    {TextId::ParityEven, "Even"},
    {TextId::HandshakeNone, "None"},
    {TextId::HandshakeXonXoff, "Xon/Xoff"},
    {TextId::HandshakeHardware, "Hardware"},
    {TextId::HandshakeXonXoffHardware, "Xon/Xoff/HW"},
    {TextId::ProtocolAscii, "ASCII"},
    {TextId::ProtocolXmodem, "Xmodem"},
    {TextId::ProtocolXmodemCrc, "Xmodem CRC"},
    {TextId::ProtocolXmodem1K, "Xmodem 1K"},
    {TextId::Ready, "Ready"},
    {TextId::DownloadInProgress, "Download in progress"},
    {TextId::WaitingForMachineTool, "Waiting for machine tool"},
    {TextId::UploadInProgress, "Upload in progress"},
    {TextId::SenderStoppedPressStop,
     "Sender has stopped transmitting - End of data assumed - Press Stop to save file"},
    {TextId::DownloadCancelled, "Download cancelled"},
    {TextId::NoFileSpecified, "No file specified"},
    {TextId::MachineToolReadyToReceive, "Machine tool indicates ready to receive"},
    {TextId::DownloadComplete, "Download complete"},
    {TextId::MachineToolIndicatesCompletion, "Machine tool indicates completion"},
    {TextId::DownloadStoppedTimeout, "Download stopped due to timeout"},
    {TextId::DownloadStopped, "Download stopped "},
    {TextId::UploadComplete, "Upload complete"},
    {TextId::UploadStoppedTimeout, "Upload stopped due to timeout"},
    {TextId::EndOfDataFileSaved, "End-of-data received - File Saved"},
    {TextId::UploadStopped, "Upload stopped "},
    {TextId::FileSaved, "File saved"},
    {TextId::WaitingForData, "Waiting for data from machine tool"},
    {TextId::UnableToHandshake, "Unable to handshake with machine tool"},
    {TextId::ConfigFileDamaged,
     "VORL configuration file is damaged. Machine parameters may be incorrect."},
    {TextId::PortDoesNotExist, "Port does not exist"},
    {TextId::UnknownErrorOpeningPort, "Unknown error opening port"},
    {TextId::FileNotFound, "File not found: "},
    {TextId::PortAlreadyInUse, "Port is already in use"},
    {TextId::ConfigFileUnreadable, "Error reading configuration file. VORL can not proceed."},
    {TextId::Error, "Error"},
    {TextId::LineError, "Line error"},
    {TextId::InsufficientMemoryToFilter, "Insufficient memory to filter file"},
    {TextId::InsufficientMemoryToDownload, "Insufficient memory to download file"},
    {TextId::NoCurrentUploadedFile, "No current uploaded file"},
    {TextId::WaitingXoff, "Waiting (Xoff received from machine tool)"},
    {TextId::DownloadWithPrefixAtBlock, "Download with prefix and starting at block: "},
    {TextId::DownloadAtBlock, "Download starting at block: "},
    {TextId::DownloadWithPrefix, "Download with prefix"},
    {TextId::FileMenu, "&File"},
    {TextId::ExitItem, "E&xit"},
    {TextId::CommunicateMenu, "&Communicate"},
    {TextId::DownloadMenu, "&Download"},
    {TextId::UploadMenu, "&Upload"},
    {TextId::TerminalItem, "&Terminal..."},
    {TextId::ConfigureMenu, "C&onfigure"},
    {TextId::EditMachineMenu, "&Edit Machine"},
    {TextId::HelpMenu, "&Help"},
    {TextId::HelpContentsItem, "&Help on VORL..."},
    {TextId::AboutItem, "&About VORL..."},
    {TextId::ReviewRestartItem, "&Review / Restart..."},
    {TextId::MachineListItem, "&Machine List..."},
    {TextId::MaintainMachineList, "Maintain Machine List"},
    {TextId::TriggerStart, "Start:"},
    {TextId::TriggerReady, "Ready:"},
    {TextId::TriggerStop, "Stop:"},
    {TextId::TriggerEnd, "End:"},
    {TextId::DownloadColumn, "Download"},
    {TextId::UploadColumn, "Upload"},
    {TextId::EndOfBlock, "EOB"},
    {TextId::CharCode, "Char Code"},
    {TextId::DownloadFilter, "Character Filter (Download)"},
    {TextId::Nulls, "Nulls"},
    {TextId::Spaces, "Spaces"},
    {TextId::Comments, "Comments"},
    {TextId::FilterCharacters, "Characters:"},
    {TextId::Leader, "Leader"},
    {TextId::PunchLeader, "Punch Leader"},
    {TextId::PunchTrailer, "Punch Trailer"},
    {TextId::LeaderLength, "Length (Ft.)"},
    {TextId::CommunicationGroup, "Communication"},
    {TextId::Parity, "Parity"},
    {TextId::DataBits, "Data Bits"},
    {TextId::CommPort, "Comm Port"},
    {TextId::Handshaking, "Handshaking"},
    {TextId::StopBits, "Stop Bits"},
    {TextId::LineSpeed, "Line Speed"},
    {TextId::CapabilityAndFileSpecifications, "Capability and Default File Specifications"},
    {TextId::Directory, "Directory"},
    {TextId::Extension, "Extension"},
    {TextId::TriggerStrings, "Trigger Strings"},
    {TextId::TerminalMode, "Terminal Mode"},
    {TextId::LogOutput, "Log Output"},
    {TextId::Echo, "Echo"},
    {TextId::CrlfOut, "CRLF out"},
    {TextId::ControlCharacterDisplay, "Control Character Display"},
    {TextId::ExpandDisplay, "Expand (e.g. <CR>"},
    {TextId::StandardDisplay, "Standard (e.g. ^M)"},
    {TextId::TerminalParity, "Parity"},
    {TextId::TerminalDataBits, "Data Bits"},
    {TextId::TerminalPort, "Port"},
    {TextId::TerminalSpeed, "Speed"},
    {TextId::SearchFor, "Search for..."},
    {TextId::ReviewCaption, "Review: "},
    {TextId::LogFile, "Log File"},
    {TextId::NcPrograms, "NC Programs"},
    {TextId::AllFiles, "All Files"},
    {TextId::InputPrefix, "In-->"},
    {TextId::OutputPrefix, "Out->"},
    {TextId::PortOpened, " Port Opened"},
    {TextId::PortClosed, " Port Closed"},
    {TextId::UploadFilter, "Character Filter (Upload)"},
    {TextId::BlockDelay, "Block Delay (msec)"},
    {TextId::Protocol, "Protocol"},
    {TextId::Capability, "Capability"},
    {TextId::BlockCaption, "Block:"},
    {TextId::AboutCaption, "About VORL"},
    {TextId::HintDownloadStart,
     "Character(s) sent to machine controller to tell it to start receiving data"},
    {TextId::HintDownloadReady,
     "Character(s) sent by machine controller when ready to receive data"},
    {TextId::HintDownloadStop,
     "Character(s) sent to machine controller to tell it that data transfer is complete"},
    {TextId::HintDownloadEnd,
     "Character(s) sent by machine controller to acknowledge that data transfer is complete"},
    {TextId::HintUploadStart,
     "Character(s) sent to machine controller when computer is ready to receive uploaded "
     "data"},
    {TextId::HintUploadReady,
     "Character(s) sent by machine controller to indicate start of upload"},
    {TextId::HintUploadStop,
     "Character(s) sent to machine controller to acknowledge that upload has finished"},
    {TextId::HintUploadEnd,
     "Character(s) sent by machine controller when it has finished uploading data"},
    {TextId::PortOpen, "Port open"},
    {TextId::FileSentWaiting, "File Sent. Waiting for response from machine tool"},
    {TextId::UploadCancelled, "Upload cancelled"},
    {TextId::UploadStoppedFatalTimeout, "Upload stopped due to fatal time out"},
    {TextId::EndOfDataClosingFiles, "End-of-data received from machine tool - Closing Files"},
    {TextId::PortInUseByAnother, "Port is in use by another application"},
    {TextId::DownloadStoppedFatalTimeout, "Download stopped due to fatal time out"},
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

std::string_view BuiltinText(TextId id) {
    const auto it = std::lower_bound(kBuiltin.begin(), kBuiltin.end(), id,
                                     [](const Entry& e, TextId key) { return e.first < key; });
    if (it == kBuiltin.end() || it->first != id) {
        return {};
    }
    return it->second;
}

std::string Text(TextId id) {
    const LanguageTable& table = Language();
    return table.HasText(id) ? table.GetText(id) : std::string(BuiltinText(id));
}

std::string TextOr(int id, std::string_view englishText) {
    const auto named = static_cast<TextId>(id);
    if (Language().HasText(id) || !BuiltinText(named).empty()) {
        return Text(named);
    }
    return std::string(englishText); // a text of its own, outside the table
}

} // namespace vorl

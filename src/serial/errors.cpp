#include "serial/errors.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace vorl {

namespace {

struct TextEntry {
    uint32_t id;
    std::string_view text;
};

// Sorted by id: looked up with a binary search.
constexpr TextEntry kTexts[] = {
    {0, "OK"},
    {2, "File not found"},
    {3, "Path not found"},
    {4, "Too many open files"},
    {5, "File access denied"},
    {6, "Invalid file handle"},
    {8, "Insufficient memory"},
    {15, "Invalid drive"},
    {18, "No more files"},
    {100, "Attempt to read beyond end of file"},
    {101, "Disk is full"},
    {102, "File/device not assigned"},
    {103, "File/device not open"},
    {104, "File/device not open for input"},
    {105, "File/device not open for output"},
    {150, "Disk is write-protected"},
    {151, "Unknown disk unit"},
    {152, "Drive is not ready"},
    {153, "Unknown command"},
    {154, "Data error"},
    {155, "Bad request structure length"},
    {156, "Seek error"},
    {157, "Unknown media type"},
    {158, "Disk sector not found"},
    {159, "Printer is out of paper"},
    {160, "Device write error"},
    {161, "Device read error"},
    {162, "General failure"},
    {1001, "Bad handle passed to com function"},
    {1002, "Bad argument passed to function"},
    {1003, "Got quit message"},
    {1004, "Terminal buffer greater than 65521"},
    {1005, "ComPort component not assigned"},
    {1006, "Internal error creating window class"},
    {1007, "Modem component not assigned"},
    {1008, "Phonebook component not assigned"},
    {1009, "Component not compatible with WinSock"},
    {2001, "ie_BadId - Specified comport doesn't exist"},
    {2002, "ie_Baudrate - unsupported baud rate"},
    {2003, "ie_Bytesize - invalid byte size"},
    {2004, "ie_Default - error in default parameters"},
    {2005, "ie_Hardware - Specified comport in use"},
    {2006, "ie_Memory - unable to allocate queues"},
    {2007, "ie_NOpen - device not open"},
    {2008, "ie_Open - device already open"},
    {2009, "No more handles, can't open port"},
    {2010, "No timers available"},
    {2011, "The ComNumber property of the TComPort has not been set"},
    {2012, "Comport was not opened by Tapi"},
    {3001, "No device layer specified"},
    {3002, "Function not supported by driver"},
    {3003, "EnableCommNotification failed"},
    {3004, "Failed to put entire block"},
    {3005, "Failed to get entire block"},
    {3006, "Output buffer too small for block"},
    {3007, "Buffer is empty"},
    {3008, "Tracing not enabled"},
    {3009, "Logging not enabled"},
    {3010, "Base address not set"},
    {3011, "Line to the machine tool lost"},
    {4700, "OK"},
    {4701, "Protocol handshaking in progress"},
    {4702, "Bad date/time stamp received and ignored"},
    {4703, "File rejected"},
    {4704, "File renamed"},
    {4705, "File skipped"},
    {4706, "File doesn't exist locally, skipped"},
    {4707, "File skipped "},
    {4708, "Time out in protocol"},
    {4709, "Bad checksum or CRC"},
    {4710, "Block too long"},
    {4711, "Duplicate block received and ignored "},
    {4712, "Error in protocol"},
    {4713, "Cancel requested"},
    {4714, "At end of file"},
    {4716, "Block was out of sequence"},
    {4717, "Aborting on carrier loss"},
    {5001, "No more trigger slots"},
    {5002, "Data trigger too long"},
    {5003, "Bad trigger handle"},
    {6001, "Bad format in file list"},
    {6002, "No search mask specified during transmit"},
    {6003, "No files matched search mask"},
    {6004, "Directory in search mask doesn't exist"},
    {6005, "Cancel requested"},
    {6006, "Fatal time out"},
    {6007, "Unrecoverable event during protocol"},
    {6008, "Too many errors during protocol"},
    {6009, "Block sequence error in Xmodem"},
    {6010, "No filename specified in protocol receive"},
    {6011, "File was rejected"},
    {6012, "Cant write file"},
    {6013, "Kermit window table is full, fatal error"},
    {6014, "Aborting due to carrier loss"},
    {6015, "Function not supported by protocol"},
    {6016, "Protocol aborted"},
};

constexpr bool textsSorted() {
    for (std::size_t i = 1; i < std::size(kTexts); ++i) {
        if (kTexts[i - 1].id >= kTexts[i].id) {
            return false;
        }
    }
    return true;
}
static_assert(textsSorted(), "the text table must be sorted by id without duplicates");

constexpr std::string_view kCommunicationsException = "Communications exception";

// Truncates to at most `max` bytes without cutting a UTF-8 sequence in two.
void truncateUtf8(std::string& s, std::size_t max) {
    if (s.size() <= max) {
        return;
    }
    std::size_t cut = max;
    while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    s.resize(cut);
}

std::string systemText(uint32_t number) {
    if (number > static_cast<uint32_t>(INT32_MAX)) {
        return {};
    }
    // strerrordesc_np gives no text (instead of "Unknown error n") for a number
    // the system does not know, and is thread-safe.
    const char* text = strerrordesc_np(static_cast<int>(number));
    if (text == nullptr) {
        return {};
    }
    return CleanSystemText(text);
}

[[noreturn]] void raiseFor(int32_t code) {
    switch (code) {
    case ecBadArgument:
        throw EBadArgument(code);
    case ecGotQuitMsg:
        throw EGotQuitMsg(code);
    case ecBufferTooBig:
        throw EBufferTooBig(code);
    case ecPortNotAssigned:
        throw EPortNotAssigned(code);
    case ecInternal:
        throw EInternal(code);
    case ecModemNotAssigned:
        throw EModemNotAssigned(code);
    case ecPhonebookNotAssigned:
        throw EPhonebookNotAssigned(code);
    case ecCannotUseWithWinSock:
        throw ECannotUseWithWinSock(code);

    case ecBadId:
        throw EBadId(code);
    case ecBaudRate:
        throw EBaudRate(code);
    case ecByteSize:
        throw EByteSize(code);
    case ecDefault:
        throw EDefault(code);
    case ecHardware:
        throw EHardware(code);
    case ecMemory:
        throw EMemory(code);
    case ecCommNotOpen:
        throw ECommNotOpen(code);
    case ecAlreadyOpen:
        throw EAlreadyOpen(code);
    case ecNoHandles:
        throw ENoHandles(code);
    case ecNoTimers:
        throw ENoTimers(code);
    case ecNoPortSelected:
        throw ENoPortSelected(code);
    case ecNotOpenedByTapi:
        throw ENotOpenedByTapi(code);

    case ecNullApi:
        throw ENullApi(code);
    case ecRegisterHandlerFailed:
        throw ERegisterHandlerFailed(code);
    case ecPutBlockFail:
        throw EPutBlockFail(code);
    case ecGetBlockFail:
        throw EGetBlockFail(code);
    case ecOutputBufferTooSmall:
        throw EOutputBufferTooSmall(code);
    case ecBufferIsEmpty:
        throw EBufferIsEmpty(code);
    case ecTracingNotEnabled:
        throw ETracingNotEnabled(code);
    case ecLoggingNotEnabled:
        throw ELoggingNotEnabled(code);
    case ecBaseAddressNotSet:
        throw EBaseAddressNotSet(code);
    case ecLineLost:
        throw ELineLost(code);

    case ecTriggerTooLong:
        throw ETriggerTooLong(code);
    case ecBadTriggerHandle:
        throw EBadTriggerHandle(code);

    case ecTimeout:
    case ecTooManyErrors:
    case ecSequenceError:
        throw EProtocol(code);

    default:
        break;
    }
    if (code == ecOutOfMemory) {
        throw EOutOfMemory();
    }
    if (code >= -162 && code <= -2) {
        throw EFileError(-code, LoadErrorStr(code));
    }
    throw ECommException(std::string(kCommunicationsException));
}

} // namespace

uint32_t MapCodeToStringID(int32_t code) {
    // Through 64 bits so that the most negative code has an absolute value too.
    const int64_t wide = code;
    return static_cast<uint32_t>(wide < 0 ? -wide : wide);
}

std::string_view TableErrorText(int32_t code) {
    const uint32_t id = MapCodeToStringID(code);
    const auto* end = std::end(kTexts);
    const auto* it = std::lower_bound(std::begin(kTexts), end, id,
                                      [](const TextEntry& e, uint32_t v) { return e.id < v; });
    if (it == end || it->id != id) {
        return {};
    }
    return it->text;
}

std::string CleanSystemText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const char blankOrChar = static_cast<unsigned char>(c) < 32 ? ' ' : c;
        if (blankOrChar == ' ' && !out.empty() && out.back() == ' ') {
            continue;
        }
        out.push_back(blankOrChar);
    }
    return out;
}

std::string LoadErrorStr(int32_t code) {
    std::string text(TableErrorText(code));
    if (text.empty()) {
        text = systemText(MapCodeToStringID(code));
    }
    truncateUtf8(text, kMaxErrorText);
    return text;
}

std::string ErrorMsg(int32_t code) {
    return LoadErrorStr(code);
}

char* LoadErrorZ(int32_t code, char* buffer, std::size_t size) {
    if (buffer == nullptr || size == 0) {
        return buffer;
    }
    const std::size_t room = std::min(size, kErrorZSize) - 1;
    const std::string_view text = TableErrorText(code);
    const std::size_t n = std::min(room, text.size());
    if (n > 0) {
        std::memcpy(buffer, text.data(), n);
    }
    buffer[n] = '\0';
    return buffer;
}

ECommException::ECommException(int32_t code)
    : std::runtime_error(LoadErrorStr(code)), ErrorCode(code) {}

ECommException::ECommException(const std::string& message)
    : std::runtime_error(message), ErrorCode(0) {}

ECommException::ECommException(int32_t code, const std::string& message)
    : std::runtime_error(message), ErrorCode(code) {}

EOutOfMemory::EOutOfMemory() : message_(LoadErrorStr(ecOutOfMemory)) {}

const char* EOutOfMemory::what() const noexcept {
    return message_.c_str();
}

int32_t CheckException(int32_t code, bool componentLoading) {
    if (code >= 0 || componentLoading) {
        return code;
    }
    raiseFor(code);
}

int32_t XlatException(const std::exception& e) {
    if (const auto* comm = dynamic_cast<const ECommException*>(&e)) {
        return comm->ErrorCode;
    }
    if (const auto* file = dynamic_cast<const EFileError*>(&e)) {
        return -file->ErrorNumber;
    }
    if (dynamic_cast<const std::bad_alloc*>(&e) != nullptr) {
        return ecOutOfMemory;
    }
    return kUnknownExceptionCode;
}

int32_t XlatException(const std::exception_ptr& e) {
    if (!e) {
        return kUnknownExceptionCode;
    }
    try {
        std::rethrow_exception(e);
    } catch (const std::exception& ex) {
        return XlatException(ex);
    } catch (...) {
        return kUnknownExceptionCode;
    }
}

} // namespace vorl

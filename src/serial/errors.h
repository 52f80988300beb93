// Error texts and exceptions of the serial layer and the protocol engine.
//
// Inside the serial layer a failure is a negative code (error_codes.h). This
// module gives every code its text (`ErrorMsg`) and turns a negative result into
// the exception class of its group (`CheckException`), so the port component can
// raise what its callers catch; `XlatException` goes the other way.
//
// Texts come from a table compiled into the program, keyed by the code's
// absolute value. A code the table does not know gets the system's text for
// that number (errno numbering), with control characters made blanks and runs
// of blanks folded into one; if the system has none either, the text is empty.
#pragma once

#include "platform/error_codes.h"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vorl {

// Protocol status values; their texts live in the same table (ids 4700 up).
enum ProtocolStatusText : int32_t {
    psOK = 4700,
    psProtocolHandshake = 4701,
    psInvalidDate = 4702,
    psFileRejected = 4703,
    psFileRenamed = 4704,
    psSkipFile = 4705,
    psFileDoesntExist = 4706,
    psCantWriteFile = 4707,
    psTimeout = 4708,
    psBlockCheckError = 4709,
    psLongPacket = 4710,
    psDuplicateBlock = 4711,
    psProtocolError = 4712,
    psCancelRequested = 4713,
    psEndFile = 4714,
};

// The code every exception that is not one of ours translates to.
inline constexpr int32_t kUnknownExceptionCode = -9999;

// Longest text `LoadErrorStr` returns, in bytes.
inline constexpr std::size_t kMaxErrorText = 255;

// Size of the buffer `LoadErrorZ` fills by default (79 characters and the zero).
inline constexpr std::size_t kErrorZSize = 80;

// The text of |code| from the table, else the system's text for that number
// (cleaned with `CleanSystemText`), else empty. At most kMaxErrorText bytes.
std::string LoadErrorStr(int32_t code);

// What the transfer engine shows the operator for a serial or protocol code.
std::string ErrorMsg(int32_t code);

// The table text of |code| only, without the system fallback; empty if absent.
std::string_view TableErrorText(int32_t code);

// Writes the table text of |code| into `buffer` as a zero-terminated string of
// at most min(size, kErrorZSize) - 1 characters (cut at the end); an absent id
// gives an empty string. Returns `buffer`. A null buffer or size 0 writes nothing.
char* LoadErrorZ(int32_t code, char* buffer, std::size_t size = kErrorZSize);

// Control characters (below 32) become blanks, then runs of blanks become one
// blank. System texts can carry line breaks; a status line cannot.
std::string CleanSystemText(std::string_view text);

// The table's id for a code: its absolute value (also for the most negative code).
uint32_t MapCodeToStringID(int32_t code);

// ---- Exceptions -----------------------------------------------------------

// Base of every exception the serial layer raises for a code. `ErrorCode` is the
// code the exception was made from, or 0 when it was made from a plain message.
class ECommException : public std::runtime_error {
public:
    explicit ECommException(int32_t code);
    explicit ECommException(const std::string& message);
    ECommException(int32_t code, const std::string& message);

    int32_t ErrorCode = 0;
};

// Group classes: one per range of codes.
#define VORL_COMM_EXCEPTION(Name, Base)                                                            \
    class Name : public Base {                                                                     \
    public:                                                                                        \
        using Base::Base;                                                                          \
    }

VORL_COMM_EXCEPTION(EGeneral, ECommException);
VORL_COMM_EXCEPTION(EOpenComm, ECommException);
VORL_COMM_EXCEPTION(ESerialIO, ECommException);
VORL_COMM_EXCEPTION(EModem, ECommException);
VORL_COMM_EXCEPTION(ETrigger, ECommException);
VORL_COMM_EXCEPTION(EPacket, ECommException);
VORL_COMM_EXCEPTION(EProtocol, ECommException);
VORL_COMM_EXCEPTION(EINI, ECommException);
VORL_COMM_EXCEPTION(EFax, ECommException);
VORL_COMM_EXCEPTION(ETapi, ECommException);
VORL_COMM_EXCEPTION(ERas, ECommException);
VORL_COMM_EXCEPTION(EAdTerminal, ECommException);

// General (-1001 to -1009).
VORL_COMM_EXCEPTION(EBadArgument, EGeneral);
VORL_COMM_EXCEPTION(EGotQuitMsg, EGeneral);
VORL_COMM_EXCEPTION(EBufferTooBig, EGeneral);
VORL_COMM_EXCEPTION(EPortNotAssigned, EGeneral);
VORL_COMM_EXCEPTION(EInternal, EGeneral);
VORL_COMM_EXCEPTION(EModemNotAssigned, EGeneral);
VORL_COMM_EXCEPTION(EPhonebookNotAssigned, EGeneral);
VORL_COMM_EXCEPTION(ECannotUseWithWinSock, EGeneral);

// Opening the port (-2001 to -2012).
VORL_COMM_EXCEPTION(EBadId, EOpenComm);
VORL_COMM_EXCEPTION(EBaudRate, EOpenComm);
VORL_COMM_EXCEPTION(EByteSize, EOpenComm);
VORL_COMM_EXCEPTION(EDefault, EOpenComm);
VORL_COMM_EXCEPTION(EHardware, EOpenComm);
VORL_COMM_EXCEPTION(EMemory, EOpenComm);
VORL_COMM_EXCEPTION(ECommNotOpen, EOpenComm);
VORL_COMM_EXCEPTION(EAlreadyOpen, EOpenComm);
VORL_COMM_EXCEPTION(ENoHandles, EOpenComm);
VORL_COMM_EXCEPTION(ENoTimers, EOpenComm);
VORL_COMM_EXCEPTION(ENoPortSelected, EOpenComm);
VORL_COMM_EXCEPTION(ENotOpenedByTapi, EOpenComm);
// The device exists but this user may not open it (on Linux usually: not a
// member of the group that owns serial devices). Raised by the port component
// with a message naming the device; `ErrorCode` is the negated errno.
VORL_COMM_EXCEPTION(EPortAccessDenied, EOpenComm);
// The line could not be reached or set up, and the device says why in words
// naming it (a network serial server that does not answer, refuses, or sets
// another speed than asked). `ErrorCode` is the device's code.
VORL_COMM_EXCEPTION(EPortUnreachable, EOpenComm);

// Serial input and output (-3001 to -3011).
VORL_COMM_EXCEPTION(ENullApi, ESerialIO);
VORL_COMM_EXCEPTION(ERegisterHandlerFailed, ESerialIO);
VORL_COMM_EXCEPTION(EPutBlockFail, ESerialIO);
VORL_COMM_EXCEPTION(EGetBlockFail, ESerialIO);
VORL_COMM_EXCEPTION(EOutputBufferTooSmall, ESerialIO);
VORL_COMM_EXCEPTION(EBufferIsEmpty, ESerialIO);
VORL_COMM_EXCEPTION(ETracingNotEnabled, ESerialIO);
VORL_COMM_EXCEPTION(ELoggingNotEnabled, ESerialIO);
VORL_COMM_EXCEPTION(EBaseAddressNotSet, ESerialIO);
VORL_COMM_EXCEPTION(ELineLost, ESerialIO);

// Triggers (-5002, -5003).
VORL_COMM_EXCEPTION(ETriggerTooLong, ETrigger);
VORL_COMM_EXCEPTION(EBadTriggerHandle, ETrigger);

// Protocols: the codes raise EProtocol itself; these exist for catch clauses.
VORL_COMM_EXCEPTION(ETimeout, EProtocol);
VORL_COMM_EXCEPTION(ETooManyErrors, EProtocol);
VORL_COMM_EXCEPTION(ESequenceError, EProtocol);

#undef VORL_COMM_EXCEPTION

// A file or device error of the run-time numbering (-2 to -162, except -8).
// `ErrorNumber` is the positive number (5 for "File access denied").
class EFileError : public std::runtime_error {
public:
    EFileError(int32_t errorNumber, const std::string& message)
        : std::runtime_error(message), ErrorNumber(errorNumber) {}

    int32_t ErrorNumber;
};

// Out of memory (-8); a std::bad_alloc whose text is the table's.
class EOutOfMemory : public std::bad_alloc {
public:
    EOutOfMemory();
    const char* what() const noexcept override;

private:
    std::string message_;
};

// Raises the exception for `code` and does not return, unless the code is 0 or
// positive, or `componentLoading` is set (a component being restored from saved
// settings keeps the value and raises nothing); then returns `code` unchanged.
//   - a code of the table with a class: that class, with the code's text;
//   - -2 to -162: EFileError (EOutOfMemory for -8);
//   - anything else: ECommException "Communications exception", ErrorCode 0.
int32_t CheckException(int32_t code, bool componentLoading = false);

// The code for an exception: an ECommException's ErrorCode; EFileError's number
// negated; -8 for out of memory; kUnknownExceptionCode for anything else.
int32_t XlatException(const std::exception& e);
int32_t XlatException(const std::exception_ptr& e);

} // namespace vorl

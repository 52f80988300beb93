// Result codes of the device layer, the serial layer and the protocol engine.
// 0 is success; failures are negative. -2 to -162 are file and device errors,
// other negative values outside the ranges below are system error numbers
// negated. They live here, below the device layer, so that every layer above
// it can use them without any include running back up.
#pragma once

#include <cstdint>

namespace vorl {

enum ErrorCode : int32_t {
    ecOK = 0,

    // File and device errors (run-time numbering).
    ecFileNotFound = -2,
    ecPathNotFound = -3,
    ecTooManyFiles = -4,
    ecAccessDenied = -5,
    ecInvalidHandle = -6,
    ecOutOfMemory = -8,
    ecDiskFull = -101,
    ecNotOpen = -103,
    ecWriteProtected = -150,
    ecDeviceWriteError = -160,
    ecDeviceReadError = -161,
    ecGeneralFailure = -162,

    // General.
    ecBadHandle = -1001,
    ecBadArgument = -1002,
    ecGotQuitMsg = -1003,
    ecBufferTooBig = -1004,
    ecPortNotAssigned = -1005,
    ecInternal = -1006,
    ecModemNotAssigned = -1007,
    ecPhonebookNotAssigned = -1008,
    ecCannotUseWithWinSock = -1009,

    // Opening the port.
    ecBadId = -2001,
    ecBaudRate = -2002,
    ecByteSize = -2003,
    ecDefault = -2004,
    ecHardware = -2005,
    ecMemory = -2006,
    ecCommNotOpen = -2007,
    ecAlreadyOpen = -2008,
    ecNoHandles = -2009,
    ecNoTimers = -2010,
    ecNoPortSelected = -2011,
    ecNotOpenedByTapi = -2012,

    // Serial input and output.
    ecNullApi = -3001,
    ecNotSupported = -3002,
    ecRegisterHandlerFailed = -3003,
    ecPutBlockFail = -3004,
    ecGetBlockFail = -3005,
    ecOutputBufferTooSmall = -3006,
    ecBufferIsEmpty = -3007,
    ecTracingNotEnabled = -3008,
    ecLoggingNotEnabled = -3009,
    ecBaseAddressNotSet = -3010,
    // The device failed or hung up while open (an unplugged adapter, a
    // closed far end): the line to the machine tool is gone until the port
    // opens again.
    ecLineLost = -3011,

    // Triggers.
    ecNoMoreTriggers = -5001,
    ecTriggerTooLong = -5002,
    ecBadTriggerHandle = -5003,

    // File transfer protocols.
    ecBadFileList = -6001,
    ecNoSearchMask = -6002,
    ecNoMatchingFiles = -6003,
    ecDirNotFound = -6004,
    ecCancelRequested = -6005,
    ecTimeout = -6006,
    ecProtocolError = -6007,
    ecTooManyErrors = -6008,
    ecSequenceError = -6009,
    ecNoFilename = -6010,
    ecFileRejected = -6011,
    ecCantWriteFile = -6012,
    ecTableFull = -6013,
    ecAbortNoCarrier = -6014,
    ecBadProtocolFunction = -6015,
    ecProtocolAbort = -6016,
};

// A file-system errno as a file error code above (-2 file not found, -3 path
// not found, -5 access denied, -101 disk full, ...), for every reader and
// writer of files; `writing` tells a failed write from a failed read.
int32_t FileErrorCode(int err, bool writing);

} // namespace vorl

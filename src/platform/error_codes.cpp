#include "platform/error_codes.h"

#include <cerrno>

namespace vorl {

int32_t FileErrorCode(int err, bool writing) {
    switch (err) {
    case 0:
        return ecOK;
    case ENOENT:
        return ecFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
        return ecPathNotFound;
    case EMFILE:
    case ENFILE:
        return ecTooManyFiles;
    case EACCES:
    case EPERM:
    case EISDIR:
    case ETXTBSY:
    case EBUSY:
    case ENXIO:
        return ecAccessDenied;
    case EBADF:
        return ecInvalidHandle;
    case ENOMEM:
        return ecOutOfMemory;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return ecDiskFull;
    case EROFS:
        return ecWriteProtected;
    case EIO:
        return writing ? ecDeviceWriteError : ecDeviceReadError;
    default:
        return ecGeneralFailure;
    }
}

} // namespace vorl

// Error codes keep the Windows numbers the design uses; the texts are our own.
#pragma once
#include <cstdint>
#include <string>

namespace plat {

enum : uint32_t {
    kErrorSuccess = 0,
    kErrorFileNotFound = 2,
    kErrorPathNotFound = 3,
    kErrorTooManyOpenFiles = 4,
    kErrorAccessDenied = 5,
    kErrorInvalidHandle = 6,
    kErrorNotEnoughMemory = 8,
    kErrorWriteFault = 29,
    kErrorReadFault = 30,
    kErrorGenFailure = 31,
    kErrorSharingViolation = 32,
    kErrorHandleEof = 38,
    kErrorFileExists = 80,
    kErrorInvalidParameter = 87,
    kErrorBrokenPipe = 109,
    kErrorDiskFull = 112,
    kErrorInsufficientBuffer = 122,
    kErrorDirNotEmpty = 145,
    kErrorAlreadyExists = 183,
    kErrorBadExeFormat = 193,
    kErrorFilenameTooLong = 206,
    kErrorNoData = 232,
    kWaitTimeout = 258,
    kErrorNoMoreItems = 259,
    kErrorDirectory = 267,
    kErrorDirectoryNotSupported = 336,  // a directory where a file was expected
    kErrorCancelled = 1223,   // a running operation was stopped on request
    kErrorInstallFailure = 1627,
    kEFail = 0x80004005u,
};

// Maps an errno value onto the nearest code above (unknown values: kErrorGenFailure).
uint32_t CodeFromErrno(int err);

// The text of a system code, ending in CR LF; false when there is none.
bool SystemErrorText(uint32_t code, std::wstring& text);

// The text of a code in a module's message table (only "wininet.dll", the 12xxx internet codes,
// is known), ending in CR LF; false when there is none.
bool ModuleMessageText(const std::wstring& module, uint32_t code, std::wstring& text);

}  // namespace plat

#include "Errors.h"

#include <cerrno>
#include <cwctype>
#include <string_view>

namespace plat {
namespace {

struct CodeText {
    uint32_t code;
    const wchar_t* text;  // without the line end
};

const CodeText kSystemTexts[] = {
    {kErrorSuccess, L"The operation succeeded."},
    {1, L"The function is not supported here."},
    {kErrorFileNotFound, L"The file could not be found."},
    {kErrorPathNotFound, L"The path could not be found."},
    {kErrorTooManyOpenFiles, L"Too many files are open."},
    {kErrorAccessDenied, L"Access was denied."},
    {kErrorInvalidHandle, L"The handle is not valid."},
    {kErrorNotEnoughMemory, L"There is not enough memory to complete the operation."},
    {13, L"The data are not valid."},
    {14, L"There is not enough memory to complete the operation."},
    {15, L"The drive could not be found."},
    {18, L"There are no more files."},
    {21, L"The device is not ready."},
    {kErrorWriteFault, L"The device could not be written to."},
    {kErrorReadFault, L"The device could not be read from."},
    {kErrorGenFailure, L"A device attached to the system is not working."},
    {kErrorSharingViolation, L"The file is in use by another process."},
    {33, L"A part of the file is locked by another process."},
    {kErrorHandleEof, L"The end of the file was reached."},
    {50, L"The request is not supported."},
    {kErrorFileExists, L"The file already exists."},
    {82, L"The directory or file could not be created."},
    {kErrorInvalidParameter, L"A parameter is not valid."},
    {kErrorBrokenPipe, L"The pipe has been closed."},
    {110, L"The device or file could not be opened."},
    {kErrorDiskFull, L"There is not enough space on the disk."},
    {120, L"This function is not supported on this system."},
    {kErrorInsufficientBuffer, L"The buffer is too small for the data."},
    {123, L"The file name, directory name or volume label is not valid."},
    {126, L"The module could not be found."},
    {kErrorDirNotEmpty, L"The directory is not empty."},
    {170, L"The resource is in use."},
    {kErrorAlreadyExists, L"The file cannot be created because it already exists."},
    {kErrorBadExeFormat, L"The program is not a valid executable."},
    {kErrorFilenameTooLong, L"The file name or extension is too long."},
    {kErrorNoData, L"The pipe is being closed."},
    {233, L"No process is on the other end of the pipe."},
    {234, L"More data are available."},
    {kWaitTimeout, L"The wait timed out."},
    {kErrorNoMoreItems, L"There are no more items."},
    {kErrorDirectory, L"The directory name is not valid."},
    {kErrorDirectoryNotSupported, L"The path names a directory, not a file."},
    {995, L"The operation was aborted."},
    {1155, L"No program is associated with this file."},
    {kErrorCancelled, L"The operation was cancelled."},
    {1460, L"The operation timed out."},
    {kErrorInstallFailure, L"The installation failed."},
    {0x80004001u, L"The operation is not implemented."},
    {kEFail, L"The operation failed for an unspecified reason."},
    {0x80070057u, L"A parameter is not valid."},
};

// Message table of the internet client ("wininet.dll").
const CodeText kInternetTexts[] = {
    {12001, L"No more internet handles could be made."},
    {12002, L"The internet operation timed out."},
    {12003, L"The server returned extended error information."},
    {12004, L"The internet client failed internally."},
    {12005, L"The URL is not valid."},
    {12006, L"The URL uses a scheme that is not supported."},
    {12007, L"The server name could not be resolved."},
    {12008, L"No protocol was found for the request."},
    {12009, L"The option is not valid."},
    {12010, L"The option has the wrong length."},
    {12011, L"The option cannot be set."},
    {12012, L"The internet client is shutting down."},
    {12013, L"The user name was refused."},
    {12014, L"The password was refused."},
    {12015, L"The log-on to the server failed."},
    {12016, L"The operation is not valid here."},
    {12017, L"The internet operation was cancelled."},
    {12018, L"The handle is of the wrong type for this operation."},
    {12019, L"The handle is in the wrong state for this operation."},
    {12020, L"The request cannot go through a proxy."},
    {12021, L"A required setting could not be found."},
    {12022, L"A setting has a value that is not valid."},
    {12023, L"Direct internet access is not possible."},
    {12024, L"No context value was given for the asynchronous request."},
    {12025, L"No status callback was given for the asynchronous request."},
    {12026, L"The request is still pending."},
    {12027, L"The request has an invalid format."},
    {12028, L"The requested item could not be found."},
    {12029, L"A connection to the server could not be made."},
    {12030, L"The connection to the server was aborted."},
    {12031, L"The connection to the server was reset."},
    {12032, L"The request has to be sent again."},
    {12033, L"The proxy request is not valid."},
    {12034, L"The request needs user interaction."},
    {12035, L"The internet request could not be completed."},
    {12036, L"The handle already exists."},
    {12037, L"The server's certificate has expired or is not valid yet."},
    {12038, L"The server's certificate names a different host."},
    {12039, L"The request was redirected from HTTP to HTTPS."},
    {12040, L"The request was redirected from HTTPS to HTTP."},
    {12041, L"The content mixes secure and insecure parts."},
    {12042, L"Data are being posted over a connection that is not secure."},
    {12043, L"Data are being posted over a connection that is not secure."},
    {12044, L"The server asks for a client certificate."},
    {12045, L"The server's certificate was issued by an unknown authority."},
    {12046, L"Client authentication is not set up."},
    {12047, L"The asynchronous worker thread could not be started."},
    {12048, L"The redirection changed the URL's scheme."},
    {12049, L"Another dialog is already pending."},
    {12050, L"The request has to be retried after a dialog."},
    {12051, L"No new cache containers can be made."},
    {12052, L"The data were redirected from HTTPS to HTTP."},
    {12053, L"The requested data are on a removable medium that is not inserted."},
    {12054, L"The server asks for a Fortezza log-on."},
    {12055, L"The server's certificate has errors."},
    {12056, L"The server's certificate was not checked for revocation."},
    {12057, L"The revocation check of the server's certificate failed."},
    {12110, L"A file transfer is already in progress on this session."},
    {12111, L"The FTP session was ended."},
    {12112, L"The FTP server does not offer passive mode."},
    {12150, L"The HTTP header could not be found."},
    {12151, L"The server did not send any headers."},
    {12152, L"The server's response could not be understood."},
    {12153, L"The HTTP header is not valid."},
    {12154, L"The query for the HTTP header is not valid."},
    {12155, L"The HTTP header already exists."},
    {12156, L"The HTTP redirection failed."},
    {12157, L"The secure channel to the server failed."},
    {12158, L"The file could not be cached."},
    {12159, L"The network protocol is not installed."},
    {12160, L"The HTTP request was not redirected."},
    {12161, L"The cookie needs confirmation."},
    {12162, L"The cookie was declined."},
    {12163, L"The internet connection has been lost."},
    {12164, L"The server cannot be reached."},
    {12165, L"The proxy server cannot be reached."},
    {12166, L"The proxy configuration script has an error."},
    {12167, L"The proxy configuration script could not be downloaded."},
    {12168, L"The redirection needs confirmation."},
    {12169, L"The server's certificate is not valid."},
    {12170, L"The server's certificate has been revoked."},
    {12171, L"The download was refused by a security check."},
    {12172, L"The internet client has not been initialised."},
    {12175, L"The server's response could not be decoded."},
};

template <size_t N>
bool Lookup(const CodeText (&table)[N], uint32_t code, std::wstring& text) {
    for (const CodeText& e : table) {
        if (e.code == code) {
            text = e.text;
            text += L"\r\n";
            return true;
        }
    }
    return false;
}

bool IsInternetModule(const std::wstring& module) {
    std::wstring name;
    for (wchar_t c : module) name += static_cast<wchar_t>(std::towlower(c));
    // A path to the module names it too.
    size_t slash = name.find_last_of(L"\\/");
    if (slash != std::wstring::npos) name.erase(0, slash + 1);
    return name == L"wininet.dll" || name == L"wininet";
}

}  // namespace

uint32_t CodeFromErrno(int err) {
    switch (err) {
    case 0: return kErrorSuccess;
    case ENOENT: return kErrorFileNotFound;
    case ENOTDIR: return kErrorPathNotFound;
    case EMFILE:
    case ENFILE: return kErrorTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EROFS: return kErrorAccessDenied;
    case EBADF: return kErrorInvalidHandle;
    case ENOMEM: return kErrorNotEnoughMemory;
    case EIO: return kErrorGenFailure;
    case ETXTBSY:
    case EBUSY: return kErrorSharingViolation;
    case EEXIST: return kErrorFileExists;
    case EINVAL:
    case E2BIG: return kErrorInvalidParameter;
    case EPIPE: return kErrorBrokenPipe;
    case ENOSPC:
    case EDQUOT: return kErrorDiskFull;
    case ERANGE:
    case EOVERFLOW: return kErrorInsufficientBuffer;
    case ENOTEMPTY: return kErrorDirNotEmpty;
    case ENOEXEC:
    case ELIBBAD: return kErrorBadExeFormat;
    case ENAMETOOLONG: return kErrorFilenameTooLong;
    case ETIMEDOUT: return kWaitTimeout;
    case EISDIR: return kErrorDirectoryNotSupported;
    case ECANCELED: return kErrorCancelled;
    case ELOOP: return kErrorPathNotFound;
    default: return kErrorGenFailure;
    }
}

bool SystemErrorText(uint32_t code, std::wstring& text) {
    return Lookup(kSystemTexts, code, text);
}

bool ModuleMessageText(const std::wstring& module, uint32_t code, std::wstring& text) {
    if (!IsInternetModule(module)) return false;
    return Lookup(kInternetTexts, code, text);
}

}  // namespace plat

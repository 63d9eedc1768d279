// FTP: the logged-in control connection of an FTP connection handle, uploads, the server's replies.
#include "InternetInternal.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cwchar>

#include "Errors.h"
#include "Paths.h"
#include "Text.h"

namespace plat {

using namespace inet;

namespace {

thread_local std::string t_lastResponse;  // the server's last complete reply (FTP), UTF-8

size_t OnFtpReply(char* data, size_t size, size_t count, void* user) {
    auto* c = static_cast<Connection*>(user);
    size_t n = size * count;
    c->ftp->Activity();
    std::string line(data, n);
    c->replyLines += line;
    // "123 text" ends a reply; "123-text" starts or continues a multi-line one.
    if (line.size() >= 4 && std::isdigit(static_cast<unsigned char>(line[0])) &&
        std::isdigit(static_cast<unsigned char>(line[1])) &&
        std::isdigit(static_cast<unsigned char>(line[2])) && line[3] == ' ') {
        t_lastResponse = c->replyLines;
        c->replyLines.clear();
    }
    return n;
}

size_t OnFtpRead(char* buffer, size_t size, size_t count, void* user) {
    auto* c = static_cast<Connection*>(user);
    c->ftp->Activity();
    size_t n = std::fread(buffer, size, count, c->upload);
    if (n == 0 && std::ferror(c->upload)) return CURL_READFUNC_ABORT;
    return n;
}

std::string FtpUrl(const Connection& c, const std::string& remote) {
    std::string url = "ftp://" + Authority(c.host, c.port) + "/";
    std::string path = remote;
    std::replace(path.begin(), path.end(), '\\', '/');
    size_t start = 0;
    if (!path.empty() && path[0] == '/') {
        url += "%2F";  // absolute: from the server's root, not the login directory
        start = 1;
    }
    CURL* easy = c.ftp->easy;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(start, end - start);
        char* escaped = curl_easy_escape(easy, part.c_str(), static_cast<int>(part.size()));
        if (escaped) {
            url += escaped;
            curl_free(escaped);
        }
        if (end < path.size()) url += "/";
        start = end + 1;
    }
    return url;
}

bool FtpRun(Connection& c) {
    if (!c.ftp->Attach()) return Fail(kErrorInternetInternalError);
    bool ok = c.ftp->Pump([] { return false; }, c.connectTimeoutMs, c.receiveTimeoutMs);
    c.ftp->Detach();
    return ok && Succeed();
}

}  // namespace

namespace inet {

bool FtpLogin(Connection& c) {
    t_lastResponse.clear();
    c.ftp = std::make_unique<Transfer>();
    if (!c.ftp->Valid()) return Fail(kErrorNotEnoughMemory);
    CURL* easy = c.ftp->easy;
    std::string url = "ftp://" + Authority(c.host, c.port) + "/";
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    ConfigureRoute(easy, c, c.connectTo);
    if (!c.user.empty()) {
        curl_easy_setopt(easy, CURLOPT_USERNAME, c.user.c_str());
        curl_easy_setopt(easy, CURLOPT_PASSWORD, c.password.c_str());
    }
    curl_easy_setopt(easy, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, OnFtpReply);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &c);
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);  // log in, nothing else
    return FtpRun(c);
}

}  // namespace inet

bool FtpPutFile(InternetHandle connection, const std::wstring& localFile,
                const std::wstring& remoteFile, uint32_t flags) {
    auto c = LookupAs<Connection>(connection, Kind::Connection);
    if (!c) return false;
    if (c->service != kInternetServiceFtp) return Fail(kErrorInternetIncorrectHandleType);
    if (localFile.empty() || remoteFile.empty()) return Fail(kErrorInvalidParameter);
    std::lock_guard<std::mutex> guard(c->lock);
    std::FILE* file = std::fopen(NativePath(localFile).c_str(), "rb");
    if (!file) return Fail(CodeFromErrno(errno));
    std::unique_ptr<std::FILE, decltype(&std::fclose)> closer(file, std::fclose);
    std::fseek(file, 0, SEEK_END);
    long size = std::ftell(file);
    std::fseek(file, 0, SEEK_SET);

    t_lastResponse.clear();
    c->replyLines.clear();
    c->upload = file;
    CURL* easy = c->ftp->easy;
    std::string url = FtpUrl(*c, NarrowFromWide(remoteFile));
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(easy, CURLOPT_READFUNCTION, OnFtpRead);
    curl_easy_setopt(easy, CURLOPT_READDATA, c.get());
    curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size < 0 ? 0 : size));
    curl_easy_setopt(easy, CURLOPT_TRANSFERTEXT, (flags & kFtpTransferTypeAscii) ? 1L : 0L);
    curl_easy_setopt(easy, CURLOPT_FTPPORT, (c->flags & kInternetFlagPassive) ? nullptr : "-");
    bool ok = FtpRun(*c);
    c->upload = nullptr;
    curl_easy_setopt(easy, CURLOPT_UPLOAD, 0L);
    return ok;
}

bool InternetGetLastResponseInfo(uint32_t* error, wchar_t* buffer, uint32_t* length) {
    if (!length) return Fail(kErrorInvalidParameter);
    std::wstring text = WideFromNarrow(t_lastResponse);
    if (error) *error = text.size() >= 3 ? static_cast<uint32_t>(std::wcstoul(text.c_str(), nullptr, 10)) : 0;
    uint32_t needed = static_cast<uint32_t>(text.size() + 1);
    if (!buffer || *length < needed) {
        *length = needed;
        return Fail(kErrorInsufficientBuffer);
    }
    std::wmemcpy(buffer, text.c_str(), needed);
    *length = needed - 1;
    return Succeed();
}

}  // namespace plat

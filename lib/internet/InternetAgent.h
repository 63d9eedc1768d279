// The desktop program's network client: a connectivity check, an HTTP(S) GET returning the reply
// body as text, and the upload of one file by FTP. Every request opens and closes its own handles,
// so one agent serves any number of threads at once.
#pragma once
#include <cstdint>
#include <string>

#include "Internet.h"

namespace RYL {

class CInternetAgent {
public:
    // parent: the window the design hangs the agent's hidden window on; reserved: kept, unused.
    // Neither takes part in the requests.
    CInternetAgent(void* parent, void* reserved);
    virtual ~CInternetAgent();
    CInternetAgent(const CInternetAgent&) = delete;
    CInternetAgent& operator=(const CInternetAgent&) = delete;

    // Tried in order by CheckConnection; the first that can be reached ends the check.
    static const wchar_t* const ProbeUrls[7];

    // True when the machine reports a connection (three tries a second apart) and one of the
    // ProbeUrls can be reached. flags: the connection-state flags, also when false.
    bool CheckConnection(uint32_t* flags);

    // GET of path?query from the host (port 443 with https, else 80). On success the body is in
    // response; status gets the reply's status as soon as it is known; error gets the failure.
    bool HttpGet(const std::wstring& in_strHttpServerDns, const std::wstring& path,
                 const std::wstring& query, std::wstring* response, uint32_t* status, bool https,
                 std::wstring* error);

    // Puts the local file to the remote path. code: 0 on success, else 0x80004005 or the internet
    // client's code; error: empty on success, else the server's reply (12003) or the code's text.
    bool FtpUpload(const std::wstring& in_strFtpServerIp, uint16_t port,
                   const std::wstring& in_strRemoteFilePath, const std::wstring& in_strLocalFilePath,
                   const std::wstring& user, const std::wstring& password, bool passive,
                   uint32_t transferFlags, uint32_t* code, std::wstring* error);

    // HttpQueryInfo of a request. code: 0, 0x80004005 for a null handle or buffer or a zero
    // length, else the internet client's code.
    bool RetrieveHttpInfo(plat::InternetHandle request, uint32_t infoLevel, void* buffer,
                          uint32_t* length, uint32_t* code);

private:
    void* parent_;
    void* reserved_;
};

}  // namespace RYL

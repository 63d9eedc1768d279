#include "InternetCurlCodes.h"

#include <curl/curl.h>
#include <openssl/x509_vfy.h>

#include "Errors.h"
#include "Internet.h"

namespace plat {

uint32_t InternetCodeFromCurl(int curlCode, long sslVerifyResult) {
    switch (static_cast<CURLcode>(curlCode)) {
    case CURLE_OK:
        return kErrorSuccess;
    case CURLE_UNSUPPORTED_PROTOCOL:
        return kErrorInternetUnrecognizedScheme;
    case CURLE_URL_MALFORMAT:
        return kErrorInternetInvalidUrl;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
        return kErrorInternetNameNotResolved;
    case CURLE_COULDNT_CONNECT:
        return kErrorInternetCannotConnect;
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_FTP_ACCEPT_TIMEOUT:
        return kErrorInternetTimeout;
    // The FTP server answered with a refusal: its reply is the last response text.
    case CURLE_FTP_ACCEPT_FAILED:
    case CURLE_FTP_WEIRD_PASS_REPLY:
    case CURLE_FTP_WEIRD_PASV_REPLY:
    case CURLE_FTP_WEIRD_227_FORMAT:
    case CURLE_FTP_CANT_GET_HOST:
    case CURLE_FTP_COULDNT_SET_TYPE:
    case CURLE_FTP_COULDNT_RETR_FILE:
    case CURLE_QUOTE_ERROR:
    case CURLE_UPLOAD_FAILED:
    case CURLE_FTP_PORT_FAILED:
    case CURLE_FTP_COULDNT_USE_REST:
    case CURLE_REMOTE_ACCESS_DENIED:
    case CURLE_LOGIN_DENIED:
    case CURLE_REMOTE_DISK_FULL:
    case CURLE_REMOTE_FILE_EXISTS:
    case CURLE_REMOTE_FILE_NOT_FOUND:
    case CURLE_FTP_PRET_FAILED:
        return kErrorInternetExtendedError;
    case CURLE_PEER_FAILED_VERIFICATION:
        switch (sslVerifyResult) {
        // libcurl checks the name before it reads the chain's result (then still "unspecified"),
        // or after a good chain.
        case X509_V_OK:
        case X509_V_ERR_UNSPECIFIED:
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
            return kErrorInternetSecCertCnInvalid;
        case X509_V_ERR_CERT_NOT_YET_VALID:
        case X509_V_ERR_CERT_HAS_EXPIRED:
            return kErrorInternetSecCertDateInvalid;
        default:
            return kErrorInternetInvalidCa;
        }
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
        return kErrorInternetInvalidCa;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_USE_SSL_FAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
        return kErrorInternetSecurityChannelError;
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
        return kErrorInternetConnectionAborted;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
        return kErrorInternetConnectionReset;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_BAD_CONTENT_ENCODING:
        return kErrorHttpInvalidServerResponse;
    case CURLE_TOO_MANY_REDIRECTS:
        return kErrorHttpRedirectFailed;
    case CURLE_ABORTED_BY_CALLBACK:
        return kErrorInternetOperationCancelled;
    case CURLE_OUT_OF_MEMORY:
        return kErrorNotEnoughMemory;
    case CURLE_READ_ERROR:
        return kErrorReadFault;
    default:
        return kErrorInternetInternalError;
    }
}

}  // namespace plat

// How a libcurl result becomes one of the internet client's error codes.
#pragma once
#include <cstdint>

namespace plat {

// curlCode: a CURLcode; sslVerifyResult: the certificate verification result of the transfer
// (an X509_V_* value, 0 when the chain was accepted). CURLE_OK gives 0.
uint32_t InternetCodeFromCurl(int curlCode, long sslVerifyResult);

}  // namespace plat

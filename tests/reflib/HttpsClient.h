#pragma once
// The HTTP client of HttpClient.h over TLS (Boost.Asio's SSL stream): it trusts exactly one
// certificate, so a success also says which certificate the server presented.
#include "HttpClient.h"

#include <cstdint>
#include <string>

namespace reflib_test
{
struct CHttpsResult : CHttpResult
{
    bool handshake = false; // the server presented the trusted certificate over TLS 1.2 or newer
    std::string error;      // why the exchange stopped, when it did
};

CHttpsResult HttpsRequest(std::uint16_t port, const std::string& trustedCertificatePem,
                          const std::string& method, const std::string& target, const std::string& body = "",
                          const CCredentials* credentials = nullptr, const CHeaders& headers = {});
} // namespace reflib_test

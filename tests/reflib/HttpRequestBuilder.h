#pragma once
// The request the test clients send over HTTP and HTTPS alike.
#include "HttpClient.h"

#include <boost/beast/http.hpp>

#include <string>

namespace reflib_test
{
// Host as given, Authorization with the credentials, Content-Type application/json with a body, then
// `headers` (an empty value removes that header).
inline boost::beast::http::request<boost::beast::http::string_body>
BuildRequest(const std::string& method, const std::string& target, const std::string& host,
             const std::string& body, const CCredentials* credentials, const CHeaders& headers)
{
    namespace http = boost::beast::http;
    http::request<http::string_body> request{http::string_to_verb(method), target, 11};
    request.set(http::field::host, host);
    if (credentials != nullptr)
    {
        request.set(http::field::authorization, BasicAuthorization(*credentials));
    }
    if (!body.empty())
    {
        request.set(http::field::content_type, "application/json");
        request.body() = body;
    }
    for (const auto& [name, value] : headers)
    {
        if (value.empty())
        {
            request.erase(name);
        }
        else
        {
            request.set(name, value);
        }
    }
    request.prepare_payload();
    return request;
}
} // namespace reflib_test

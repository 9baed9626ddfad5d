#pragma once
// A small HTTP client for the tests (Boost.Beast), every exchange bounded by a time-out.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace reflib_test
{
struct CHttpResult
{
    bool connected = false;
    int status = 0;
    std::string body;
    std::string wwwAuthenticate;
    std::string retryAfter;
};

struct CCredentials
{
    std::string user;
    std::string password;
};

// Headers set after the client's own (Host "127.0.0.1", Content-Type application/json with a body); an
// empty value removes the header.
using CHeaders = std::vector<std::pair<std::string, std::string>>;

CHttpResult HttpRequest(std::uint16_t port, const std::string& method, const std::string& target,
                        const std::string& body = "", const CCredentials* credentials = nullptr,
                        const CHeaders& headers = {});
// The value of an Authorization header with the credentials (HTTP Basic).
std::string BasicAuthorization(const CCredentials& credentials);
// A port that was free a moment ago.
std::uint16_t FreePort();
} // namespace reflib_test

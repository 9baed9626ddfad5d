#include "reflib/TlsContext.h"

#include "reflib/FileStore.h"

#include <openssl/ssl.h>
#include <windows.h>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

namespace velmar::reflib
{
namespace
{
namespace ssl = boost::asio::ssl;

// The variable from the process environment (the host sets it there and in the C runtime's copy).
std::optional<std::wstring> EnvironmentValue(const wchar_t* name)
{
    std::wstring value(256, L'\0');
    for (;;)
    {
        SetLastError(ERROR_SUCCESS);
        const DWORD length = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
        if (length == 0)
        {
            if (GetLastError() == ERROR_ENVVAR_NOT_FOUND)
            {
                return std::nullopt;
            }
            return std::wstring();
        }
        if (length < value.size())
        {
            value.resize(length);
            return value;
        }
        value.resize(length); // the size asked for includes the terminating null
    }
}

// The PEM text of the file the variable names; `what` names it in the error.
std::string ReadNamedFile(const wchar_t* variable, const char* variableName, const char* what)
{
    const auto value = EnvironmentValue(variable);
    if (!value || value->empty())
    {
        throw std::runtime_error(std::string("no ") + what + " file: " + variableName + " is not set");
    }
    const std::filesystem::path path(*value);
    auto content = ReadWholeFile(path);
    if (!content)
    {
        throw std::runtime_error(std::string("the ") + what + " file \"" + PathToUtf8(path) +
                                 "\" cannot be read");
    }
    return std::move(*content);
}
} // namespace

std::unique_ptr<boost::asio::ssl::context> MakeServerTlsContext()
{
    // No configuration file is read: what the server accepts is decided here, not by a file someone
    // may have left on the computer.
    OPENSSL_init_ssl(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
    auto context = std::make_unique<ssl::context>(ssl::context::tls_server);
    context->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                         ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 | ssl::context::no_compression |
                         ssl::context::single_dh_use);
    if (SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_2_VERSION) != 1)
    {
        throw std::runtime_error("TLS 1.2 cannot be required");
    }
    context->set_password_callback([](std::size_t, ssl::context::password_purpose) { return std::string(); });

    const std::string certificate =
        ReadNamedFile(L"SSL_CERTIFICATE_PATH", "SSL_CERTIFICATE_PATH", "certificate");
    const std::string key = ReadNamedFile(L"SSL_PRIVATE_PATH", "SSL_PRIVATE_PATH", "private key");
    boost::system::error_code error;
    context->use_certificate_chain(boost::asio::buffer(certificate), error);
    if (error)
    {
        throw std::runtime_error("the certificate file holds no usable PEM certificate (" + error.message() +
                                 ")");
    }
    context->use_private_key(boost::asio::buffer(key), ssl::context::pem, error);
    if (error)
    {
        throw std::runtime_error("the private key file holds no usable PEM key for the certificate (" +
                                 error.message() + ")");
    }
    if (SSL_CTX_check_private_key(context->native_handle()) != 1)
    {
        throw std::runtime_error("the private key does not belong to the certificate");
    }
    return context;
}
} // namespace velmar::reflib

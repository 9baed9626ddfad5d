#include "reflib/WebServer.h"

#include "reflib/Base64.h"
#include "reflib/JsonRequest.h"
#include "reflib/LibraryLog.h"
#include "reflib/LibraryVersion.h"
#include "reflib/Process.h"
#include "reflib/RequestStatus.h"
#include "reflib/TlsContext.h"
#include "reflib/WebGuard.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <vector>

namespace velmar::reflib
{
namespace
{
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

constexpr int kIoThreads = 2;
constexpr std::uint64_t kMaxRequestBody = 64 * 1024;
constexpr auto kIdleTimeout = std::chrono::seconds(30);
// A TLS connection that does not finish its handshake or its closing in this time is dropped.
constexpr auto kTlsTimeout = std::chrono::seconds(10);
constexpr const char* kRealm = "Basic realm=\"ORVANE.CL\", charset=\"UTF-8\"";

using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;
using PlainStream = beast::tcp_stream;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;

std::string EscapeHtml(const std::string& text)
{
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text)
    {
        switch (c)
        {
        case '&':
            escaped += "&amp;";
            break;
        case '<':
            escaped += "&lt;";
            break;
        case '>':
            escaped += "&gt;";
            break;
        case '"':
            escaped += "&quot;";
            break;
        case '\'':
            escaped += "&#39;";
            break;
        default:
            escaped.push_back(c);
        }
    }
    return escaped;
}

std::string Decibels(float peak)
{
    if (!(peak > 0.0f))
    {
        return "-inf dBFS";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f dBFS", 20.0 * std::log10(static_cast<double>(peak)));
    return text;
}

std::string StatusPage(CProcess& process, const std::string& health)
{
    const auto snapshot = process.Snapshot();
    const auto settings = SettingsToJson(snapshot->settings);
    std::string page = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><meta http-equiv=\"refresh\" "
                       "content=\"2\"><title>ORVANE.CL</title></head><body>\n<h1>" +
                       EscapeHtml(snapshot->settings.processorName) + "</h1>\n<table>\n";
    for (const auto& [name, value] : settings.items())
    {
        page += "<tr><th>" + EscapeHtml(name) + "</th><td>" +
                EscapeHtml(value.is_string() ? value.get<std::string>() : value.dump()) + "</td></tr>\n";
    }
    const CPeakMeters& meters = process.Meters();
    page += "<tr><th>input peak</th><td>" + Decibels(meters.inputPeak.load()) + "</td></tr>\n";
    page += "<tr><th>output peak</th><td>" + Decibels(meters.outputPeak.load()) + "</td></tr>\n";
    page += "<tr><th>blocks</th><td>" + std::to_string(meters.blocks.load()) + "</td></tr>\n";
    page += "<tr><th>health</th><td>" + EscapeHtml(health) + "</td></tr>\n";
    page += "</table>\n<p>" + EscapeHtml(std::string(kProductName) + " " + kLibraryVersion) +
            "</p>\n</body></html>\n";
    return page;
}

std::string_view View(beast::string_view text)
{
    return {text.data(), text.size()};
}

// The credentials of an "Authorization: Basic ..." header.
bool ParseBasic(beast::string_view header, std::string& user, std::string& password)
{
    constexpr beast::string_view kScheme = "Basic ";
    if (header.size() <= kScheme.size() || !beast::iequals(header.substr(0, kScheme.size()), kScheme))
    {
        return false;
    }
    auto encoded = header.substr(kScheme.size());
    while (!encoded.empty() && encoded.front() == ' ')
    {
        encoded.remove_prefix(1);
    }
    const auto decoded = DecodeBase64(std::string_view(encoded.data(), encoded.size()));
    if (!decoded)
    {
        return false;
    }
    const auto colon = decoded->find(':');
    if (colon == std::string::npos)
    {
        return false;
    }
    user = decoded->substr(0, colon);
    password = decoded->substr(colon + 1);
    return true;
}
} // namespace

class CWebServer::CImpl
{
public:
    class CSessionBase;
    template <class Stream> class CSession;

    CImpl(const std::string& bindAddress, std::uint32_t httpPort, std::uint32_t httpsPort,
          std::weak_ptr<CProcess> process, VelmarHandle processHandle);
    ~CImpl() { Stop(1000); }

    void Stop(std::int32_t timeoutMs);
    void Handle(const Request& request, Response& response, const std::string& address,
                const std::string& peer, bool secure);
    void Accept(tcp::acceptor& acceptor, bool secure);
    void OnAccept(bool secure, beast::error_code error, tcp::socket socket);
    void RunThread();
    std::string Health() const
    {
        std::lock_guard lock(m_healthMutex);
        return m_health;
    }

    asio::io_context m_io{kIoThreads};
    tcp::acceptor m_acceptor;
    tcp::acceptor m_tlsAcceptor;
    std::unique_ptr<asio::ssl::context> m_tlsContext;
    const std::weak_ptr<CProcess> m_process;
    const VelmarHandle m_processHandle;
    std::uint16_t m_port = 0;
    std::uint16_t m_tlsPort = 0;
    std::atomic<std::int32_t> m_listening{0}; // the bits of Status()
    const std::vector<std::string> m_computerNames = LocalComputerNames();
    CLoginThrottle m_throttle;

    std::mutex m_stopMutex;
    std::mutex m_sessionsMutex;
    bool m_stopped = false; // under m_sessionsMutex
    std::vector<std::weak_ptr<CSessionBase>> m_sessions;

    mutable std::mutex m_healthMutex;
    std::string m_health;

    std::mutex m_exitMutex;
    std::condition_variable m_exitWake;
    int m_runningThreads = 0;
    std::vector<std::thread> m_threads;
};

class CWebServer::CImpl::CSessionBase
{
public:
    virtual ~CSessionBase() = default;
    // Ends the connection at once (the server stops).
    virtual void Close() = 0;
};

// One connection, over plain TCP or TLS: (handshake,) then requests and answers until either side ends.
template <class Stream>
class CWebServer::CImpl::CSession : public CSessionBase, public std::enable_shared_from_this<CSession<Stream>>
{
public:
    static constexpr bool kSecure = std::is_same_v<Stream, TlsStream>;

    template <class... Context>
    CSession(tcp::socket&& socket, CImpl& server, Context&... context)
        : m_stream(std::move(socket), context...), m_server(server)
    {
        beast::error_code error;
        const auto remote = Socket().remote_endpoint(error);
        m_address = error ? std::string("?") : remote.address().to_string();
        m_peer = error ? m_address : m_address + ":" + std::to_string(remote.port());
    }

    void Start()
    {
        asio::dispatch(m_stream.get_executor(),
                       [self = this->shared_from_this()]
                       {
                           if constexpr (kSecure)
                           {
                               self->Handshake();
                           }
                           else
                           {
                               self->Read();
                           }
                       });
    }

    void Close() override
    {
        asio::post(m_stream.get_executor(),
                   [self = this->shared_from_this()]
                   {
                       beast::error_code ignored;
                       self->Socket().shutdown(tcp::socket::shutdown_both, ignored);
                       self->Socket().close(ignored);
                   });
    }

private:
    tcp::socket& Socket() { return beast::get_lowest_layer(m_stream).socket(); }

    void Handshake()
    {
        beast::get_lowest_layer(m_stream).expires_after(kTlsTimeout);
        m_stream.async_handshake(asio::ssl::stream_base::server,
                                 [self = this->shared_from_this()](beast::error_code error)
                                 {
                                     if (error)
                                     {
                                         VELMAR_RLOG(Severity::Verb, "TLS handshake with "
                                                                         << self->m_peer
                                                                         << " failed: " << error.message());
                                         beast::error_code ignored;
                                         self->Socket().close(ignored);
                                         return;
                                     }
                                     self->Read();
                                 });
    }

    void Read()
    {
        m_parser.emplace();
        m_parser->body_limit(kMaxRequestBody);
        beast::get_lowest_layer(m_stream).expires_after(kIdleTimeout);
        http::async_read(m_stream, m_buffer, *m_parser,
                         beast::bind_front_handler(&CSession::OnRead, this->shared_from_this()));
    }

    // The orderly end of a connection: TLS says so first (close_notify), then the sending side closes.
    void Finish()
    {
        if constexpr (kSecure)
        {
            beast::get_lowest_layer(m_stream).expires_after(kTlsTimeout);
            m_stream.async_shutdown(
                [self = this->shared_from_this()](beast::error_code)
                {
                    beast::error_code ignored;
                    self->Socket().shutdown(tcp::socket::shutdown_send, ignored);
                    self->Socket().close(ignored);
                });
        }
        else
        {
            beast::error_code ignored;
            Socket().shutdown(tcp::socket::shutdown_send, ignored);
        }
    }

    void OnRead(beast::error_code error, std::size_t)
    {
        if (error)
        {
            if (error == http::error::end_of_stream)
            {
                Finish();
                return;
            }
            beast::error_code ignored;
            Socket().close(ignored);
            return;
        }
        const Request request = m_parser->release();
        m_response = std::make_shared<Response>();
        m_response->version(request.version());
        m_response->set(http::field::server, "velmar reference library");
        try
        {
            m_server.Handle(request, *m_response, m_address, m_peer, kSecure);
        }
        catch (const std::exception& failure)
        {
            VELMAR_RLOG(Severity::Error, "Web request failed: " << failure.what());
            m_response->result(http::status::internal_server_error);
            m_response->set(http::field::content_type, "text/plain");
            m_response->body() = "internal error\n";
        }
        m_response->keep_alive(request.keep_alive());
        m_response->prepare_payload();
        http::async_write(
            m_stream, *m_response,
            beast::bind_front_handler(&CSession::OnWrite, this->shared_from_this(), request.keep_alive()));
    }

    void OnWrite(bool keepAlive, beast::error_code error, std::size_t)
    {
        if (error)
        {
            beast::error_code ignored;
            Socket().close(ignored);
            return;
        }
        m_response.reset();
        if (!keepAlive)
        {
            Finish();
            return;
        }
        Read();
    }

    Stream m_stream;
    CImpl& m_server;
    std::string m_address;
    std::string m_peer;
    beast::flat_buffer m_buffer;
    std::optional<http::request_parser<http::string_body>> m_parser;
    std::shared_ptr<Response> m_response;
};

namespace
{
// Opens, binds and listens: another program cannot bind the same port beside us.
std::uint16_t Listen(tcp::acceptor& acceptor, const tcp::endpoint& endpoint)
{
    acceptor.open(endpoint.protocol());
#if defined(_WIN32)
    // Without this another program could bind the same port beside us (and steal our connections).
    BOOL exclusive = TRUE;
    ::setsockopt(acceptor.native_handle(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                 reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
#endif
    acceptor.bind(endpoint);
    acceptor.listen(asio::socket_base::max_listen_connections);
    return acceptor.local_endpoint().port();
}
} // namespace

CWebServer::CImpl::CImpl(const std::string& bindAddress, std::uint32_t httpPort, std::uint32_t httpsPort,
                         std::weak_ptr<CProcess> process, VelmarHandle processHandle)
    : m_acceptor(asio::make_strand(m_io)), m_tlsAcceptor(asio::make_strand(m_io)),
      m_process(std::move(process)), m_processHandle(processHandle)
{
    if (httpPort > 65535 || httpsPort > 65535)
    {
        throw std::invalid_argument("port out of range");
    }
    const auto address = asio::ip::make_address(bindAddress);
    if (httpsPort != 0)
    {
        // Without a usable certificate there is no HTTPS listener; HTTP goes on.
        try
        {
            m_tlsContext = MakeServerTlsContext();
        }
        catch (const std::exception& failure)
        {
            VELMAR_RLOG(Severity::Error,
                        "Web server cannot serve HTTPS on port " << httpsPort << ": " << failure.what());
        }
    }
    if (httpPort != 0)
    {
        m_port = Listen(m_acceptor, tcp::endpoint(address, static_cast<std::uint16_t>(httpPort)));
    }
    if (m_tlsContext)
    {
        m_tlsPort = Listen(m_tlsAcceptor, tcp::endpoint(address, static_cast<std::uint16_t>(httpsPort)));
    }
    if (m_port == 0 && m_tlsPort == 0)
    {
        return;
    }
    if (m_port != 0)
    {
        Accept(m_acceptor, false);
        VELMAR_RLOG(Severity::Info, "Web server listening on " << bindAddress << ":" << m_port);
    }
    if (m_tlsPort != 0)
    {
        Accept(m_tlsAcceptor, true);
        VELMAR_RLOG(Severity::Info,
                    "Web server listening on " << bindAddress << ":" << m_tlsPort << " (HTTPS)");
    }
    m_listening = (m_port != 0 ? 1 : 0) | (m_tlsPort != 0 ? 2 : 0);
    m_runningThreads = kIoThreads;
    for (int i = 0; i < kIoThreads; ++i)
    {
        m_threads.emplace_back([this] { RunThread(); });
    }
}

void CWebServer::CImpl::RunThread()
{
    for (;;)
    {
        try
        {
            m_io.run();
            break;
        }
        catch (const std::exception& failure)
        {
            VELMAR_RLOG(Severity::Error, "Web server thread: " << failure.what());
        }
    }
    {
        std::lock_guard lock(m_exitMutex);
        --m_runningThreads;
    }
    m_exitWake.notify_all();
}

void CWebServer::CImpl::Accept(tcp::acceptor& acceptor, bool secure)
{
    acceptor.async_accept(asio::make_strand(m_io), beast::bind_front_handler(&CImpl::OnAccept, this, secure));
}

void CWebServer::CImpl::OnAccept(bool secure, beast::error_code error, tcp::socket socket)
{
    tcp::acceptor& acceptor = secure ? m_tlsAcceptor : m_acceptor;
    if (!acceptor.is_open())
    {
        return;
    }
    if (error)
    {
        VELMAR_RLOG(Severity::Warn, "Web server accept failed: " << error.message());
    }
    else
    {
        std::shared_ptr<CSessionBase> session;
        std::function<void()> start;
        if (secure)
        {
            auto tls = std::make_shared<CSession<TlsStream>>(std::move(socket), *this, *m_tlsContext);
            start = [tls] { tls->Start(); };
            session = std::move(tls);
        }
        else
        {
            auto plain = std::make_shared<CSession<PlainStream>>(std::move(socket), *this);
            start = [plain] { plain->Start(); };
            session = std::move(plain);
        }
        std::lock_guard lock(m_sessionsMutex);
        if (m_stopped)
        {
            return;
        }
        std::erase_if(m_sessions, [](const std::weak_ptr<CSessionBase>& entry) { return entry.expired(); });
        m_sessions.push_back(session);
        start();
    }
    Accept(acceptor, secure);
}

void CWebServer::CImpl::Stop(std::int32_t timeoutMs)
{
    std::lock_guard stopLock(m_stopMutex);
    {
        std::lock_guard lock(m_sessionsMutex);
        if (m_stopped)
        {
            return;
        }
        m_stopped = true;
        m_listening = 0;
        for (const auto& entry : m_sessions)
        {
            if (const auto session = entry.lock())
            {
                session->Close();
            }
        }
        m_sessions.clear();
    }
    for (tcp::acceptor* acceptor : {&m_acceptor, &m_tlsAcceptor})
    {
        asio::post(acceptor->get_executor(),
                   [acceptor]
                   {
                       beast::error_code ignored;
                       acceptor->close(ignored);
                   });
    }
    {
        std::unique_lock lock(m_exitMutex);
        m_exitWake.wait_for(lock, std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0),
                            [this] { return m_runningThreads == 0; });
    }
    m_io.stop();
    for (auto& thread : m_threads)
    {
        if (thread.joinable())
        {
            thread.join();
        }
    }
    if (m_port != 0)
    {
        VELMAR_RLOG(Severity::Info, "Web server on port " << m_port << " stopped");
    }
    if (m_tlsPort != 0)
    {
        VELMAR_RLOG(Severity::Info, "Web server on port " << m_tlsPort << " (HTTPS) stopped");
    }
}

void CWebServer::CImpl::Handle(const Request& request, Response& response, const std::string& address,
                               const std::string& peer, bool secure)
{
    const auto answer = [&](http::status status, const char* type, std::string body)
    {
        response.result(status);
        response.set(http::field::content_type, type);
        response.set(http::field::cache_control, "no-store");
        response.body() = std::move(body);
    };
    const auto challenge = [&](std::string body, const char* type)
    {
        answer(http::status::unauthorized, type, std::move(body));
        response.set(http::field::www_authenticate, kRealm);
    };
    const std::string target(request.target());
    VELMAR_RLOG(Severity::Verb, (secure ? "HTTPS " : "HTTP ")
                                    << request.method_string() << " " << target << " from " << peer);

    // A page of another site may send requests here, but not as this server's own page.
    const auto host = View(request[http::field::host]);
    const auto origin = request.find(http::field::origin);
    if (origin != request.end() && !IsSameOrigin(View(origin->value()), host, secure))
    {
        answer(http::status::forbidden, "text/plain", "cross-origin request refused\n");
        return;
    }

    const auto process = m_process.lock();
    if (!process)
    {
        answer(http::status::service_unavailable, "text/plain", "no process\n");
        return;
    }
    // Without an account there is nothing to log in to: credentials are ignored (a browser may still
    // send those of an earlier account).
    const auto header = request.find(http::field::authorization);
    const bool hasCredentials = header != request.end() && process->Auth().HasAccount();
    Access access = Access::None;
    if (hasCredentials)
    {
        const auto now = CLoginThrottle::Clock::now();
        const auto wait = m_throttle.Wait(address, now);
        if (wait > CLoginThrottle::Clock::duration::zero())
        {
            const auto seconds = std::chrono::ceil<std::chrono::seconds>(wait).count();
            answer(http::status::too_many_requests, "text/plain",
                   "too many failed logins, try again later\n");
            response.set(http::field::retry_after, std::to_string(seconds));
            return;
        }
        std::string user;
        std::string password;
        if (ParseBasic(header->value(), user, password))
        {
            access = process->Auth().Authenticate(user, password);
        }
        if (access == Access::None)
        {
            m_throttle.Failed(address, now);
            VELMAR_RLOG(Severity::Warn, "Web login refused for \"" << user << "\" from " << peer);
            challenge("authentication required\n", "text/plain");
            return;
        }
        m_throttle.Succeeded(address);
    }
    else
    {
        // Without credentials only a name of this computer will do: a name of another site that resolves
        // here (DNS rebinding) gets nothing.
        if (!IsLocalHost(host, m_computerNames))
        {
            answer(http::status::misdirected_request, "text/plain", "unknown host name\n");
            return;
        }
        access = process->Auth().Unlogged();
        if (access == Access::None)
        {
            challenge("authentication required\n", "text/plain");
            return;
        }
    }

    if (target == "/" || target == "/index.html")
    {
        if (request.method() != http::verb::get && request.method() != http::verb::head)
        {
            answer(http::status::method_not_allowed, "text/plain", "use GET\n");
            return;
        }
        answer(http::status::ok, "text/html; charset=utf-8", StatusPage(*process, Health()));
        return;
    }
    if (target == "/status")
    {
        if (request.method() != http::verb::get)
        {
            answer(http::status::method_not_allowed, "text/plain", "use GET\n");
            return;
        }
        answer(http::status::ok, "application/json", DescribeProcess(*process));
        return;
    }
    if (target == "/json")
    {
        if (request.method() != http::verb::post)
        {
            answer(http::status::method_not_allowed, "text/plain", "use POST\n");
            return;
        }
        // Other sites' pages can post forms and plain text without asking, but not JSON.
        if (!IsJsonContentType(View(request[http::field::content_type])))
        {
            answer(http::status::unsupported_media_type, "text/plain", "send application/json\n");
            return;
        }
        const CJsonAnswer result = HandleJsonRequest(*process, request.body(), access);
        if (result.status == kStatusForbidden && !hasCredentials)
        {
            // An unlogged caller may look; a change needs the account.
            challenge(result.text, "application/json");
            return;
        }
        const http::status status =
            result.status == kStatusOk          ? http::status::ok
            : result.status == kStatusForbidden ? http::status::forbidden
            : result.status == kStatusInternalError || result.status == kStatusStorageFailed
                ? http::status::internal_server_error
                : http::status::bad_request;
        answer(status, "application/json", result.text);
        return;
    }
    answer(http::status::not_found, "text/plain", "not found\n");
}

CWebServer::CWebServer(const std::string& bindAddress, std::uint32_t httpPort, std::uint32_t httpsPort,
                       std::weak_ptr<CProcess> process, VelmarHandle processHandle)
    : m_impl(std::make_unique<CImpl>(bindAddress, httpPort, httpsPort, std::move(process), processHandle))
{
}

CWebServer::~CWebServer() = default;

void CWebServer::Stop(std::int32_t timeoutMs)
{
    m_impl->Stop(timeoutMs);
}

std::int32_t CWebServer::Status() const
{
    return m_impl->m_listening.load();
}

VelmarHandle CWebServer::ProcessHandle() const
{
    return m_impl->m_processHandle;
}

std::uint16_t CWebServer::Port() const
{
    return m_impl->m_port;
}

void CWebServer::SetAppHealth(const std::string& health)
{
    std::lock_guard lock(m_impl->m_healthMutex);
    m_impl->m_health = health;
}

std::string CWebServer::AppHealth() const
{
    return m_impl->Health();
}
} // namespace velmar::reflib

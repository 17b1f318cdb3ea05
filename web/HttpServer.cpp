// The HTTP(S) service on Boost.Beast: one network thread, every connection a chain of
// asynchronous steps, each step under a deadline that counts from the start of its phase.
// This is the only file that builds the library's sockets and TLS (slow to compile).
#include "web/HttpServer.h"

#include <openssl/ssl.h>

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/core/detect_ssl.hpp>
#include <boost/beast/ssl.hpp>
#include <cstring>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_set>

#include "web/HttpExchange.h"

namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

// Waiting phases may be dropped to make room; a request under way or a stream may not.
enum class Phase { Handshake, Header, Body, Handling, Writing, Streaming };

bool Waiting(Phase phase) {
    return phase == Phase::Handshake || phase == Phase::Header;
}

// The way from a stream's source (any thread) to the network thread; cut when the service
// stops, so a source that outlives the service never posts into a dead event loop.
struct WakePost {
    std::mutex lock;
    net::io_context* context = nullptr;
};

class ConnectionBase;

// Every open connection, on the network thread only; the count is read from anywhere.
struct Registry {
    std::unordered_set<ConnectionBase*> open;
    std::atomic<std::size_t> count{0};
};

class ConnectionBase {
public:
    explicit ConnectionBase(Registry& registry) : registry_(registry) {
        registry_.open.insert(this);
        registry_.count = registry_.open.size();
    }
    virtual ~ConnectionBase() { Forget(); }
    ConnectionBase(const ConnectionBase&) = delete;
    ConnectionBase& operator=(const ConnectionBase&) = delete;

    Phase phase() const { return phase_; }
    Clock::time_point phaseStart() const { return phaseStart_; }
    virtual void Close() = 0;
    virtual void EndStream() = 0;

protected:
    void Enter(Phase phase) {
        phase_ = phase;
        phaseStart_ = Clock::now();
    }
    // Only on the network thread, or once that thread is gone; a connection is forgotten by
    // Close before its last owner can be a worker thread.
    void Forget() {
        if (forgotten_) return;
        forgotten_ = true;
        registry_.open.erase(this);
        registry_.count = registry_.open.size();
    }

private:
    Registry& registry_;
    Phase phase_ = Phase::Handshake;
    Clock::time_point phaseStart_ = Clock::now();
    bool forgotten_ = false;
};

struct Shared {
    WebLimits limits;
    std::shared_ptr<IWebHandler> handler;
    net::thread_pool* workers = nullptr;
    std::shared_ptr<WakePost> wakePost;
    Registry registry;
};

const char* const PlainOnTlsAnswer =
    "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain; charset=utf-8\r\n"
    "Connection: close\r\nContent-Length: 52\r\n\r\n"
    "This port speaks HTTPS: open it with https:// instead\n";

template <class Stream>
class Connection : public ConnectionBase, public std::enable_shared_from_this<Connection<Stream>> {
public:
    template <class... Args>
    Connection(Shared& shared, std::string peer, Args&&... args)
        : ConnectionBase(shared.registry),
          shared_(shared),
          peer_(std::move(peer)),
          stream_(std::forward<Args>(args)...),
          heartbeat_(stream_.get_executor()) {}

    void Run() {
        Enter(Phase::Handshake);
        Lowest().expires_after(shared_.limits.handshakeTime);
        if constexpr (IsTls) {
            beast::async_detect_ssl(
                Lowest(), buffer_,
                [self = this->shared_from_this()](beast::error_code ec, bool tls) {
                    self->OnDetected(ec, tls);
                });
        } else {
            ReadHeader();
        }
    }

    void Close() override {
        if (closed_) return;
        closed_ = true;
        Forget();
        heartbeat_.cancel();
        beast::error_code ignored;
        Lowest().socket().shutdown(tcp::socket::shutdown_both, ignored);
        Lowest().close();
    }

    void EndStream() override { stream_source_.reset(); }

private:
    static constexpr bool IsTls = !std::is_same_v<Stream, beast::tcp_stream>;

    beast::tcp_stream& Lowest() { return beast::get_lowest_layer(stream_); }

    void OnDetected(beast::error_code ec, bool tls) {
        if (ec || closed_) return Close();
        if (!tls) return WriteRaw(PlainOnTlsAnswer);
        if constexpr (IsTls) {
            stream_.async_handshake(
                ssl::stream_base::server, buffer_.data(),
                [self = this->shared_from_this()](beast::error_code e, std::size_t used) {
                    self->OnHandshake(e, used);
                });
        }
    }

    void OnHandshake(beast::error_code ec, std::size_t used) {
        if (ec || closed_) return Close();
        buffer_.consume(used);
        ReadHeader();
    }

    // A client that speaks plain HTTP to the TLS port gets a readable answer, not a TLS alert.
    void WriteRaw(const char* text) {
        Enter(Phase::Writing);
        Lowest().expires_after(shared_.limits.writeTime);
        net::async_write(
            Lowest().socket(), net::buffer(text, std::strlen(text)),
            [self = this->shared_from_this()](beast::error_code, std::size_t) { self->Close(); });
    }

    void ReadHeader() {
        if (closed_) return;
        Enter(Phase::Header);
        parser_.emplace();
        webhttp::ApplyLimits(*parser_, shared_.limits);
        Lowest().expires_after(shared_.limits.headerTime);
        http::async_read_header(stream_, buffer_, *parser_,
                                [self = this->shared_from_this()](
                                    beast::error_code ec, std::size_t) { self->OnHeader(ec); });
    }

    void OnHeader(beast::error_code ec) {
        if (ec || closed_) return OnReadError(ec);
        if (parser_->is_done()) return Handle();
        Enter(Phase::Body);
        Lowest().expires_after(shared_.limits.bodyTime);
        http::async_read(stream_, buffer_, *parser_,
                         [self = this->shared_from_this()](beast::error_code e, std::size_t) {
                             if (e || self->closed_) return self->OnReadError(e);
                             self->Handle();
                         });
    }

    void OnReadError(beast::error_code ec) {
        const int status = closed_ ? 0 : webhttp::StatusForReadError(ec);
        if (status == 0) return Close();
        const char* reason = status == 431   ? "Request header too large"
                             : status == 413 ? "Request body too large"
                                             : "Bad request";
        Write(webhttp::ToHttpResponse(TextResponse(status, reason), 11, false));
    }

    void Handle() {
        Enter(Phase::Handling);
        Lowest().expires_never();
        auto request = std::make_shared<webhttp::Request>(parser_->release());
        WebRequest web = webhttp::ToWebRequest(*request, peer_);
        if (shared_.handler->Quick(web)) {
            return OnHandled(*request, webhttp::Dispatch(*shared_.handler, web));
        }
        // The worker hands its share of the connection back with the answer, so the last
        // owner is always the network thread.
        net::post(*shared_.workers, [self = this->shared_from_this(), request,
                                     web = std::move(web)]() mutable {
            WebResponse response = webhttp::Dispatch(*self->shared_.handler, web);
            auto executor = self->stream_.get_executor();
            net::post(executor, [self = std::move(self), request = std::move(request),
                                 response = std::move(response)]() mutable {
                self->OnHandled(*request, std::move(response));
            });
        });
    }

    void OnHandled(const webhttp::Request& request, WebResponse response) {
        if (closed_) return;
        if (response.stream && request.method() != http::verb::head)
            return StartStream(request, std::move(response));
        Write(webhttp::AnswerTo(request, std::move(response)));
    }

    void Write(webhttp::Response response) {
        Enter(Phase::Writing);
        Lowest().expires_after(shared_.limits.writeTime);
        auto message = std::make_shared<webhttp::Response>(std::move(response));
        http::async_write(
            stream_, *message,
            [self = this->shared_from_this(), message](beast::error_code ec, std::size_t) {
                if (ec || !message->keep_alive()) return self->Close();
                self->ReadHeader();
            });
    }

    // --- Streams (Server-Sent Events): a chunked body that ends when the source does or the
    // client goes away; a comment line on a quiet stream finds a vanished client.

    void StartStream(const webhttp::Request& request, WebResponse response) {
        Enter(Phase::Streaming);
        stream_source_ = std::move(response.stream);
        response.body.clear();
        auto head = std::make_shared<http::response<http::empty_body>>(
            static_cast<http::status>(response.status), request.version());
        for (auto& [name, value] : response.headers) head->insert(name, value);
        head->set(http::field::cache_control, "no-store");
        head->chunked(true);
        auto serializer = std::make_shared<http::response_serializer<http::empty_body>>(*head);
        Lowest().expires_after(shared_.limits.writeTime);
        http::async_write_header(
            stream_, *serializer,
            [self = this->shared_from_this(), head, serializer](beast::error_code ec, std::size_t) {
                if (ec) return self->Close();
                self->OnStreamOpen();
            });
    }

    void OnStreamOpen() {
        if (closed_ || !stream_source_) return Close();
        // A read keeps the expiry it started under: the header's write limit would end the
        // stream that long after it opened.
        Lowest().expires_never();
        WatchForHangUp();
        std::weak_ptr<Connection> weak = this->shared_from_this();
        std::shared_ptr<WakePost> post = shared_.wakePost;
        stream_source_->Start([weak, post] {
            std::lock_guard guard(post->lock);
            if (post->context == nullptr) return;
            net::post(*post->context, [weak] {
                if (auto self = weak.lock()) self->Pump();
            });
        });
        ArmHeartbeat();
        Pump();
    }

    // Nothing is expected from the client while it listens; a read that ends means it left.
    void WatchForHangUp() {
        stream_.async_read_some(net::buffer(sink_), [self = this->shared_from_this()](
                                                        beast::error_code ec, std::size_t) {
            if (ec) return self->Close();
            self->WatchForHangUp();
        });
    }

    void ArmHeartbeat() {
        heartbeat_.expires_after(shared_.limits.streamHeartbeat);
        heartbeat_.async_wait([self = this->shared_from_this()](beast::error_code ec) {
            if (ec || self->closed_) return;
            if (!self->writing_) self->WriteChunk(": keep-alive\n\n", false);
            self->ArmHeartbeat();
        });
    }

    void Pump() {
        if (closed_ || writing_ || !stream_source_) return;
        bool finished = false;
        std::string text = stream_source_->Take(&finished);
        if (!text.empty() || finished) WriteChunk(std::move(text), finished);
    }

    void WriteChunk(std::string text, bool last) {
        writing_ = true;
        Lowest().expires_after(shared_.limits.writeTime);
        auto body = std::make_shared<std::string>(std::move(text));
        auto done = [self = this->shared_from_this(), body, last](beast::error_code ec,
                                                                  std::size_t) {
            self->writing_ = false;
            if (ec || last) return self->Close();
            self->Lowest().expires_never();
            self->Pump();
        };
        if (body->empty())
            net::async_write(stream_, http::make_chunk_last(), std::move(done));
        else if (last)
            net::async_write(stream_, http::make_chunk(net::buffer(*body)),
                             [self = this->shared_from_this(), body, done](beast::error_code ec,
                                                                           std::size_t n) mutable {
                                 if (ec) return done(ec, n);
                                 net::async_write(self->stream_, http::make_chunk_last(),
                                                  std::move(done));
                             });
        else
            net::async_write(stream_, http::make_chunk(net::buffer(*body)), std::move(done));
    }

    Shared& shared_;
    std::string peer_;
    Stream stream_;
    beast::flat_buffer buffer_;
    std::optional<webhttp::Parser> parser_;
    std::shared_ptr<IWebStream> stream_source_;
    net::steady_timer heartbeat_;
    char sink_[512];
    bool writing_ = false;
    bool closed_ = false;
};

using PlainConnection = Connection<beast::tcp_stream>;
using TlsConnection = Connection<beast::ssl_stream<beast::tcp_stream>>;

}  // namespace

struct HttpServer::Impl {
    HttpServerConfig config;
    net::io_context context{1};
    std::optional<ssl::context> tls;
    tcp::acceptor acceptor{context};
    net::steady_timer retry{context};
    std::optional<net::thread_pool> workers;
    Shared shared;
    std::thread thread;
    unsigned short port = 0;

    bool Listen(std::string* error);
    bool LoadTls(std::string* error);
    void Accept();
    void OnAccepted(beast::error_code ec, tcp::socket socket);
    bool MakeRoom();
};

namespace {

std::string Reason(const std::string& what, const beast::error_code& ec) {
    return what + ": " + ec.message();
}

}  // namespace

bool HttpServer::Impl::LoadTls(std::string* error) {
    tls.emplace(ssl::context::tls_server);
    // Older versions than TLS 1.2 have known weaknesses; a client that offers only them is
    // refused in the handshake.
    SSL_CTX_set_min_proto_version(tls->native_handle(), TLS1_2_VERSION);
    tls->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                     ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 |
                     ssl::context::single_dh_use);
    beast::error_code ec;
    tls->use_certificate_chain_file(config.certFile, ec);
    if (ec) {
        *error = Reason("the certificate \"" + config.certFile + "\" cannot be used", ec);
        return false;
    }
    tls->use_private_key_file(config.keyFile, ssl::context::pem, ec);
    if (ec) {
        *error = Reason("the key \"" + config.keyFile + "\" cannot be used", ec);
        return false;
    }
    return true;
}

bool HttpServer::Impl::Listen(std::string* error) {
    beast::error_code ec;
    const auto address = net::ip::make_address(config.address, ec);
    if (ec) {
        *error = "\"" + config.address + "\" is not an address to listen on";
        return false;
    }
    const tcp::endpoint endpoint{address, config.port};
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) acceptor.set_option(net::socket_base::reuse_address(true), ec);
    if (!ec) acceptor.bind(endpoint, ec);
    if (!ec) acceptor.listen(net::socket_base::max_listen_connections, ec);
    if (ec) {
        *error = Reason(
            "cannot listen on " + config.address + " port " + std::to_string(config.port), ec);
        return false;
    }
    port = acceptor.local_endpoint().port();
    return true;
}

void HttpServer::Impl::Accept() {
    acceptor.async_accept(
        net::make_strand(context),
        [this](beast::error_code ec, tcp::socket socket) { OnAccepted(ec, std::move(socket)); });
}

// The connection that has waited longest for a handshake or a request goes; it is the one
// most likely to be holding a place without using it.
bool HttpServer::Impl::MakeRoom() {
    ConnectionBase* oldest = nullptr;
    for (ConnectionBase* c : shared.registry.open)
        if (Waiting(c->phase()) && (!oldest || c->phaseStart() < oldest->phaseStart())) oldest = c;
    if (!oldest) return false;
    oldest->Close();
    return true;
}

void HttpServer::Impl::OnAccepted(beast::error_code ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted) return;
    if (ec) {
        // Out of descriptors, most likely: wait a moment instead of spinning on the error.
        retry.expires_after(std::chrono::milliseconds(100));
        retry.async_wait([this](beast::error_code e) {
            if (!e) Accept();
        });
        return;
    }
    if (shared.registry.count >= config.limits.maxConnections && !MakeRoom()) {
        socket.close(ec);
        return Accept();
    }
    socket.set_option(tcp::no_delay(true), ec);
    std::string peer = socket.remote_endpoint(ec).address().to_string();
    if (tls)
        std::make_shared<TlsConnection>(shared, std::move(peer), std::move(socket), *tls)->Run();
    else
        std::make_shared<PlainConnection>(shared, std::move(peer), std::move(socket))->Run();
    Accept();
}

HttpServer::HttpServer(HttpServerConfig config, std::shared_ptr<IWebHandler> handler)
    : impl_(std::make_unique<Impl>()) {
    impl_->config = std::move(config);
    impl_->shared.limits = impl_->config.limits;
    impl_->shared.handler = std::move(handler);
    impl_->shared.wakePost = std::make_shared<WakePost>();
}

HttpServer::~HttpServer() {
    Stop();
}

bool HttpServer::Start(std::string* error) {
    std::string ignored;
    if (!error) error = &ignored;
    if (impl_->thread.joinable()) return true;
    if (impl_->config.tls && !impl_->LoadTls(error)) return false;
    if (!impl_->Listen(error)) return false;
    impl_->workers.emplace(std::max(1, impl_->config.limits.workerThreads));
    impl_->shared.workers = &*impl_->workers;
    {
        std::lock_guard guard(impl_->shared.wakePost->lock);
        impl_->shared.wakePost->context = &impl_->context;
    }
    impl_->Accept();
    impl_->thread = std::thread([this] { impl_->context.run(); });
    return true;
}

void HttpServer::Stop() {
    if (!impl_->thread.joinable()) return;
    {
        std::lock_guard guard(impl_->shared.wakePost->lock);
        impl_->shared.wakePost->context = nullptr;
    }
    std::promise<void> closed;
    net::post(impl_->context, [impl = impl_.get(), &closed] {
        beast::error_code ignored;
        impl->acceptor.close(ignored);
        impl->retry.cancel();
        auto open = impl->shared.registry.open;
        for (ConnectionBase* c : open) {
            c->EndStream();
            c->Close();
        }
        closed.set_value();
    });
    closed.get_future().wait();
    impl_->workers->join();
    impl_->context.stop();
    impl_->thread.join();
    // What is left are the closed connections' last steps; run them here so no connection
    // outlives the registry and the TLS context it points to.
    impl_->context.restart();
    while (impl_->context.poll() > 0) {
    }
}

unsigned short HttpServer::Port() const {
    return impl_->port;
}

std::size_t HttpServer::ConnectionCount() const {
    return impl_->shared.registry.count;
}

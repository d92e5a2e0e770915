#include "support/LoopbackServer.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>

#include "Sablon/SockIo.h"

namespace corvio_test {
namespace {

namespace sock_io = Halvex::Sablon::sock_io;

using Clock = std::chrono::steady_clock;
const int kSliceMs = 20;
const uint64_t kPeriod = 65521;

// Two periods back to back: any offset copies in one piece of up to a period.
const std::string& pattern_table() {
    static const std::string table = [] {
        std::string t(2 * kPeriod, '\0');
        for (uint64_t i = 0; i < kPeriod; ++i)
            t[i] = t[i + kPeriod] =
                static_cast<char>((static_cast<uint32_t>(i) * 2654435761u) >> 24);
        return t;
    }();
    return table;
}

std::string ssl_error_text() {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    char buf[256] = "unknown TLS error";
    if (code != 0)
        ERR_error_string_n(code, buf, sizeof(buf));
    return buf;
}

// The port sits at the same place in both address kinds.
socklen_t loopback(int family, unsigned short port, sockaddr_storage* ss) {
    memset(ss, 0, sizeof(*ss));
    reinterpret_cast<sockaddr_in*>(ss)->sin_port = htons(port);
    if (family == 6) {
        reinterpret_cast<sockaddr_in6*>(ss)->sin6_family = AF_INET6;
        reinterpret_cast<sockaddr_in6*>(ss)->sin6_addr = in6addr_loopback;
        return sizeof(sockaddr_in6);
    }
    reinterpret_cast<sockaddr_in*>(ss)->sin_family = AF_INET;
    reinterpret_cast<sockaddr_in*>(ss)->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sizeof(sockaddr_in);
}

}  // namespace

struct LoopbackServer::Conn {
    LoopbackServer* server;
    size_t index;
    int fd;
    SSL* ssl = nullptr;
    std::string in;          // everything received
    size_t cursor = 0;       // bytes of `in` consumed by earlier steps
    BIO* trickle = nullptr;  // Options::trickle_bytes: what TLS writes, sent from here
    size_t trickled = 0;
    bool eof = false;
    std::string error;

    bool fail(const std::string& why) {
        if (error.empty())
            error = why;
        return false;
    }
    bool stopped() const { return server->m_stop.load(); }

    bool wait(short events) {
        const auto end = Clock::now() + std::chrono::milliseconds(server->m_options.io_timeout_ms);
        for (;;) {
            if (stopped())
                return fail("server stopped");
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            if (left <= 0)
                return fail("time-out waiting for the client");
            const int n = sock_io::poll_one(
                fd, events, static_cast<int>(std::min<long long>(left, kSliceMs)), nullptr);
            if (n != 0)
                return n > 0 || fail("poll: " + sock_io::error_string(sock_io::last_error()));
        }
    }

    bool handshake() {
        if (!server->m_ctx || ssl)
            return true;
        ssl = SSL_new(static_cast<SSL_CTX*>(server->m_ctx));
        if (!ssl || SSL_set_fd(ssl, fd) != 1)
            return fail("TLS set-up: " + ssl_error_text());
        if (server->m_options.trickle_bytes > 0) {
            const int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
                       sizeof(one));
            trickle = BIO_new(BIO_s_mem());
            SSL_set0_wbio(ssl, trickle);
        }
        SSL_set_app_data(ssl, this);
        for (int rc; ERR_clear_error(), (rc = SSL_accept(ssl)), flush(), rc != 1;) {
            const int err = SSL_get_error(ssl, rc);
            if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE)
                return fail("TLS hand-shake: " + ssl_error_text());
            if (!wait(err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT))
                return false;
        }
        std::string cn;
        if (X509* peer = SSL_get1_peer_certificate(ssl)) {
            char text[256] = "";
            X509_NAME_get_text_by_NID(X509_get_subject_name(peer), NID_commonName, text,
                                      sizeof(text));
            cn = text;
            X509_free(peer);
        }
        server->update(index, [&](ConnectionLog& log) {
            log.handshake_done = true;
            log.client_cn = cn;
        });
        return true;
    }

    // One read or write: the bytes moved; 0 at the end of stream (a failed
    // read counts as one, error set); -1 to wait for *want; -2 a failed write.
    long io(bool writing, char* buf, size_t len, short* want) {
        *want = writing ? POLLOUT : POLLIN;
        if (ssl == nullptr) {
            const long n = static_cast<long>(writing ? sock_io::send_some(fd, buf, len)
                                                     : sock_io::recv_some(fd, buf, len));
            if (n >= 0 || sock_io::would_block(sock_io::last_error()))
                return n < 0 ? -1 : n;
            fail((writing ? "send: " : "recv: ") + sock_io::error_string(sock_io::last_error()));
            return writing ? -2 : 0;
        }
        ERR_clear_error();
        const int rc = writing ? SSL_write(ssl, buf, static_cast<int>(len))
                               : SSL_read(ssl, buf, static_cast<int>(len));
        flush();
        if (rc > 0)
            return rc;
        const int err = SSL_get_error(ssl, rc);
        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
            *want = err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
            return -1;
        }
        if (writing)
            return fail("TLS write: " + ssl_error_text()), -2;
        // An end of stream without close_notify counts as an end too: the
        // client may simply close.
        const std::string why = err == SSL_ERROR_ZERO_RETURN ? "" : ssl_error_text();
        if (!why.empty() && why.find("unexpected eof") == std::string::npos &&
            err != SSL_ERROR_SYSCALL)
            fail("TLS read: " + why);
        return 0;
    }

    bool record(const char* buf, long n) {
        if (n > 0)
            in.append(buf, static_cast<size_t>(n));
        else
            eof = true;
        server->update(index, [&](ConnectionLog& log) {
            log.received.append(buf, static_cast<size_t>(std::max(n, 0L)));
            log.peer_closed = log.peer_closed || n == 0;
        });
        return n > 0;
    }

    bool read_some() {
        if (!handshake())
            return false;
        char buf[65536];
        for (short want;;) {
            const long n = io(false, buf, sizeof(buf), &want);
            if (n >= 0)
                return record(buf, n);
            if (!wait(want))
                return false;
        }
    }

    bool write_all(const char* data, size_t len) {
        if (!handshake())
            return false;
        for (size_t done = 0; done < len;) {
            short want;
            const long n = io(true, const_cast<char*>(data) + done,
                              std::min<size_t>(len - done, 65536), &want);
            if (n == -2 || (n <= 0 && !wait(want)))
                return false;
            done += static_cast<size_t>(std::max(n, 0L));
        }
        return true;
    }

    // Options::trickle_bytes: later bytes are dropped (the connection stays).
    void flush() {
        for (char c; trickle && BIO_read(trickle, &c, 1) == 1;) {
            if (trickled++ < server->m_options.trickle_bytes && sock_io::send_some(fd, &c, 1) != 1)
                (void)(wait(POLLOUT) && sock_io::send_some(fd, &c, 1));
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }

    bool sleep(int ms) {
        for (const auto end = Clock::now() + std::chrono::milliseconds(ms); Clock::now() < end;
             std::this_thread::sleep_for(std::chrono::milliseconds(2)))
            if (stopped())
                return false;
        return true;
    }

    void close_gracefully() {
        if (ssl && !eof)
            SSL_shutdown(ssl), flush();
        ::shutdown(fd, sock_io::kShutWrite);
        const std::string kept = error;
        const auto end = Clock::now() + std::chrono::milliseconds(server->m_options.linger_ms);
        char buf[65536];
        for (short want; !eof && !stopped() && Clock::now() < end;) {
            if (sock_io::poll_one(fd, POLLIN, kSliceMs, nullptr) > 0) {
                const long n = io(false, buf, sizeof(buf), &want);
                if (n >= 0)
                    record(buf, n);
            }
        }
        error = kept;
        ERR_clear_error();
    }

    // Called while the ClientHello is read: known even if the hand-shake fails.
    static int on_server_name(SSL* ssl, int*, void*) {
        Conn* self = static_cast<Conn*>(SSL_get_app_data(ssl));
        const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
        if (self && name)
            self->server->update(self->index, [&](ConnectionLog& log) { log.sni = name; });
        return SSL_TLSEXT_ERR_OK;
    }

    bool run(const Step& step) {
        switch (step.kind) {
            case Step::HANDSHAKE:
                return handshake();
            case Step::READ_UNTIL:
                for (size_t at; (at = in.find(step.bytes, cursor)) == std::string::npos;) {
                    if (!read_some())
                        return fail("client closed before the awaited bytes");
                }
                cursor = in.find(step.bytes, cursor) + step.bytes.size();
                return true;
            case Step::READ_COUNT:
                while (in.size() - cursor < step.count) {
                    if (!read_some())
                        return fail("client closed before the awaited count");
                }
                cursor += step.count;
                return true;
            case Step::READ_TO_EOF:
                while (read_some()) {
                }
                cursor = in.size();
                return eof && error.empty();
            case Step::SEND:
                return write_all(step.bytes.data(), step.bytes.size());
            case Step::SEND_PATTERN:
                for (uint64_t sent = 0, piece; sent < step.count; sent += piece) {
                    piece = std::min(step.count - sent, kPeriod);
                    if (!write_all(pattern_table().data() + (step.offset + sent) % kPeriod, piece))
                        return false;
                }
                return true;
            case Step::SLEEP:
            case Step::SILENT:
                return sleep(step.ms);
            case Step::CLOSE:
                close_gracefully();
                return false;
            case Step::RESET: {
                linger l{1, 0};
                setsockopt(fd, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof(l));
                return false;
            }
        }
        return false;
    }
};

LoopbackServer::LoopbackServer(const Options& options, std::vector<Script> scripts)
    : m_options(options), m_scripts(std::move(scripts)), m_family(options.family) {
    // OpenSSL's socket BIO writes with write(2): a client that resets would
    // raise SIGPIPE in the test process, which the tests' own process ignores.
#ifdef SIGPIPE
    static const auto sigpipe_ignored = signal(SIGPIPE, SIG_IGN);
    (void)sigpipe_ignored;
#endif
    if (m_options.tls) {
        SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
        m_ctx = ctx;
        const char* ca = m_options.client_ca_file.c_str();
        STACK_OF(X509_NAME)* names = nullptr;
        if (!ctx || SSL_CTX_use_certificate_chain_file(ctx, m_options.cert_file.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(ctx, m_options.key_file.c_str(), SSL_FILETYPE_PEM) != 1 ||
            SSL_CTX_check_private_key(ctx) != 1 ||
            (!m_options.ciphers.empty() &&
             SSL_CTX_set_cipher_list(ctx, m_options.ciphers.c_str()) != 1) ||
            (!m_options.ciphersuites.empty() &&
             SSL_CTX_set_ciphersuites(ctx, m_options.ciphersuites.c_str()) != 1) ||
            (*ca && (!(names = SSL_load_client_CA_file(ca)) ||
                     SSL_CTX_load_verify_locations(ctx, ca, nullptr) != 1))) {
            sk_X509_NAME_pop_free(names, X509_NAME_free);
            m_error = "TLS set-up: " + ssl_error_text();
            return;
        }
        SSL_CTX_set_tlsext_servername_callback(ctx, &Conn::on_server_name);
        if (m_options.max_tls_version)
            SSL_CTX_set_max_proto_version(ctx, m_options.max_tls_version);
        if (names) {
            SSL_CTX_set_client_CA_list(ctx, names);
            SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
        }
    }
    m_listener.reset(new TcpListener(m_family, 128));
    if (!m_listener->Valid()) {
        m_error = "listen: " + sock_io::error_string(sock_io::last_error());
        return;
    }
    m_listen_fd = m_listener->Handle();
    m_port = m_listener->Port();
    m_acceptor = std::thread([this] { accept_loop(); });
}

LoopbackServer::~LoopbackServer() {
    Stop();
    SSL_CTX_free(static_cast<SSL_CTX*>(m_ctx));
}

void LoopbackServer::Stop() {
    m_stop.store(true);
    if (m_acceptor.joinable())
        m_acceptor.join();
    for (auto& t : m_threads)  // the acceptor, which adds them, has ended
        t.join();
    m_threads.clear();
    if (m_listener)
        m_listener->Close();
    m_listen_fd = -1;
}

void LoopbackServer::accept_loop() {
    while (!m_stop.load()) {
        const int fd = sock_io::poll_one(m_listen_fd, POLLIN, kSliceMs, nullptr) <= 0
                           ? -1
                           : sock_io::accept_socket(m_listen_fd, true);
        if (fd < 0)
            continue;
        std::lock_guard<std::mutex> lock(m_mutex);
        const size_t index = m_logs.size();
        m_logs.emplace_back();
        if ((index < m_scripts.size() || (m_options.repeat_last && !m_scripts.empty())) &&
            static_cast<int>(index) < m_options.max_connections)
            m_threads.emplace_back([this, index, fd] { serve(index, fd); });
        else
            sock_io::close_socket(fd), m_logs.back().done = true;
        m_changed.notify_all();
    }
}

void LoopbackServer::serve(size_t index, int fd) {
    Conn conn{this, index, fd};
    const Script& script = m_scripts[std::min(index, m_scripts.size() - 1)];
    if (std::all_of(script.begin(), script.end(), [&](const Step& s) { return conn.run(s); }) &&
        conn.error.empty())
        conn.close_gracefully();
    SSL_free(conn.ssl);
    sock_io::close_socket(fd);
    update(index, [&](ConnectionLog& log) {
        log.done = true;
        log.error = log.error.empty() ? conn.error : log.error;
    });
}

void LoopbackServer::update(size_t index, const std::function<void(ConnectionLog&)>& change) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        change(m_logs[index]);
    }
    m_changed.notify_all();
}

size_t LoopbackServer::Accepted() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_logs.size();
}

bool LoopbackServer::WaitDone(size_t count, int timeout_ms) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
        return static_cast<size_t>(std::count_if(m_logs.begin(), m_logs.end(),
                                                 [](const ConnectionLog& l) { return l.done; })) >=
               count;
    });
}

ConnectionLog LoopbackServer::Connection(size_t index) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (index < m_logs.size())
        return m_logs[index];
    ConnectionLog none;
    none.error = "no such connection";
    return none;
}

std::string LoopbackServer::Pattern(uint64_t offset, size_t len) {
    std::string out;
    while (out.size() < len)
        out.append(pattern_table(), (offset + out.size()) % kPeriod,
                   std::min<size_t>(len - out.size(), kPeriod));
    return out;
}

bool LoopbackServer::CheckPattern(const char* data, size_t len, uint64_t offset, size_t* bad) {
    for (size_t at = 0, piece; at < len; at += piece) {
        piece = std::min<size_t>(len - at, kPeriod);
        const char* want = pattern_table().data() + (offset + at) % kPeriod;
        if (memcmp(data + at, want, piece) != 0) {
            if (bad)
                *bad = at + static_cast<size_t>(std::mismatch(want, want + piece, data + at).first -
                                                want);
            return false;
        }
    }
    return true;
}

TcpListener::TcpListener(int family, int backlog) : m_fd(-1), m_family(family), m_port(0) {
    const int fd = sock_io::new_stream_socket(family == 6 ? AF_INET6 : AF_INET, false);
    if (fd < 0)
        return;
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof(one));
    sockaddr_storage ss;
    socklen_t len = loopback(family, 0, &ss);
    if (bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || listen(fd, backlog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0)
        sock_io::close_socket(fd);
    else
        m_port = ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port), m_fd = fd;
}

void TcpListener::Close() {
    if (m_fd >= 0)
        sock_io::close_socket(m_fd);
    m_fd = -1;
}

int TcpListener::Accept(int timeout_ms) {
    if (m_fd < 0 || sock_io::poll_one(m_fd, POLLIN, timeout_ms, nullptr) <= 0)
        return -1;
    return sock_io::accept_socket(m_fd, false);
}

int TcpConnect(int family, unsigned short port) {
    int fd = sock_io::new_stream_socket(family == 6 ? AF_INET6 : AF_INET, false);
    if (fd < 0)
        return -1;
    sockaddr_storage ss;
    socklen_t len = loopback(family, port, &ss);
    if (connect(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
        sock_io::close_socket(fd);
        return -1;
    }
    return fd;
}

void CloseSocket(int fd) {
    sock_io::close_socket(fd);
}

int SocketPair(int fds[2], bool nonblocking) {
    if (sock_io::socket_pair(fds) != 0)
        return -1;
    for (int i = 0; nonblocking && i < 2; ++i)
        sock_io::set_nonblocking(fds[i]);
    return 0;
}

bool WriteAll(int fd, const void* data, long len) {
    for (const char* p = static_cast<const char*>(data); len > 0;) {
        const long n = static_cast<long>(sock_io::send_some(fd, p, static_cast<size_t>(len)));
        if (n <= 0)
            return false;
        p += n, len -= n;
    }
    return true;
}

long ReadFor(int fd, void* buf, long len, int timeout_ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    long got = 0;
    for (long n = 0; got < len && Clock::now() < end; got += n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (sock_io::poll_one(fd, POLLIN, static_cast<int>(left.count()) + 1, nullptr) <= 0 ||
            (n = static_cast<long>(sock_io::recv_some(fd, static_cast<char*>(buf) + got,
                                                      static_cast<size_t>(len - got)))) <= 0)
            break;
    }
    return got;
}

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace corvio_test

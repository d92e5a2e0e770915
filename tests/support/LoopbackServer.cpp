#include "support/LoopbackServer.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

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

const std::string& pattern_table() {
    // Two periods back to back, so any offset can be copied in one piece of
    // up to one period.
    static const std::string table = [] {
        std::string t(2 * kPeriod, '\0');
        for (uint64_t i = 0; i < kPeriod; ++i) {
            uint32_t x = static_cast<uint32_t>(i) * 2654435761u;
            t[i] = t[i + kPeriod] = static_cast<char>(x >> 24);
        }
        return t;
    }();
    return table;
}

std::string ssl_error_text() {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return "unknown TLS error";
    char buf[256];
    ERR_error_string_n(code, buf, sizeof(buf));
    return buf;
}

}  // namespace

// One accepted connection while its script runs (on its own thread).
struct LoopbackServer::Conn {
    LoopbackServer* server;
    size_t index;
    int fd;
    SSL* ssl = nullptr;
    std::string in;     // everything received
    size_t cursor = 0;  // bytes of `in` consumed by earlier steps
    bool eof = false;
    std::string error;

    bool stopped() const { return server->m_stop.load(); }

    // Waits until `events` are ready; false when stopped or after
    // `timeout_ms` (error set).
    bool wait(short events, int timeout_ms) {
        const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            if (stopped()) {
                if (error.empty())
                    error = "server stopped";
                return false;
            }
            int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
            if (left <= 0) {
                if (error.empty())
                    error = "time-out waiting for the client";
                return false;
            }
            int n = sock_io::poll_one(fd, events, left < kSliceMs ? left : kSliceMs, nullptr);
            if (n > 0)
                return true;
            if (n < 0) {
                error = "poll: " + sock_io::error_string(sock_io::last_error());
                return false;
            }
        }
    }

    bool handshake() {
        if (!server->m_ctx || ssl)
            return true;
        ssl = SSL_new(static_cast<SSL_CTX*>(server->m_ctx));
        if (!ssl || SSL_set_fd(ssl, fd) != 1) {
            error = "TLS set-up: " + ssl_error_text();
            return false;
        }
        SSL_set_app_data(ssl, this);
        for (;;) {
            ERR_clear_error();
            int rc = SSL_accept(ssl);
            if (rc == 1)
                break;
            int err = SSL_get_error(ssl, rc);
            if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
                if (!wait(err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT,
                          server->m_options.io_timeout_ms))
                    return false;
                continue;
            }
            error = "TLS hand-shake: " + ssl_error_text();
            return false;
        }
        ConnectionLog fields;
        fields.handshake_done = true;
        if (X509* peer = SSL_get1_peer_certificate(ssl)) {
            char cn[256] = "";
            X509_NAME_get_text_by_NID(X509_get_subject_name(peer), NID_commonName, cn, sizeof(cn));
            fields.client_cn = cn;
            X509_free(peer);
        }
        server->update(index, {}, &fields);
        return true;
    }

    // Reads what is there (waiting for it); false at end of stream or on a
    // failure (error set unless it is the end of stream).
    bool read_some() {
        if (!handshake())
            return false;
        char buf[65536];
        for (;;) {
            short want = POLLIN;
            long n;
            if (ssl) {
                ERR_clear_error();
                int rc = SSL_read(ssl, buf, sizeof(buf));
                n = rc;
                if (rc <= 0) {
                    int err = SSL_get_error(ssl, rc);
                    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
                        want = err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
                        n = -1;
                    } else if (err == SSL_ERROR_ZERO_RETURN) {
                        n = 0;
                    } else {
                        // An end of stream without close_notify counts as an
                        // end too: the client may simply close.
                        std::string why = ssl_error_text();
                        if (why.find("unexpected eof") == std::string::npos &&
                            err != SSL_ERROR_SYSCALL)
                            error = "TLS read: " + why;
                        n = 0;
                    }
                }
            } else {
                n = static_cast<long>(sock_io::recv_some(fd, buf, sizeof(buf)));
                if (n < 0 && !sock_io::would_block(sock_io::last_error())) {
                    error = "recv: " + sock_io::error_string(sock_io::last_error());
                    n = 0;
                }
            }
            if (n > 0) {
                in.append(buf, static_cast<size_t>(n));
                server->update(index, std::string(buf, static_cast<size_t>(n)), nullptr);
                return true;
            }
            if (n == 0) {
                eof = true;
                ConnectionLog fields;
                fields.peer_closed = true;
                server->update(index, {}, &fields);
                return false;
            }
            if (!wait(want, server->m_options.io_timeout_ms))
                return false;
        }
    }

    bool write_all(const char* data, size_t len) {
        if (!handshake())
            return false;
        size_t done = 0;
        while (done < len) {
            size_t piece = len - done < 65536 ? len - done : 65536;
            short want = POLLOUT;
            long n;
            if (ssl) {
                ERR_clear_error();
                int rc = SSL_write(ssl, data + done, static_cast<int>(piece));
                n = rc;
                if (rc <= 0) {
                    int err = SSL_get_error(ssl, rc);
                    if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) {
                        error = "TLS write: " + ssl_error_text();
                        return false;
                    }
                    want = err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
                }
            } else {
                n = static_cast<long>(sock_io::send_some(fd, data + done, piece));
                if (n < 0 && !sock_io::would_block(sock_io::last_error())) {
                    error = "send: " + sock_io::error_string(sock_io::last_error());
                    return false;
                }
            }
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (!wait(want, server->m_options.io_timeout_ms))
                return false;
        }
        return true;
    }

    bool sleep(int ms) {
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < end) {
            if (stopped())
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    // Graceful end: close_notify, FIN, then take what the client still sends
    // until it closes (bounded), so that no reset destroys bytes in flight.
    void close_gracefully() {
        if (ssl && !eof) {
            SSL_shutdown(ssl);
        }
        ::shutdown(fd, sock_io::kShutWrite);
        const auto end = Clock::now() + std::chrono::milliseconds(server->m_options.linger_ms);
        char buf[65536];
        while (!eof && !stopped() && Clock::now() < end) {
            if (sock_io::poll_one(fd, POLLIN, kSliceMs, nullptr) <= 0)
                continue;
            long n;
            if (ssl) {
                ERR_clear_error();
                int rc = SSL_read(ssl, buf, sizeof(buf));
                n = rc > 0 ? rc : (SSL_get_error(ssl, rc) == SSL_ERROR_WANT_READ ? -1 : 0);
                ERR_clear_error();
            } else {
                n = static_cast<long>(sock_io::recv_some(fd, buf, sizeof(buf)));
                if (n < 0 && sock_io::would_block(sock_io::last_error()))
                    n = -1;
                else if (n < 0)
                    n = 0;
            }
            if (n > 0) {
                in.append(buf, static_cast<size_t>(n));
                server->update(index, std::string(buf, static_cast<size_t>(n)), nullptr);
            } else if (n == 0) {
                eof = true;
                ConnectionLog fields;
                fields.peer_closed = true;
                server->update(index, {}, &fields);
            }
        }
    }

    // Records the server name while the ClientHello is read, so that it is
    // known even when the hand-shake then fails.
    static int on_server_name(SSL* ssl, int*, void*) {
        Conn* self = static_cast<Conn*>(SSL_get_app_data(ssl));
        const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
        if (self && name) {
            ConnectionLog fields;
            fields.sni = name;
            self->server->update(self->index, {}, &fields);
        }
        return SSL_TLSEXT_ERR_OK;
    }

    // Runs one step; false ends the connection.
    bool run(const Step& step) {
        switch (step.kind) {
            case Step::HANDSHAKE:
                return handshake();
            case Step::READ_UNTIL:
                for (;;) {
                    size_t at = in.find(step.bytes, cursor);
                    if (at != std::string::npos) {
                        cursor = at + step.bytes.size();
                        return true;
                    }
                    if (!read_some()) {
                        if (error.empty())
                            error = "client closed before the awaited bytes";
                        return false;
                    }
                }
            case Step::READ_COUNT:
                while (in.size() - cursor < step.count) {
                    if (!read_some()) {
                        if (error.empty())
                            error = "client closed before the awaited count";
                        return false;
                    }
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
            case Step::SEND_PATTERN: {
                const std::string& table = pattern_table();
                uint64_t sent = 0;
                while (sent < step.count) {
                    uint64_t at = (step.offset + sent) % kPeriod;
                    uint64_t piece = step.count - sent < kPeriod ? step.count - sent : kPeriod;
                    if (!write_all(table.data() + at, piece))
                        return false;
                    sent += piece;
                }
                return true;
            }
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
    // raise SIGPIPE in the test process. Tests own their process, so the
    // signal is ignored there.
    static const bool sigpipe_ignored = [] {
#ifdef SIGPIPE
        signal(SIGPIPE, SIG_IGN);
#endif
        return true;
    }();
    (void)sigpipe_ignored;
    if (m_options.tls) {
        SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
        m_ctx = ctx;
        if (!ctx || SSL_CTX_use_certificate_chain_file(ctx, m_options.cert_file.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(ctx, m_options.key_file.c_str(), SSL_FILETYPE_PEM) != 1 ||
            SSL_CTX_check_private_key(ctx) != 1) {
            m_error = "TLS server certificate: " + ssl_error_text();
            return;
        }
        SSL_CTX_set_tlsext_servername_callback(ctx, &Conn::on_server_name);
        if (!m_options.ciphers.empty() &&
            SSL_CTX_set_cipher_list(ctx, m_options.ciphers.c_str()) != 1) {
            m_error = "cipher list: " + ssl_error_text();
            return;
        }
        if (!m_options.ciphersuites.empty() &&
            SSL_CTX_set_ciphersuites(ctx, m_options.ciphersuites.c_str()) != 1) {
            m_error = "cipher suites: " + ssl_error_text();
            return;
        }
        if (m_options.max_tls_version)
            SSL_CTX_set_max_proto_version(ctx, m_options.max_tls_version);
        if (!m_options.client_ca_file.empty()) {
            STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(m_options.client_ca_file.c_str());
            if (!names || SSL_CTX_load_verify_locations(ctx, m_options.client_ca_file.c_str(),
                                                        nullptr) != 1) {
                sk_X509_NAME_pop_free(names, X509_NAME_free);
                m_error = "client CA file: " + ssl_error_text();
                return;
            }
            SSL_CTX_set_client_CA_list(ctx, names);
            SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
        }
    }
    int af = m_family == 6 ? AF_INET6 : AF_INET;
    int fd = sock_io::new_stream_socket(af);
    if (fd < 0) {
        m_error = "socket: " + sock_io::error_string(sock_io::last_error());
        return;
    }
    sockaddr_storage ss{};
    socklen_t len;
    if (af == AF_INET6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
        a->sin6_family = AF_INET6;
        a->sin6_addr = in6addr_loopback;
        len = sizeof(*a);
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&ss);
        a->sin_family = AF_INET;
        a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        len = sizeof(*a);
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || ::listen(fd, 128) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) {
        m_error = "listen: " + sock_io::error_string(sock_io::last_error());
        sock_io::close_socket(fd);
        return;
    }
    m_port = ntohs(af == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                                  : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
    m_listen_fd = fd;
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
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(m_threads_mutex);
        threads.swap(m_threads);
    }
    for (auto& t : threads)
        t.join();
    if (m_listen_fd >= 0) {
        sock_io::close_socket(m_listen_fd);
        m_listen_fd = -1;
    }
}

void LoopbackServer::accept_loop() {
    while (!m_stop.load()) {
        if (sock_io::poll_one(m_listen_fd, POLLIN, kSliceMs, nullptr) <= 0)
            continue;
        int fd = sock_io::accept_socket(m_listen_fd, true);
        if (fd < 0)
            continue;
        size_t index;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            index = m_logs.size();
            m_logs.emplace_back();
        }
        m_changed.notify_all();
        bool scripted = index < m_scripts.size() || (m_options.repeat_last && !m_scripts.empty());
        if (!scripted || static_cast<int>(index) >= m_options.max_connections) {
            sock_io::close_socket(fd);
            ConnectionLog fields;
            fields.done = true;
            update(index, {}, &fields);
            continue;
        }
        std::lock_guard<std::mutex> lock(m_threads_mutex);
        m_threads.emplace_back([this, index, fd] { serve(index, fd); });
    }
}

void LoopbackServer::serve(size_t index, int fd) {
    const Script& script = m_scripts[index < m_scripts.size() ? index : m_scripts.size() - 1];
    Conn conn{this, index, fd};
    bool ended = false;
    for (const Step& step : script) {
        if (!conn.run(step)) {
            ended = true;
            break;
        }
    }
    if (!ended && conn.error.empty())
        conn.close_gracefully();
    if (conn.ssl)
        SSL_free(conn.ssl);
    sock_io::close_socket(fd);
    ConnectionLog fields;
    fields.done = true;
    fields.error = conn.error;
    update(index, {}, &fields);
}

// Appends received bytes and merges the set flags/texts of `fields`.
void LoopbackServer::update(size_t index, const std::string& add, const ConnectionLog* fields) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ConnectionLog& log = m_logs[index];
        log.received += add;
        if (fields) {
            if (!fields->sni.empty())
                log.sni = fields->sni;
            if (fields->handshake_done)
                log.handshake_done = true;
            if (!fields->client_cn.empty())
                log.client_cn = fields->client_cn;
            if (fields->peer_closed)
                log.peer_closed = true;
            if (!fields->error.empty() && log.error.empty())
                log.error = fields->error;
            if (fields->done)
                log.done = true;
        }
    }
    m_changed.notify_all();
}

size_t LoopbackServer::Accepted() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_logs.size();
}

bool LoopbackServer::WaitAccepted(size_t count, int timeout_ms) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                              [&] { return m_logs.size() >= count; });
}

bool LoopbackServer::WaitDone(size_t count, int timeout_ms) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
        size_t done = 0;
        for (const auto& log : m_logs)
            done += log.done ? 1 : 0;
        return done >= count;
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

char LoopbackServer::PatternByte(uint64_t i) {
    return pattern_table()[i % kPeriod];
}

std::string LoopbackServer::Pattern(uint64_t offset, size_t len) {
    std::string out;
    out.reserve(len);
    const std::string& table = pattern_table();
    while (out.size() < len) {
        uint64_t at = (offset + out.size()) % kPeriod;
        size_t piece = len - out.size() < kPeriod ? len - out.size() : kPeriod;
        out.append(table, at, piece);
    }
    return out;
}

bool LoopbackServer::CheckPattern(const char* data, size_t len, uint64_t offset, size_t* bad) {
    const std::string& table = pattern_table();
    size_t checked = 0;
    while (checked < len) {
        uint64_t at = (offset + checked) % kPeriod;
        size_t piece = len - checked < kPeriod ? len - checked : kPeriod;
        if (memcmp(data + checked, table.data() + at, piece) != 0) {
            if (bad) {
                size_t i = 0;
                while (data[checked + i] == table[at + i])
                    ++i;
                *bad = checked + i;
            }
            return false;
        }
        checked += piece;
    }
    return true;
}

}  // namespace corvio_test

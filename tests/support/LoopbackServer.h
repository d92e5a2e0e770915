// An in-process scripted server on 127.0.0.1 or ::1 (ephemeral port), plain
// TCP or TLS. Connection i (accept order, own thread) plays scripts[i]; later
// ones replay the last script with Options::repeat_last, else are closed.
// A step that fails (time-out, peer gone, TLS failure) records why in
// ConnectionLog::error and ends the connection; when the steps run out it
// ends as by Close(). Every wait is bounded (io_timeout_ms without progress);
// Stop() and the destructor never wait for a client.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/TcpListener.h"

namespace corvio_test {

// ReadUntil(p): bytes after `p` stay for the next step. SendPattern(n, offset):
// n bytes of Pattern() without a copy. Silent(ms) as the first TLS step: the
// hand-shake is never answered. Handshake(): TLS now (otherwise before the
// first read or write). Close(): close_notify, FIN, then record what the
// client still sends until it closes (at most linger_ms). Reset(): SO_LINGER 0.
struct Step {
    enum Kind {
        HANDSHAKE,
        READ_UNTIL,
        READ_COUNT,
        READ_TO_EOF,
        SEND,
        SEND_PATTERN,
        SLEEP,
        SILENT,
        CLOSE,
        RESET
    };
    Kind kind;
    std::string bytes;       // READ_UNTIL, SEND
    uint64_t count, offset;  // READ_COUNT, SEND_PATTERN; SEND_PATTERN
    int ms;                  // SLEEP, SILENT

    static Step Handshake() { return {HANDSHAKE, {}, 0, 0, 0}; }
    static Step ReadUntil(std::string pattern) { return {READ_UNTIL, std::move(pattern), 0, 0, 0}; }
    static Step Read(uint64_t count) { return {READ_COUNT, {}, count, 0, 0}; }
    static Step ReadToEof() { return {READ_TO_EOF, {}, 0, 0, 0}; }
    static Step Send(std::string bytes) { return {SEND, std::move(bytes), 0, 0, 0}; }
    static Step SendPattern(uint64_t count, uint64_t offset = 0) {
        return {SEND_PATTERN, {}, count, offset, 0};
    }
    static Step Sleep(int ms) { return {SLEEP, {}, 0, 0, ms}; }
    static Step Silent(int ms) { return {SILENT, {}, 0, 0, ms}; }
    static Step Close() { return {CLOSE, {}, 0, 0, 0}; }
    static Step Reset() { return {RESET, {}, 0, 0, 0}; }
};

using Script = std::vector<Step>;

// What one accepted connection saw (the client's bytes decrypted under TLS).
struct ConnectionLog {
    std::string received;
    std::string sni;  // server name the client sent
    bool handshake_done = false;
    std::string client_cn;  // CN of the verified client certificate
    bool peer_closed = false;
    bool done = false;  // the connection has ended
    std::string error;  // first failure; "" when the script ran through
};

class LoopbackServer {
public:
    struct Options {
        int family = 4;  // 4: 127.0.0.1, 6: ::1
        bool tls = false;
        std::string cert_file, key_file;    // TLS: PEM (may be the same file)
        std::string client_ca_file;         // TLS: requires a client certificate of this CA
        std::string ciphers, ciphersuites;  // TLS 1.2 list, TLS 1.3 suites; "": defaults
        int max_tls_version = 0;            // e.g. TLS1_2_VERSION; 0: newest
        bool repeat_last = false;
        int io_timeout_ms = 5000;
        int linger_ms = 1000;
        int max_connections = 64;  // later connections are closed at once
        size_t trickle_bytes = 0;  // TLS: send only this many bytes, one per segment
    };

    LoopbackServer(const Options& options, std::vector<Script> scripts);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    // Otherwise Error() says why (no IPv6, bad certificate...).
    bool Ok() const { return m_listen_fd >= 0; }
    const std::string& Error() const { return m_error; }
    unsigned short Port() const { return m_port; }
    const char* Host() const { return m_family == 6 ? "::1" : "127.0.0.1"; }

    size_t Accepted() const;
    // Waits until `count` connections have ended; false on time-out.
    bool WaitDone(size_t count, int timeout_ms) const;
    // Connection `index` (accept order), or error "no such connection".
    ConnectionLog Connection(size_t index) const;
    // Ends every connection, joins the threads; idempotent.
    void Stop();

    // `len` bytes from `offset` of an endless sequence whose period (65521, a
    // prime) matches no power-of-two block: a lost, doubled or reordered
    // block shows.
    static std::string Pattern(uint64_t offset, size_t len);
    // Else *bad (when given) is the first index that differs.
    static bool CheckPattern(const char* data, size_t len, uint64_t offset, size_t* bad = nullptr);

private:
    struct Conn;
    void accept_loop();
    void serve(size_t index, int fd);
    void update(size_t index, const std::function<void(ConnectionLog&)>& change);

    Options m_options;
    std::vector<Script> m_scripts;
    int m_family;
    std::unique_ptr<TcpListener> m_listener;
    int m_listen_fd = -1;
    unsigned short m_port = 0;
    std::string m_error;
    void* m_ctx = nullptr;  // SSL_CTX*
    std::atomic<bool> m_stop{false};
    std::thread m_acceptor;
    std::vector<std::thread> m_threads;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::vector<ConnectionLog> m_logs;
};

}  // namespace corvio_test

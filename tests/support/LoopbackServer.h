// An in-process scripted server on 127.0.0.1 or ::1 (ephemeral port), plain
// TCP or TLS: a peer whose every byte is known. Connection i (accept order,
// each on a thread of its own) plays scripts[i]; one beyond the list replays
// the last script with Options::repeat_last, else is closed at once.
//
// Steps, in order: ReadUntil(p) (bytes after `p` stay for the next step),
// Read(n), ReadToEof(), Send(b), SendPattern(n, offset) (the pattern of
// Pattern(), large bodies without a copy), Sleep(ms), Silent(ms) (as the first
// step under TLS: the hand-shake is never answered), Handshake() (TLS now;
// otherwise before the first read or write), Close() (close_notify, FIN, then
// record what the client still sends until it closes, at most linger_ms: no
// reset destroys bytes in flight), Reset() (SO_LINGER 0). When the steps run
// out the connection ends as by Close(); a failing step (time-out, peer gone,
// TLS failure) records why in ConnectionLog::error and ends it.
//
// Everything the client sent is recorded (decrypted under TLS). Every wait is
// bounded (io_timeout_ms without progress); Stop() and the destructor wake
// every connection within about 20 ms and never wait for a client.
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
    std::string bytes;  // READ_UNTIL pattern, SEND bytes
    uint64_t count;     // READ_COUNT, SEND_PATTERN
    uint64_t offset;    // SEND_PATTERN: pattern offset of the first byte
    int ms;             // SLEEP, SILENT

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

// What one accepted connection saw.
struct ConnectionLog {
    std::string received;         // every byte the client sent, in order
    std::string sni;              // server name the client sent; "" when none
    bool handshake_done = false;  // TLS hand-shake completed
    std::string client_cn;        // CN of the verified client certificate; ""
    bool peer_closed = false;     // a read saw the client's end of stream
    bool done = false;            // the connection has ended (script over or failed)
    std::string error;            // first failure; "" when the script ran through
};

class LoopbackServer {
public:
    struct Options {
        int family = 4;  // 4: 127.0.0.1, 6: ::1
        bool tls = false;
        std::string cert_file;       // TLS: server certificate (PEM)
        std::string key_file;        // TLS: its key (PEM); may equal cert_file
        std::string client_ca_file;  // TLS: when set, a client certificate
                                     // issued by this CA is required
        std::string ciphers;         // TLS 1.2 cipher list; "" for OpenSSL's
        std::string ciphersuites;    // TLS 1.3 suites; "" for OpenSSL's
        int max_tls_version = 0;     // e.g. TLS1_2_VERSION; 0: newest
        bool repeat_last = false;    // connections beyond the scripts replay the last
        int io_timeout_ms = 5000;    // a read or write without progress fails after this
        int linger_ms = 1000;        // Close(): wait at most this for the client to close
        int max_connections = 64;    // later connections are closed at once
        size_t trickle_bytes = 0;    // TLS: send only this many bytes, one by one
                                     // (a hand-shake advancing byte by byte)
    };

    LoopbackServer(const Options& options, std::vector<Script> scripts);
    // Stops: bounded, never waits for a client.
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    // Listening and ready; otherwise Error() says why (no IPv6, bad cert...).
    bool Ok() const { return m_listen_fd >= 0; }
    const std::string& Error() const { return m_error; }
    unsigned short Port() const { return m_port; }
    // "127.0.0.1" or "::1".
    const char* Host() const { return m_family == 6 ? "::1" : "127.0.0.1"; }

    // Connections accepted so far.
    size_t Accepted() const;
    // Waits until at least `count` connections were accepted; false on time-out.
    bool WaitAccepted(size_t count, int timeout_ms) const;
    // Waits until at least `count` connections have ended; false on time-out.
    bool WaitDone(size_t count, int timeout_ms) const;
    // A copy of what connection `index` (0-based, accept order) saw; an empty
    // log with error "no such connection" when there is none.
    ConnectionLog Connection(size_t index) const;

    // Stops accepting, wakes and ends every connection, joins the threads.
    // Idempotent; the logs stay readable.
    void Stop();

    // `len` bytes from `offset` of an endless sequence whose period (65521, a
    // prime) matches no power-of-two block: a lost, doubled or reordered
    // block shows.
    static std::string Pattern(uint64_t offset, size_t len);
    // `data` equals the pattern from `offset`; otherwise the first index that
    // differs is stored into *bad (when given).
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
    std::mutex m_threads_mutex;
    std::vector<std::thread> m_threads;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::vector<ConnectionLog> m_logs;
};

}  // namespace corvio_test

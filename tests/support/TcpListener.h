// A listening TCP socket on 127.0.0.1 or ::1 (ephemeral port) and blocking
// socket helpers with bounded waits (defined in LoopbackServer.cpp).
#pragma once

namespace corvio_test {

class TcpListener {
public:
    // family 4 or 6; not Valid() when it could not be made (no IPv6...).
    explicit TcpListener(int family = 4, int backlog = 1024);
    ~TcpListener() { Close(); }
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    bool Valid() const { return m_fd >= 0; }
    unsigned short Port() const { return m_port; }
    int Handle() const { return m_fd; }
    const char* Host() const { return m_family == 6 ? "::1" : "127.0.0.1"; }
    // A blocking descriptor (the caller closes it), or -1 after `timeout_ms`.
    int Accept(int timeout_ms);
    void Close();

    // A port on which nothing listens (bound once and released).
    static unsigned short ClosedPort(int family = 4) { return TcpListener(family, 1).Port(); }

private:
    int m_fd;
    int m_family;
    unsigned short m_port;
};

// Blocking; the descriptor or -1.
int TcpConnect(int family, unsigned short port);
// Closes a socket of the tests' own (close or closesocket).
void CloseSocket(int fd);
// Two connected stream sockets, non-blocking when asked; 0 on success.
int SocketPair(int fds[2], bool nonblocking = false);
bool WriteAll(int fd, const void* data, long len);
// Reads until `len` bytes arrived, the peer closed or `timeout_ms` passed;
// the count read.
long ReadFor(int fd, void* buf, long len, int timeout_ms);
void SleepMs(int ms);

// Waits until `pred` holds or `timeout_ms` passes; its final value.
template <typename Pred>
bool WaitUntil(Pred pred, int timeout_ms) {
    for (int waited = 0; waited < timeout_ms; waited += 2) {
        if (pred())
            return true;
        SleepMs(2);
    }
    return pred();
}

}  // namespace corvio_test

#include "support/TcpListener.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "Sablon/SockIo.h"

namespace corvio_test {
namespace {

namespace sock_io = Halvex::Sablon::sock_io;

// The loopback address of the family; the port sits at the same place in
// both address kinds.
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

TcpListener::~TcpListener() {
    Close();
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

unsigned short TcpListener::ClosedPort(int family) {
    return TcpListener(family, 1).Port();
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
    using Clock = std::chrono::steady_clock;
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

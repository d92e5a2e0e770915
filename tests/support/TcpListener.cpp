#include "support/TcpListener.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace corvio_test {
namespace {

socklen_t loopback(int family, unsigned short port, sockaddr_storage* ss) {
    memset(ss, 0, sizeof(*ss));
    if (family == 6) {
        sockaddr_in6* a = reinterpret_cast<sockaddr_in6*>(ss);
        a->sin6_family = AF_INET6;
        a->sin6_addr = in6addr_loopback;
        a->sin6_port = htons(port);
        return sizeof(*a);
    }
    sockaddr_in* a = reinterpret_cast<sockaddr_in*>(ss);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a->sin_port = htons(port);
    return sizeof(*a);
}

}  // namespace

TcpListener::TcpListener(int family, int backlog) : m_fd(-1), m_family(family), m_port(0) {
    int fd = socket(family == 6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_storage ss;
    socklen_t len = loopback(family, 0, &ss);
    if (bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || listen(fd, backlog) != 0) {
        close(fd);
        return;
    }
    len = sizeof(ss);
    getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
    m_port = family == 6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port)
                         : ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
    m_fd = fd;
}

TcpListener::~TcpListener() {
    Close();
}

void TcpListener::Close() {
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
}

int TcpListener::Accept(int timeout_ms) {
    if (m_fd < 0)
        return -1;
    pollfd p{m_fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0)
        return -1;
    return accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
}

unsigned short TcpListener::ClosedPort(int family) {
    TcpListener l(family, 1);
    return l.Port();
}

int TcpConnect(int family, unsigned short port) {
    int fd = socket(family == 6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_storage ss;
    socklen_t len = loopback(family, port, &ss);
    if (connect(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool WriteAll(int fd, const void* data, long len) {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        ssize_t n = send(fd, p, static_cast<size_t>(len), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        len -= n;
    }
    return true;
}

long ReadFor(int fd, void* buf, long len, int timeout_ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    long got = 0;
    char* p = static_cast<char*>(buf);
    while (got < len) {
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        end - std::chrono::steady_clock::now())
                                        .count());
        if (left <= 0)
            break;
        pollfd pf{fd, POLLIN, 0};
        if (poll(&pf, 1, left) <= 0)
            break;
        ssize_t n = recv(fd, p + got, static_cast<size_t>(len - got), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += n;
    }
    return got;
}

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace corvio_test

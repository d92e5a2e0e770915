#include "SockIo.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <event2/util.h>

#if !defined(_WIN32)
#include <sys/ioctl.h>
#include <sys/stat.h>
#endif

namespace Halvex {
namespace Sablon {
namespace sock_io {

#if defined(_WIN32)

namespace {
bool g_started = false;
void cleanup() {
    if (g_started)
        WSACleanup();
}
}  // namespace

// Windows Sockets 2.2 is started on first use rather than at load: start-up
// may load further libraries, which a DLL's entry must not do.
bool startup() {
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data;
        if (WSAStartup(MAKEWORD(2, 2), &data) == 0) {
            g_started = true;
            std::atexit(cleanup);
        }
    });
    return g_started;
}

void set_nonblocking(int fd) {
    u_long on = 1;
    ioctlsocket(static_cast<SOCKET>(fd), FIONBIO, &on);
}

int new_stream_socket(int af, bool nonblocking) {
    startup();
    SOCKET s = WSASocketW(af, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET)
        return -1;
    if (nonblocking)
        set_nonblocking(static_cast<int>(s));
    return static_cast<int>(s);
}

// A socket made by accept() inherits the listening socket's modes.
int accept_socket(int listen_fd, bool nonblocking) {
    SOCKET s = ::accept(static_cast<SOCKET>(listen_fd), nullptr, nullptr);
    if (s == INVALID_SOCKET)
        return -1;
    u_long on = nonblocking ? 1 : 0;
    ioctlsocket(s, FIONBIO, &on);
    return static_cast<int>(s);
}

int poll_one(int fd, short events, int timeout_ms, short* revents) {
    WSAPOLLFD p;
    p.fd = static_cast<SOCKET>(fd);
    p.events = events;
    p.revents = 0;
    int rc = WSAPoll(&p, 1, timeout_ms);
    if (rc > 0 && revents)
        *revents = p.revents;
    return rc < 0 ? -1 : rc;
}

bool watchable(int fd) {
    int type = 0;
    int len = sizeof(type);
    return getsockopt(static_cast<SOCKET>(fd), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type),
                      &len) == 0;
}

// Windows reports a peer's orderly close as POLLHUP too, and a reset often
// only to the next receive: a pending socket error, POLLERR, or a one-byte
// look at the stream that fails with something other than "nothing yet" is
// the exception.
bool has_exception(int fd) {
    const SOCKET s = static_cast<SOCKET>(fd);
    int err = 0;
    int len = sizeof(err);
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0 || err != 0)
        return true;
    short revents = 0;
    if (poll_one(fd, POLLRDNORM, 0, &revents) > 0 && (revents & POLLERR))
        return true;
    char byte;
    if (::recv(s, &byte, 1, MSG_PEEK) >= 0)
        return false;
    return !would_block(WSAGetLastError());
}

bool set_receive_low_water(int, int) {
    return false;
}

int queued_input(int fd) {
    u_long n = 0;
    if (ioctlsocket(static_cast<SOCKET>(fd), FIONREAD, &n) != 0)
        return -1;
    return n > 0x7fffffffu ? 0x7fffffff : static_cast<int>(n);
}

int socket_pair(int fds[2]) {
    startup();
    evutil_socket_t pair[2];
    if (evutil_socketpair(AF_INET, SOCK_STREAM, 0, pair) != 0)
        return -1;
    fds[0] = static_cast<int>(pair[0]);
    fds[1] = static_cast<int>(pair[1]);
    return 0;
}

void error_text(int err, char* buf, size_t size) {
    if (buf == nullptr || size == 0)
        return;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(err), 0, buf, static_cast<DWORD>(size), nullptr);
    // The system's texts end in ".\r\n".
    while (n > 0 &&
           (buf[n - 1] == '\n' || buf[n - 1] == '\r' || buf[n - 1] == ' ' || buf[n - 1] == '.'))
        --n;
    if (n == 0)
        snprintf(buf, size, "error %d", err);
    else
        buf[n] = '\0';
}

#else

bool startup() {
    return true;
}

void set_nonblocking(int fd) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags >= 0 && !(flags & O_NONBLOCK))
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int fdflags = fcntl(fd, F_GETFD, 0);
    if (fdflags >= 0 && !(fdflags & FD_CLOEXEC))
        fcntl(fd, F_SETFD, fdflags | FD_CLOEXEC);
}

int new_stream_socket(int af, bool nonblocking) {
    return ::socket(af, SOCK_STREAM | SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0),
                    IPPROTO_TCP);
}

int accept_socket(int listen_fd, bool nonblocking) {
    int fd;
    do {
        fd = ::accept4(listen_fd, nullptr, nullptr,
                       SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0));
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int poll_one(int fd, short events, int timeout_ms, short* revents) {
    pollfd p;
    p.fd = fd;
    p.events = events;
    p.revents = 0;
    int rc;
    do {
        rc = ::poll(&p, 1, timeout_ms);
    } while (rc < 0 && errno == EINTR);
    if (rc > 0 && revents)
        *revents = p.revents;
    return rc;
}

bool watchable(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    return S_ISSOCK(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode);
}

bool has_exception(int fd) {
    short revents = 0;
    return poll_one(fd, 0, 0, &revents) > 0 && (revents & (POLLERR | POLLHUP));
}

bool set_receive_low_water(int fd, int bytes) {
    return setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &bytes, sizeof(bytes)) == 0;
}

int queued_input(int fd) {
    int n = 0;
    return ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

int socket_pair(int fds[2]) {
    return ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
}

void error_text(int err, char* buf, size_t size) {
    if (buf == nullptr || size == 0)
        return;
    char tmp[256];
    // The GNU form may return a static text instead of filling `tmp`.
    const char* text = strerror_r(err, tmp, sizeof(tmp));
    snprintf(buf, size, "%s", text);
}

#endif

}  // namespace sock_io
}  // namespace Sablon
}  // namespace Halvex

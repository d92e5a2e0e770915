// The operating system's socket calls behind one surface, so that the rest of
// the platform layer (and the tests' own servers) are written once for POSIX
// sockets and Windows Sockets alike. Descriptors are ints on both: a Windows
// SOCKET is a kernel handle whose significant bits fit 32 bits, and
// INVALID_SOCKET becomes -1. Error codes are the system's own: errno values
// on POSIX, WSAGetLastError values on Windows; error_text renders either.
//
// Reads and writes are made again when a signal interrupts them, so a result
// never stands for EINTR. Writes use MSG_NOSIGNAL where it exists: a peer that
// reset the connection gives EPIPE, never SIGPIPE, and the process's signal
// disposition is left alone (Windows has no SIGPIPE).
#pragma once

#include <cstddef>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace Halvex {
namespace Sablon {
namespace sock_io {

#if defined(_WIN32)
typedef long long ssize_type;
const int kMsgNoSignal = 0;
const int kShutWrite = SD_SEND;
const int kShutBoth = SD_BOTH;
const int kErrAlreadyConnected = WSAEISCONN;
const int kErrNoDestination = WSAEDESTADDRREQ;
const int kErrFamily = WSAEAFNOSUPPORT;
const int kErrRefused = WSAECONNREFUSED;
const int kErrNotConnected = WSAENOTCONN;
#else
typedef ssize_t ssize_type;
const int kMsgNoSignal = MSG_NOSIGNAL;
const int kShutWrite = SHUT_WR;
const int kShutBoth = SHUT_RDWR;
const int kErrAlreadyConnected = EISCONN;
const int kErrNoDestination = EDESTADDRREQ;
const int kErrFamily = EAFNOSUPPORT;
const int kErrRefused = ECONNREFUSED;
const int kErrNotConnected = ENOTCONN;
#endif

// Makes the process ready for socket calls (Windows Sockets start-up, once;
// the matching clean-up runs at exit). False when the system refuses.
bool startup();

// The calling thread's last socket error.
inline int last_error() {
#if defined(_WIN32)
    return WSAGetLastError();
#else
    return errno;
#endif
}

inline bool interrupted(int err) {
#if defined(_WIN32)
    return err == WSAEINTR;
#else
    return err == EINTR;
#endif
}

// The error of a failed call means "try again once the socket is ready".
inline bool would_block(int err) {
#if defined(_WIN32)
    return err == WSAEWOULDBLOCK;
#else
    return err == EAGAIN || err == EWOULDBLOCK;
#endif
}

// The error of a connect() on a non-blocking socket means "under way".
inline bool connect_pending(int err) {
#if defined(_WIN32)
    return err == WSAEWOULDBLOCK || err == WSAEINPROGRESS || err == WSAEALREADY;
#else
    return err == EINPROGRESS || err == EALREADY;
#endif
}

// Errors with which connect() may refuse at once that belong to the peer or
// the path, not to the caller's arguments.
inline bool peer_refusal(int err) {
#if defined(_WIN32)
    return err == WSAECONNREFUSED || err == WSAENETUNREACH || err == WSAEHOSTUNREACH ||
           err == WSAETIMEDOUT || err == WSAECONNRESET;
#else
    return err == ECONNREFUSED || err == ENETUNREACH || err == EHOSTUNREACH || err == ETIMEDOUT ||
           err == ECONNRESET;
#endif
}

inline int close_socket(int fd) {
#if defined(_WIN32)
    return ::closesocket(static_cast<SOCKET>(fd));
#else
    return ::close(fd);
#endif
}

// Puts the socket in non-blocking mode (and, on POSIX, close-on-exec).
void set_nonblocking(int fd);
// A non-inherited TCP socket of `af`, non-blocking unless asked otherwise;
// -1 on failure (the error in last_error()).
int new_stream_socket(int af, bool nonblocking = true);
// The next connection of a listening socket, non-inherited, non-blocking
// when asked; -1 on failure.
int accept_socket(int listen_fd, bool nonblocking);
// Waits at most `timeout_ms` (negative: no limit) for `events` (POLLIN,
// POLLOUT) on `fd`. The poll result: 1 with `*revents` set, 0 on time-out,
// -1 on failure.
int poll_one(int fd, short events, int timeout_ms, short* revents);
// True when `fd` is an open socket (on POSIX also a pipe or character
// device): something the event backend can watch.
bool watchable(int fd);
// True when the socket has an error pending or is gone in both directions
// (POLLERR, POLLHUP), never for readable data or the peer's orderly close.
bool has_exception(int fd);
// Sets the socket's receive low-water mark (SO_RCVLOWAT): readiness for
// input then waits for that many queued bytes, the peer's close or an error.
// False when the system refuses it or has no such setting (Windows Sockets
// accepts the option name but not the setting).
bool set_receive_low_water(int fd, int bytes);
// Bytes queued for reading (FIONREAD), or -1 when the system cannot say.
int queued_input(int fd);
// Two connected stream sockets; 0 on success, -1 on failure.
int socket_pair(int fds[2]);
// The system's text for a socket error code, into `buf`.
void error_text(int err, char* buf, size_t size);
inline std::string error_string(int err) {
    char text[256];
    error_text(err, text, sizeof(text));
    return text;
}

// Bytes received; 0 when the peer has closed its side; -1 with last_error().
inline ssize_type recv_some(int fd, char* buf, size_t size) {
    ssize_type n;
    do {
#if defined(_WIN32)
        n = ::recv(static_cast<SOCKET>(fd), buf,
                   size > 0x7fffffff ? 0x7fffffff : static_cast<int>(size), 0);
#else
        n = ::recv(fd, buf, size, 0);
#endif
    } while (n < 0 && interrupted(last_error()));
    return n;
}

// Bytes the socket took (0 when `len` is 0); -1 with last_error().
inline ssize_type send_some(int fd, const char* data, size_t len) {
    ssize_type n;
    do {
#if defined(_WIN32)
        n = ::send(static_cast<SOCKET>(fd), data,
                   len > 0x7fffffff ? 0x7fffffff : static_cast<int>(len), 0);
#else
        n = ::send(fd, data, len, kMsgNoSignal);
#endif
    } while (n < 0 && interrupted(last_error()));
    return n;
}

}  // namespace sock_io
}  // namespace Sablon
}  // namespace Halvex

// One read or write on a connected non-blocking socket, shared by the plain
// stream and the TLS stream's socket BIO. Each call is made again when a
// signal interrupts it, so a result never stands for EINTR. Writes use
// MSG_NOSIGNAL: a peer that reset the connection gives EPIPE, never SIGPIPE,
// and the process's signal disposition is left alone.
#pragma once

#include <cerrno>
#include <cstddef>

#include <sys/socket.h>
#include <sys/types.h>

namespace Halvex {
namespace Sablon {
namespace sock_io {

// Bytes received; 0 when the peer has closed its side; -1 with errno set.
inline ssize_t recv_some(int fd, char* buf, size_t size) {
    ssize_t n;
    do {
        n = ::recv(fd, buf, size, 0);
    } while (n < 0 && errno == EINTR);
    return n;
}

// Bytes the socket took (0 when `len` is 0); -1 with errno set.
inline ssize_t send_some(int fd, const char* data, size_t len) {
    ssize_t n;
    do {
        n = ::send(fd, data, len, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n;
}

// The error of a failed call means "try again once the socket is ready".
inline bool would_block(int err) {
    return err == EAGAIN || err == EWOULDBLOCK;
}

}  // namespace sock_io
}  // namespace Sablon
}  // namespace Halvex

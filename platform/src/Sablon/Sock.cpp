#include "Sablon/Sock.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "SockIo.h"

namespace Halvex {
namespace Sablon {
namespace {

void set_nonblocking(int fd) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags >= 0 && !(flags & O_NONBLOCK))
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int fdflags = fcntl(fd, F_GETFD, 0);
    if (fdflags >= 0 && !(fdflags & FD_CLOEXEC))
        fcntl(fd, F_SETFD, fdflags | FD_CLOEXEC);
}

// Errors with which connect() may refuse at once that belong to the peer or
// the path, not to the caller's arguments: they are reported like a refusal
// that arrives later.
bool is_peer_refusal(int err) {
    return err == ECONNREFUSED || err == ENETUNREACH || err == EHOSTUNREACH || err == ETIMEDOUT ||
           err == ECONNRESET;
}

}  // namespace

CSock::~CSock() {
    CloseHandle();
}

int CSock::Detach() {
    int fd = m_handle;
    m_handle = -1;
    return fd;
}

void CSock::CloseHandle() {
    if (m_handle >= 0) {
        ::close(m_handle);
        m_handle = -1;
    }
}

CSockStream::CSockStream(int handle) : CSock(handle) {
    if (m_handle >= 0) {
        set_nonblocking(m_handle);
        m_connect_state = 0;
    } else {
        m_connect_state = -2;
    }
}

int CSockStream::Connect(const CSockAddr& remote, const CSockAddr* local) {
    if (m_handle >= 0) {
        m_last_error = EISCONN;
        return -1;
    }
    if (!remote.IsSet()) {
        m_last_error = EDESTADDRREQ;
        return -1;
    }
    if (local != nullptr && local->IsSet() && local->GetFamily() != remote.GetFamily()) {
        m_last_error = EAFNOSUPPORT;
        return -1;
    }
    int af = remote.GetFamily() == 6 ? AF_INET6 : AF_INET;
    int fd = ::socket(af, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        m_last_error = errno;
        return -1;
    }
    if (local != nullptr && local->IsSet()) {
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        if (::bind(fd, static_cast<const sockaddr*>(local->GetSockAddr()),
                   static_cast<socklen_t>(local->GetSockAddrLen())) != 0) {
            m_last_error = errno;
            ::close(fd);
            return -1;
        }
    }
    m_handle = fd;
    m_eof = false;
    m_last_error = 0;
    int rc;
    do {
        rc = ::connect(fd, static_cast<const sockaddr*>(remote.GetSockAddr()),
                       static_cast<socklen_t>(remote.GetSockAddrLen()));
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) {
        m_connect_state = 0;
        return 0;
    }
    int err = errno;
    if (err == EINPROGRESS || err == EALREADY) {
        m_connect_state = -1;
        return 0;
    }
    m_last_error = err;
    if (is_peer_refusal(err)) {
        m_connect_state = -2;
        return 0;
    }
    m_handle = -1;
    ::close(fd);
    return -1;
}

int CSockStream::GetConnectStatus() {
    if (m_handle < 0)
        return -2;
    if (m_connect_state != -1)
        return m_connect_state;
    pollfd p;
    p.fd = m_handle;
    p.events = POLLOUT;
    p.revents = 0;
    int rc;
    do {
        rc = ::poll(&p, 1, 0);
    } while (rc < 0 && errno == EINTR);
    if (rc <= 0)
        return -1;
    int err = 0;
    socklen_t len = sizeof(err);
    if (getsockopt(m_handle, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        err = errno;
    if (err == 0) {
        // Writable without a pending error: connected, unless the error was
        // already taken by someone else.
        sockaddr_storage peer;
        socklen_t plen = sizeof(peer);
        if (getpeername(m_handle, reinterpret_cast<sockaddr*>(&peer), &plen) != 0)
            err = errno == ENOTCONN ? ECONNREFUSED : errno;
    }
    if (err != 0) {
        m_last_error = err;
        m_connect_state = -2;
    } else {
        m_connect_state = 0;
    }
    return m_connect_state;
}

int CSockStream::Recv(char* buf, int size) {
    if (m_handle < 0 || buf == nullptr || size < 0)
        return -1;
    if (size == 0)
        return 0;
    const ssize_t n = sock_io::recv_some(m_handle, buf, static_cast<size_t>(size));
    if (n > 0)
        return static_cast<int>(n);
    if (n == 0) {
        m_eof = true;
        return -1;
    }
    if (sock_io::would_block(errno))
        return 0;
    m_last_error = errno;
    return -1;
}

int CSockStream::Send(const char* data, int len) {
    if (m_handle < 0 || data == nullptr || len < 0)
        return -1;
    if (len == 0)
        return 0;
    const ssize_t n = sock_io::send_some(m_handle, data, static_cast<size_t>(len));
    if (n >= 0)
        return static_cast<int>(n);
    if (sock_io::would_block(errno))
        return 0;
    m_last_error = errno;
    return -1;
}

const char* CSockStream::GetErrorText(char* buf, int size) const {
    if (buf == nullptr || size <= 0)
        return buf;
    if (m_last_error != 0) {
        char tmp[256];
        // The GNU form may return a static text instead of filling `tmp`.
        const char* text = strerror_r(m_last_error, tmp, sizeof(tmp));
        snprintf(buf, static_cast<size_t>(size), "%s (%d)", text, m_last_error);
    } else if (m_eof) {
        snprintf(buf, static_cast<size_t>(size), "connection closed by peer");
    } else {
        snprintf(buf, static_cast<size_t>(size), "no error");
    }
    return buf;
}

}  // namespace Sablon
}  // namespace Halvex

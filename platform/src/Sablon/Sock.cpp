#include "Sablon/Sock.h"

#include <cstdio>
#include <cstring>

#include "SockIo.h"

namespace Halvex {
namespace Sablon {

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
        sock_io::close_socket(m_handle);
        m_handle = -1;
    }
}

CSockStream::CSockStream(int handle) : CSock(handle) {
    if (m_handle >= 0) {
        sock_io::set_nonblocking(m_handle);
        m_connect_state = 0;
    } else {
        m_connect_state = -2;
    }
}

int CSockStream::Connect(const CSockAddr& remote, const CSockAddr* local) {
    if (m_handle >= 0) {
        m_last_error = sock_io::kErrAlreadyConnected;
        return -1;
    }
    if (!remote.IsSet()) {
        m_last_error = sock_io::kErrNoDestination;
        return -1;
    }
    if (local != nullptr && local->IsSet() && local->GetFamily() != remote.GetFamily()) {
        m_last_error = sock_io::kErrFamily;
        return -1;
    }
    int af = remote.GetFamily() == 6 ? AF_INET6 : AF_INET;
    int fd = sock_io::new_stream_socket(af);
    if (fd < 0) {
        m_last_error = sock_io::last_error();
        return -1;
    }
    if (local != nullptr && local->IsSet()) {
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof(one));
        if (::bind(fd, static_cast<const sockaddr*>(local->GetSockAddr()),
                   static_cast<socklen_t>(local->GetSockAddrLen())) != 0) {
            m_last_error = sock_io::last_error();
            sock_io::close_socket(fd);
            return -1;
        }
    }
    m_handle = fd;
    m_eof = false;
    m_last_error = 0;
    int rc;
    int err = 0;
    do {
        rc = ::connect(fd, static_cast<const sockaddr*>(remote.GetSockAddr()),
                       static_cast<socklen_t>(remote.GetSockAddrLen()));
        err = rc == 0 ? 0 : sock_io::last_error();
    } while (rc != 0 && sock_io::interrupted(err));
    if (rc == 0) {
        m_connect_state = 0;
        return 0;
    }
    if (sock_io::connect_pending(err)) {
        m_connect_state = -1;
        return 0;
    }
    m_last_error = err;
    if (sock_io::peer_refusal(err)) {
        m_connect_state = -2;
        return 0;
    }
    m_handle = -1;
    sock_io::close_socket(fd);
    return -1;
}

int CSockStream::GetConnectStatus() {
    if (m_handle < 0)
        return -2;
    if (m_connect_state != -1)
        return m_connect_state;
    short revents = 0;
    if (sock_io::poll_one(m_handle, POLLOUT, 0, &revents) <= 0)
        return -1;
    int err = 0;
    socklen_t len = sizeof(err);
    if (getsockopt(m_handle, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0)
        err = sock_io::last_error();
    if (err == 0) {
        // Writable without a pending error: connected, unless the error was
        // already taken by someone else.
        sockaddr_storage peer;
        socklen_t plen = sizeof(peer);
        if (getpeername(m_handle, reinterpret_cast<sockaddr*>(&peer), &plen) != 0) {
            err = sock_io::last_error();
            if (err == sock_io::kErrNotConnected)
                err = sock_io::kErrRefused;
        }
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
    const int err = sock_io::last_error();
    if (sock_io::would_block(err))
        return 0;
    m_last_error = err;
    return -1;
}

int CSockStream::SetReadLowWater(int bytes) {
    if (m_handle < 0 || bytes < 1)
        return -1;
    return sock_io::set_receive_low_water(m_handle, bytes) ? 0 : -1;
}

int CSockStream::GetQueuedInput() const {
    return m_handle < 0 ? -1 : sock_io::queued_input(m_handle);
}

int CSockStream::Send(const char* data, int len) {
    if (m_handle < 0 || data == nullptr || len < 0)
        return -1;
    if (len == 0)
        return 0;
    const ssize_t n = sock_io::send_some(m_handle, data, static_cast<size_t>(len));
    if (n >= 0)
        return static_cast<int>(n);
    const int err = sock_io::last_error();
    if (sock_io::would_block(err))
        return 0;
    m_last_error = err;
    return -1;
}

const char* CSockStream::GetErrorText(char* buf, int size) const {
    if (buf == nullptr || size <= 0)
        return buf;
    if (m_last_error != 0) {
        char text[256];
        sock_io::error_text(m_last_error, text, sizeof(text));
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

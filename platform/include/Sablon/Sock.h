// Sockets. A CSock owns its descriptor and closes it when destroyed, unless
// the descriptor was handed out with Detach. CSockStream is a non-blocking
// TCP stream.
#pragma once

#include "Sablon/Export.h"
#include "Sablon/SockAddr.h"

namespace Halvex {
namespace Sablon {

class SABLON_API CSock {
public:
    CSock() : m_handle(-1) {}
    explicit CSock(int handle) : m_handle(handle) {}
    virtual ~CSock();
    CSock(const CSock&) = delete;
    CSock& operator=(const CSock&) = delete;

    // The descriptor, or -1.
    int GetHandle() const { return m_handle; }
    // Hands the descriptor out: the object forgets it and will not close it.
    // Returns the descriptor, or -1 when there was none.
    int Detach();
    // Closes the descriptor now (idempotent).
    void CloseHandle();

protected:
    int m_handle;
};

class SABLON_API CSockStream : public CSock {
public:
    enum ConnectStatus { CONNECT_OK = 0, CONNECT_IN_PROGRESS = -1, CONNECT_FAILED = -2 };

    CSockStream() = default;
    // Adopts a connected descriptor (made non-blocking).
    explicit CSockStream(int handle);

    // Makes a non-blocking socket of the remote address's family, binds it to
    // `local` when given, and starts the connect. 0 when it started (or
    // completed at once), negative when it failed at once (no address, a
    // local address of another family, no descriptor, bind failure, a stream
    // that already has a descriptor). A refusal that the system reports at
    // once is not a failure at once: it is kept and reported by
    // GetConnectStatus (-2), so that it reaches the caller as an output event
    // like every other refused connect.
    int Connect(const CSockAddr& remote, const CSockAddr* local);
    // -1 while connecting, -2 when the connect failed (also when there is no
    // descriptor), 0 once connected. The outcome is read with SO_ERROR once
    // the socket is writable or in error, and is kept from then on.
    int GetConnectStatus();
    // Reads at most `size` bytes: the count, 0 when nothing can be read now,
    // negative when the peer closed (end of file) or the stream failed.
    // Never 0 at end of file.
    virtual int Recv(char* buf, int size);
    // Writes at most `len` bytes: the count taken (0 when the socket cannot
    // take any now), negative when the stream failed.
    virtual int Send(const char* data, int len);
    // Input readiness (the reactor's input event) waits until at least
    // `bytes` are queued, the peer has closed or the stream has failed: the
    // socket's receive low-water mark, 1 by default. Lowering it raises the
    // event at once when enough is queued. A tuning hint: 0 when set, -1
    // when the system refuses it or has none (Windows).
    int SetReadLowWater(int bytes);
    // Bytes the socket holds for reading now (over TLS, encrypted bytes not
    // yet taken by the TLS layer); -1 when unknown or without a descriptor.
    int GetQueuedInput() const;
    // Text of the stream's last failure (connect, receive or send) into `buf`;
    // returns `buf`.
    const char* GetErrorText(char* buf, int size) const;

protected:
    // errno of the last failure, 0 when none.
    int m_last_error = 0;

private:
    int m_connect_state = -1;  // -1 pending, -2 failed, 0 connected
    bool m_eof = false;        // the peer closed its side
};

}  // namespace Sablon
}  // namespace Halvex

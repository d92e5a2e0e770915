// A buffered sender for one stream, itself a reactor handler.
//
// Put queues bytes (all or nothing) and writes what the socket takes at once;
// the rest goes out on output readiness. The sender asks its owner's
// registration for output interest while bytes wait; the owner forwards its
// output events to the sender's handle_output and ends the sender with
// Close() (the reactor then deletes it). The sender is bound to the loop of
// the handler it is attached to.
//
// Messages to the handler ids given to WaitBufferSize / WaitException:
// MSG_BUFFER_SIZE (4) once the asked number of bytes is free,
// MSG_SOCKET_EXCEPTION (2) once, when a send fails. Both come from the
// sender's own id; one wait of each kind is kept (a later one replaces it).
//
// Threads: Put, Clear, SetBufferSize and the waits may be called from any
// thread while the loop runs handle_output; the sender has its own lock,
// taken after the caller's and before the reactor's. The output interest it
// adds through its owner carries the time-out the owner last gave for that
// socket, so a stalled send ends in the owner's handle_output_timeout.
// After a send failure the sender refuses every Put. Over a TLS stream, whose
// reads and writes share one connection state, the owner must not Recv on
// another thread while it calls Put, and the output events it forwards come
// on its own loop: the downloader keeps both under its one lock.
#pragma once

#include "Sablon/Export.h"
#include "Sablon/NetHandler.h"
#include "Sablon/Sock.h"

namespace Halvex {
namespace Sablon {

class SABLON_API CStreamSender : public CNetHandler {
public:
    enum { BLOCK_SIZE = 32768 };
    enum { MSG_SOCKET_EXCEPTION = 2, MSG_BUFFER_SIZE = 4 };

    // A new sender with a buffer of one block, or null.
    static CStreamSender* Create();

    // Sends through `stream` on behalf of `owner`; 0, or -1 when already
    // attached or an argument is null.
    int Attach(CNetHandler* owner, CSockStream* stream);
    // Stops using the stream (queued bytes stay queued); 0.
    int Detach();
    // Buffer capacity in blocks of BLOCK_SIZE bytes.
    int GetBufferSize() const;
    // New capacity in blocks; negative when `blocks` < 1 or the bytes already
    // queued would not fit.
    int SetBufferSize(int blocks);
    // Queues all `len` bytes, or nothing: negative when they do not fit the
    // free space, the sender is not attached or has failed.
    int Put(const char* data, int len);
    // Asks for MSG_BUFFER_SIZE to `handler_id` once `size` bytes are free
    // (at once, posted, when they already are). Negative when `size` exceeds
    // the capacity.
    int WaitBufferSize(long handler_id, unsigned int size);
    // Asks for MSG_SOCKET_EXCEPTION to `handler_id` when a send fails.
    int WaitException(long handler_id);
    // Drops the queued bytes.
    int Clear();

    int handle_output(int handle) override;
    int handle_close(CNetHandler* handler) override;

protected:
    CStreamSender();
    ~CStreamSender() override;

private:
    struct Impl;
    Impl* m_impl;
};

}  // namespace Sablon
}  // namespace Halvex

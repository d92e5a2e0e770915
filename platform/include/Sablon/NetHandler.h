// The reactor's handler base.
//
// A process-wide set of loop threads (one event base each; as many as
// hardware threads, at least 2) starts with the first handler and stops
// cleanly at process exit. Each handler is bound to one loop when it is
// constructed; its socket events, time-outs, messages and its handle_close
// all run on that loop, so a handler sees one event at a time.
//
// Sockets: RegisterSock adds interest (mask bits MASK_INPUT, MASK_OUTPUT,
// MASK_EXCEPTION) in a socket, keyed by its descriptor; the interest is
// level-triggered and persists until dropped with UnregisterSock or
// RemoveSock. Each registered direction has its own time-out that restarts
// whenever that direction fires (and when it is registered again); when it
// expires the matching handle_*_timeout runs and the time-out starts again.
// A handler result of -1 from any socket slot removes that socket (all its
// directions) from the reactor; the handler itself stays open. Remove a
// socket before closing its descriptor.
//
// What each direction reports: input is readable data, the peer's close
// (Recv then gives a negative value) and any socket error; output is
// writability, the end of a connect (refused ones included: read it with
// GetConnectStatus) and errors. Exception reports only what neither would:
// it fires while exception is the socket's sole interest, when the socket is
// in error or gone in both directions; the peer's orderly close is never an
// exception.
//
// Messages: Notify posts handle_message(sender id, msg, param) to the target's
// loop; it never runs the target on the caller's thread. Messages from one
// handler (or one thread) arrive in the order they were posted. A message to
// an unknown id, or to a handler on which Close() has been called, is
// dropped (Notify returns -1); messages still queued when Close() is called
// are dropped too. A message posted on a loop thread to a handler of the same
// loop runs only after that loop has polled its sockets again and run the
// events that were ready: a handler that stops after its share of work and
// posts itself a message to go on lets every other handler of its loop have
// its turn first.
//
// Life: Close() is idempotent. handle_close runs exactly once, on the
// handler's loop, after any event of that handler already running has ended;
// no event is delivered after it. handle_close may delete the handler.
// Otherwise delete a handler only once its handle_close has run, or when it
// was never closed and no event can be running for it (deleting it then
// drops its sockets, queued messages and pending close).
// At process exit every handler still open is closed: its handle_close runs
// on its loop before the loops stop.
#pragma once

#include <cstdint>
#include <memory>

#include "Sablon/Export.h"
#include "Sablon/Sock.h"

namespace Halvex {
namespace Sablon {

struct HandlerCore;

class SABLON_API CNetHandler {
public:
    enum Mask { MASK_INPUT = 1, MASK_OUTPUT = 2, MASK_EXCEPTION = 4 };

    CNetHandler();
    virtual ~CNetHandler();
    CNetHandler(const CNetHandler&) = delete;
    CNetHandler& operator=(const CNetHandler&) = delete;

    // Reactor slots; the base versions do nothing and return 0.
    virtual int handle_input(int handle);
    virtual int handle_output(int handle);
    virtual int handle_exception(int handle);
    virtual int handle_input_timeout(int handle);
    virtual int handle_output_timeout(int handle);
    virtual int handle_exception_timeout(int handle);
    virtual int handle_timeout(long id);
    virtual int handle_close(CNetHandler* handler);
    virtual int handle_message(long from_id, unsigned int msg, long param);
    // Ends the handler: drops its sockets and schedules handle_close.
    virtual int Close();

    // Unique, non-zero, never reused within the process.
    long GetID() const { return m_id; }

    // Adds interest in `mask` for `sock`, with `timeout_us` microseconds as
    // the time-out of each direction in the mask (0: none). May be called
    // from any thread. 0 on success, -1 when the registration could not be
    // made (no descriptor, a descriptor that is not a socket or pipe, mask
    // bits other than 1, 2, 4, a closed handler, reactor failure).
    int RegisterSock(CSock& sock, int mask, uint32_t timeout_us);
    // Drops the directions in `mask`; 0, or -1 when not registered.
    int UnregisterSock(CSock& sock, int mask);
    // Drops the socket entirely; harmless when not registered.
    int RemoveSock(CSock& sock);
    // Posts a message to handler `to_id`; 0 when posted, -1 when no such
    // handler is open.
    int Notify(long to_id, unsigned int msg, long param);

private:
    friend class CReactor;
    long m_id;
    // The reactor's record of this handler (loop, sockets, state); it may
    // outlive the handler object.
    std::shared_ptr<HandlerCore> m_core;
};

}  // namespace Sablon
}  // namespace Halvex

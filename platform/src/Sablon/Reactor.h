// The reactor under CNetHandler: loop threads, handler records, socket
// registrations, message and close delivery. Internal to the platform layer.
//
// Threads: max(2, hardware threads) loops, each a thread running one event
// base, started together on the first handler's construction. A handler is
// bound round-robin to one loop; everything delivered to it runs there.
//
// Records: each handler has a HandlerCore (shared, it may outlive the
// handler object). Its state goes OPEN -> CLOSING (Close called: sockets
// dropped, handle_close posted) -> CLOSED (handle_close started, or the
// handler object destroyed). Only an OPEN handler receives events or
// messages; the state is checked on the loop right before each call, with
// the record's lock released during the call itself.
//
// Sockets: one registration per (handler, descriptor) with one libevent
// event per direction, so each direction has its own time-out (a persistent
// event's time-out restarts whenever it fires). Events are dropped without
// blocking and freed through libevent finalizers on the loop, so a foreign
// thread never waits for a running callback.
//
// Exit: at process exit every handler still open is closed (its
// handle_close runs on its loop), the loops are stopped and joined and their
// bases freed.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "Sablon/NetHandler.h"

namespace Halvex {
namespace Sablon {

class CLoop;
struct SockReg;

enum class CoreState { OPEN, CLOSING, CLOSED };

struct HandlerCore {
    std::mutex mutex;
    CNetHandler* handler = nullptr;  // null once handle_close started or the object died
    long id = 0;
    CLoop* loop = nullptr;  // null when the reactor is down
    CoreState state = CoreState::OPEN;
    std::unordered_map<int, SockReg*> socks;
};

class CReactor {
public:
    static void Bind(CNetHandler* handler);
    static void Unbind(CNetHandler* handler);
    // `keep_timeout`: use the time-out last given for this descriptor
    // (0 when none) instead of `timeout_us`.
    static int Register(CNetHandler* handler, int fd, int mask, uint32_t timeout_us,
                        bool keep_timeout);
    static int Unregister(CNetHandler* handler, int fd, int mask);
    static int Remove(CNetHandler* handler, int fd);
    static int Notify(CNetHandler* from, long to_id, unsigned int msg, long param);
    static int Close(CNetHandler* handler);
    // Moves `handler` (which has no socket and no pending message) to the
    // loop of `to`.
    static void Rebind(CNetHandler* handler, const CNetHandler* to);

    // For tests and benchmarks.
    static int LoopCount();
    static int LoopIndexOf(const CNetHandler* handler);
    // Number of handlers not yet closed.
    static long OpenHandlers();
};

}  // namespace Sablon
}  // namespace Halvex

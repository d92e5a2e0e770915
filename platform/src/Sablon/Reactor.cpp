#include "Reactor.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include <event2/event.h>
#include <event2/thread.h>
#include <openssl/ssl.h>

#include "Mardel/Log.h"
#include "Mardel/ProcessExit.h"
#include "SockIo.h"

namespace Halvex {
namespace Sablon {

// One descriptor of one handler. Owned by its events: freed by the last
// event finalizer, so a callback of it already under way finishes with a
// valid record.
struct SockReg {
    std::shared_ptr<HandlerCore> core;
    int fd = -1;
    int mask = 0;
    bool removed = false;
    bool watch_on = false;
    uint32_t last_timeout = 0;        // the time-out last given for this descriptor
    uint32_t timeout[3] = {0, 0, 0};  // input, output, exception
    event* ev_in = nullptr;
    event* ev_out = nullptr;
    event* ev_exc_timer = nullptr;
    event* ev_exc_watch = nullptr;
    std::atomic<int> live_events{0};
};

namespace {

struct Task {
    enum Kind { MESSAGE, CLOSE, CALL } kind;
    std::shared_ptr<HandlerCore> core;
    long from;
    unsigned int msg;
    long param;
    std::function<void()> fn;
};

thread_local CLoop* t_current_loop = nullptr;

}  // namespace

class CLoop {
public:
    explicit CLoop(int index) : m_index(index) {}

    bool Start();
    // Queues a task for the loop thread; false once the loop has stopped.
    bool Post(Task&& task);
    // Runs `fn` on the loop and waits at most `timeout_ms` for it.
    bool RunSync(std::function<void()> fn, int timeout_ms);
    bool QueueEmpty() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_tasks.empty() && !m_running_batch;
    }
    void Stop(bool join);

    event_base* Base() const { return m_base; }
    int Index() const { return m_index; }

private:
    static void on_wake(evutil_socket_t, short, void* arg);
    void run_tasks();

    int m_index;
    event_base* m_base = nullptr;
    event* m_wake = nullptr;
    std::thread m_thread;
    std::mutex m_mutex;
    std::vector<Task> m_tasks;
    bool m_running_batch = false;
    bool m_stopped = false;
};

namespace {

class Reactor {
public:
    std::vector<CLoop*> loops;
    std::atomic<unsigned> next_loop{0};
    std::atomic<long> next_id{1};
    std::atomic<bool> down{false};
    std::mutex registry_mutex;
    std::unordered_map<long, std::shared_ptr<HandlerCore>> registry;
};

Reactor* g_reactor = nullptr;
std::once_flag g_reactor_once;

void shutdown_reactor();

Reactor& reactor() {
    std::call_once(g_reactor_once, [] {
#if defined(_WIN32)
        evthread_use_windows_threads();
#else
        evthread_use_pthreads();
#endif
        sock_io::startup();
        // OpenSSL registers its own exit cleanup when first initialised.
        // Initialising it before the reactor's hook is registered makes the
        // reactor shut down first (exit hooks run in reverse order), so TLS
        // streams of handlers still open at exit are freed while OpenSSL is
        // still usable.
        OPENSSL_init_ssl(0, nullptr);
        Reactor* r = new Reactor;
        unsigned n = std::thread::hardware_concurrency();
        if (n < 2)
            n = 2;
        for (unsigned i = 0; i < n; ++i) {
            CLoop* loop = new CLoop(static_cast<int>(i));
            if (!loop->Start()) {
                MARDEL_LOG(2, "reactor loop %u could not start\n", i);
                delete loop;
                continue;
            }
            r->loops.push_back(loop);
        }
        g_reactor = r;
        std::atexit(shutdown_reactor);
    });
    return *g_reactor;
}

void finalize_event(event* ev);

// Drops every event of `reg` (without blocking on a running callback) and
// forgets it; its memory goes with the last finalizer. Core lock held.
void remove_reg_locked(HandlerCore& core, SockReg* reg) {
    if (reg->removed)
        return;
    reg->removed = true;
    reg->mask = 0;
    auto it = core.socks.find(reg->fd);
    if (it != core.socks.end() && it->second == reg)
        core.socks.erase(it);
    event* evs[4] = {reg->ev_in, reg->ev_out, reg->ev_exc_timer, reg->ev_exc_watch};
    reg->ev_in = reg->ev_out = reg->ev_exc_timer = reg->ev_exc_watch = nullptr;
    int live = 0;
    for (event* ev : evs)
        if (ev)
            ++live;
    if (live == 0) {
        delete reg;
        return;
    }
    reg->live_events.store(live);
    for (event* ev : evs)
        if (ev)
            finalize_event(ev);
}

void on_finalized(event*, void* arg) {
    SockReg* reg = static_cast<SockReg*>(arg);
    if (reg->live_events.fetch_sub(1) == 1)
        delete reg;
}

void finalize_event(event* ev) {
    event_free_finalize(0, ev, on_finalized);
}

void remove_all_locked(HandlerCore& core) {
    std::vector<SockReg*> regs;
    regs.reserve(core.socks.size());
    for (auto& kv : core.socks)
        regs.push_back(kv.second);
    for (SockReg* reg : regs)
        remove_reg_locked(core, reg);
    core.socks.clear();
}

// Runs one handler call. An exception must not unwind into the event loop
// (a C library): it counts as a result of -1.
template <typename Call>
int guarded(Call call) {
    try {
        return call();
    } catch (...) {
        MARDEL_LOG(2, "an event handler threw; its result counts as -1\n");
        return -1;
    }
}

// Runs handle_close once: the handler is taken out of the record first, so
// nothing reaches it after this point.
void finish_close(const std::shared_ptr<HandlerCore>& core) {
    CNetHandler* handler;
    {
        std::lock_guard<std::mutex> lock(core->mutex);
        if (core->state == CoreState::CLOSED)
            return;
        core->state = CoreState::CLOSED;
        handler = core->handler;
        core->handler = nullptr;
    }
    if (handler)
        guarded([handler] { return handler->handle_close(handler); });
}

bool close_core(const std::shared_ptr<HandlerCore>& core) {
    CLoop* loop;
    {
        std::lock_guard<std::mutex> lock(core->mutex);
        if (core->state != CoreState::OPEN)
            return false;
        core->state = CoreState::CLOSING;
        remove_all_locked(*core);
        loop = core->loop;
    }
    Reactor& r = reactor();
    {
        std::lock_guard<std::mutex> lock(r.registry_mutex);
        r.registry.erase(core->id);
    }
    Task t{Task::CLOSE, core, 0, 0, 0, {}};
    if (loop == nullptr || r.down.load() || !loop->Post(std::move(t)))
        finish_close(core);
    return true;
}

timeval to_timeval(uint32_t us) {
    timeval tv;
    tv.tv_sec = static_cast<decltype(tv.tv_sec)>(us / 1000000u);
    tv.tv_usec = static_cast<decltype(tv.tv_usec)>(us % 1000000u);
    return tv;
}

int add_with_timeout(event* ev, uint32_t us) {
    if (us == 0)
        return event_add(ev, nullptr);
    timeval tv = to_timeval(us);
    return event_add(ev, &tv);
}

// Calls the handler of `reg` for one direction, unless the handler or the
// registration went away; a result of -1 removes the registration.
template <typename Call>
void dispatch(SockReg* reg, int bit, Call call) {
    HandlerCore& core = *reg->core;
    CNetHandler* handler;
    {
        std::lock_guard<std::mutex> lock(core.mutex);
        if (reg->removed || core.state != CoreState::OPEN || core.handler == nullptr ||
            !(reg->mask & bit))
            return;
        handler = core.handler;
    }
    int result = guarded([&] { return call(handler, reg->fd); });
    if (result == -1) {
        std::lock_guard<std::mutex> lock(core.mutex);
        remove_reg_locked(core, reg);
    }
}

void on_input(evutil_socket_t, short what, void* arg) {
    SockReg* reg = static_cast<SockReg*>(arg);
    if (what & EV_TIMEOUT)
        dispatch(reg, CNetHandler::MASK_INPUT,
                 [](CNetHandler* h, int fd) { return h->handle_input_timeout(fd); });
    else
        dispatch(reg, CNetHandler::MASK_INPUT,
                 [](CNetHandler* h, int fd) { return h->handle_input(fd); });
}

void on_output(evutil_socket_t, short what, void* arg) {
    SockReg* reg = static_cast<SockReg*>(arg);
    if (what & EV_TIMEOUT)
        dispatch(reg, CNetHandler::MASK_OUTPUT,
                 [](CNetHandler* h, int fd) { return h->handle_output_timeout(fd); });
    else
        dispatch(reg, CNetHandler::MASK_OUTPUT,
                 [](CNetHandler* h, int fd) { return h->handle_output(fd); });
}

void on_exception_timer(evutil_socket_t, short, void* arg) {
    dispatch(static_cast<SockReg*>(arg), CNetHandler::MASK_EXCEPTION,
             [](CNetHandler* h, int fd) { return h->handle_exception_timeout(fd); });
}

// Edge-triggered watch, only while exception is the sole interest: an
// exception is a socket error or a connection gone in both directions
// (POLLERR, POLLHUP), never readable data or the peer's orderly close.
void on_exception_watch(evutil_socket_t fd, short, void* arg) {
    SockReg* reg = static_cast<SockReg*>(arg);
    if (!sock_io::has_exception(static_cast<int>(fd)))
        return;
    {
        std::lock_guard<std::mutex> lock(reg->core->mutex);
        if (!reg->removed && reg->ev_exc_timer && reg->timeout[2] != 0)
            add_with_timeout(reg->ev_exc_timer, reg->timeout[2]);
    }
    dispatch(reg, CNetHandler::MASK_EXCEPTION,
             [](CNetHandler* h, int fd2) { return h->handle_exception(fd2); });
}

void shutdown_reactor() {
    Reactor& r = *g_reactor;
    if (Mardel::detail::processExiting()) {
        // The loop threads are gone already (a DLL unloading at process
        // exit): nothing can run on them, and nothing may wait for them.
        r.down.store(true);
        return;
    }
    if (t_current_loop != nullptr) {
        // exit() called from a handler: a loop cannot join itself.
        r.down.store(true);
        return;
    }
    // Close what is still open one handler at a time, oldest first, letting
    // every loop run what that posted before the next. An owner is always
    // older than the handlers it made (a downloader's sender, its retry
    // downloader), so it closes them itself in its handle_close before the
    // sweep would reach them: nothing it owns is deleted under it.
    size_t budget;
    {
        std::lock_guard<std::mutex> lock(r.registry_mutex);
        budget = 2 * r.registry.size() + 20;
    }
    bool drained = true;
    for (size_t round = 0; round < budget; ++round) {
        std::shared_ptr<HandlerCore> oldest;
        {
            std::lock_guard<std::mutex> lock(r.registry_mutex);
            for (auto& kv : r.registry)
                if (!oldest || kv.first < oldest->id)
                    oldest = kv.second;
        }
        if (oldest)
            close_core(oldest);
        drained = true;
        for (CLoop* loop : r.loops)
            if (!loop->RunSync([] {}, 5000))
                drained = false;
        if (!drained)
            break;
        bool quiet = true;
        {
            std::lock_guard<std::mutex> lock(r.registry_mutex);
            quiet = r.registry.empty();
        }
        for (CLoop* loop : r.loops)
            quiet = quiet && loop->QueueEmpty();
        if (quiet)
            break;
    }
    r.down.store(true);
    for (CLoop* loop : r.loops)
        loop->Stop(drained);
}

}  // namespace

bool CLoop::Start() {
    m_base = event_base_new();
    if (m_base == nullptr)
        return false;
    m_wake = event_new(m_base, -1, EV_FINALIZE, &CLoop::on_wake, this);
    if (m_wake == nullptr) {
        event_base_free(m_base);
        m_base = nullptr;
        return false;
    }
    m_thread = std::thread([this] {
        t_current_loop = this;
        event_base_loop(m_base, EVLOOP_NO_EXIT_ON_EMPTY);
        // Whatever was posted after the last batch (closes of handlers
        // still bound here) runs before the thread ends.
        run_tasks();
        t_current_loop = nullptr;
    });
    return true;
}

bool CLoop::Post(Task&& task) {
    bool wake;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopped)
            return false;
        wake = m_tasks.empty();
        m_tasks.push_back(std::move(task));
    }
    if (wake) {
        if (t_current_loop == this) {
            // Posted by a handler of this loop: the batch runs after the loop
            // has polled its sockets again and run what was ready (a timer
            // that is due runs after the socket events of its round). An
            // activation would run it in the current round, and a handler
            // that posts itself a message to go on would never let a socket
            // event through.
            static const timeval kNow = {0, 0};
            event_add(m_wake, &kNow);
        } else {
            event_active(m_wake, EV_READ, 0);
        }
    }
    return true;
}

bool CLoop::RunSync(std::function<void()> fn, int timeout_ms) {
    struct Done {
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
    };
    auto done = std::make_shared<Done>();
    Task t{Task::CALL, nullptr, 0, 0, 0, [fn, done] {
               fn();
               std::lock_guard<std::mutex> lock(done->m);
               done->done = true;
               done->cv.notify_all();
           }};
    if (!Post(std::move(t)))
        return false;
    std::unique_lock<std::mutex> lock(done->m);
    return done->cv.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return done->done; });
}

void CLoop::on_wake(evutil_socket_t, short, void* arg) {
    static_cast<CLoop*>(arg)->run_tasks();
}

void CLoop::run_tasks() {
    std::vector<Task> batch;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        batch.swap(m_tasks);
        m_running_batch = true;
    }
    for (Task& t : batch) {
        switch (t.kind) {
            case Task::MESSAGE: {
                CNetHandler* handler;
                {
                    std::lock_guard<std::mutex> lock(t.core->mutex);
                    if (t.core->state != CoreState::OPEN || t.core->handler == nullptr)
                        break;
                    handler = t.core->handler;
                }
                guarded([&] { return handler->handle_message(t.from, t.msg, t.param); });
                break;
            }
            case Task::CLOSE:
                finish_close(t.core);
                break;
            case Task::CALL:
                t.fn();
                break;
        }
    }
    batch.clear();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_running_batch = false;
}

void CLoop::Stop(bool join) {
    if (!m_thread.joinable())
        return;
    event_base_loopbreak(m_base);
    if (!join) {
        // A handler that never returns holds this loop: leave it rather
        // than hang the exit.
        m_thread.detach();
        return;
    }
    m_thread.join();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopped = true;
    }
    run_tasks();
    event_free(m_wake);
    m_wake = nullptr;
    event_base_free(m_base);
    m_base = nullptr;
}

void CReactor::Bind(CNetHandler* handler) {
    Reactor& r = reactor();
    auto core = std::make_shared<HandlerCore>();
    core->handler = handler;
    core->id = r.next_id.fetch_add(1);
    if (!r.down.load() && !r.loops.empty())
        core->loop = r.loops[r.next_loop.fetch_add(1) % r.loops.size()];
    handler->m_id = core->id;
    handler->m_core = core;
    std::lock_guard<std::mutex> lock(r.registry_mutex);
    r.registry.emplace(core->id, core);
}

void CReactor::Unbind(CNetHandler* handler) {
    std::shared_ptr<HandlerCore> core = std::move(handler->m_core);
    if (!core)
        return;
    {
        std::lock_guard<std::mutex> lock(core->mutex);
        core->handler = nullptr;
        if (core->state != CoreState::CLOSED) {
            core->state = CoreState::CLOSED;
            remove_all_locked(*core);
        }
    }
    Reactor& r = reactor();
    std::lock_guard<std::mutex> lock(r.registry_mutex);
    r.registry.erase(core->id);
}

int CReactor::Register(CNetHandler* handler, int fd, int mask, uint32_t timeout_us,
                       bool keep_timeout) {
    if (fd < 0 || (mask & ~7) != 0)
        return -1;
    if (mask == 0)
        return 0;
    HandlerCore& core = *handler->m_core;
    std::lock_guard<std::mutex> lock(core.mutex);
    if (core.state != CoreState::OPEN || core.loop == nullptr || reactor().down.load())
        return -1;
    event_base* base = core.loop->Base();
    SockReg* reg;
    auto it = core.socks.find(fd);
    if (it != core.socks.end()) {
        // Its descriptor was checked when it was first registered.
        reg = it->second;
    } else {
        if (!sock_io::watchable(fd))
            return -1;
        std::unique_ptr<SockReg> made(new SockReg);
        made->core = handler->m_core;
        made->fd = fd;
        reg = made.get();
        core.socks.emplace(fd, reg);
        made.release();
    }
    if (keep_timeout)
        timeout_us = reg->last_timeout;
    else
        reg->last_timeout = timeout_us;
    int new_mask = reg->mask | mask;
    bool want_watch = (new_mask & 4) && !(new_mask & 3);
    // Edge- and level-triggered events may not share a descriptor: drop the
    // exception watch before input or output interest is added.
    if (reg->watch_on && !want_watch) {
        event_del(reg->ev_exc_watch);
        reg->watch_on = false;
    }
    bool ok = true;
    if (mask & 1) {
        if (!reg->ev_in)
            reg->ev_in = event_new(base, fd, EV_READ | EV_PERSIST | EV_FINALIZE, on_input, reg);
        reg->timeout[0] = timeout_us;
        ok = ok && reg->ev_in && add_with_timeout(reg->ev_in, timeout_us) == 0;
    }
    if (ok && (mask & 2)) {
        if (!reg->ev_out)
            reg->ev_out = event_new(base, fd, EV_WRITE | EV_PERSIST | EV_FINALIZE, on_output, reg);
        reg->timeout[1] = timeout_us;
        ok = ok && reg->ev_out && add_with_timeout(reg->ev_out, timeout_us) == 0;
    }
    if (ok && (mask & 4)) {
        reg->timeout[2] = timeout_us;
        if (timeout_us != 0) {
            if (!reg->ev_exc_timer)
                reg->ev_exc_timer =
                    event_new(base, -1, EV_PERSIST | EV_FINALIZE, on_exception_timer, reg);
            ok = ok && reg->ev_exc_timer && add_with_timeout(reg->ev_exc_timer, timeout_us) == 0;
        } else if (reg->ev_exc_timer) {
            event_del(reg->ev_exc_timer);
        }
    }
    if (ok && want_watch && !reg->watch_on) {
        if (!reg->ev_exc_watch)
            reg->ev_exc_watch = event_new(base, fd, EV_READ | EV_ET | EV_PERSIST | EV_FINALIZE,
                                          on_exception_watch, reg);
        ok = reg->ev_exc_watch && event_add(reg->ev_exc_watch, nullptr) == 0;
        reg->watch_on = ok;
    }
    if (!ok) {
        MARDEL_LOG(2, "registration of descriptor %d failed, mask %d\n", fd, mask);
        // Keep what was registered before; a new record is dropped whole.
        if (reg->mask == 0)
            remove_reg_locked(core, reg);
        return -1;
    }
    reg->mask = new_mask;
    return 0;
}

int CReactor::Unregister(CNetHandler* handler, int fd, int mask) {
    HandlerCore& core = *handler->m_core;
    std::lock_guard<std::mutex> lock(core.mutex);
    auto it = core.socks.find(fd);
    if (it == core.socks.end())
        return -1;
    SockReg* reg = it->second;
    mask &= 7;
    if ((mask & 1) && reg->ev_in)
        event_del(reg->ev_in);
    if ((mask & 2) && reg->ev_out)
        event_del(reg->ev_out);
    if ((mask & 4) && reg->ev_exc_timer)
        event_del(reg->ev_exc_timer);
    reg->mask &= ~mask;
    if (reg->mask == 0) {
        remove_reg_locked(core, reg);
        return 0;
    }
    bool want_watch = (reg->mask & 4) && !(reg->mask & 3);
    if (want_watch && !reg->watch_on) {
        if (!reg->ev_exc_watch)
            reg->ev_exc_watch =
                event_new(core.loop->Base(), fd, EV_READ | EV_ET | EV_PERSIST | EV_FINALIZE,
                          on_exception_watch, reg);
        reg->watch_on = reg->ev_exc_watch && event_add(reg->ev_exc_watch, nullptr) == 0;
    } else if (!want_watch && reg->watch_on) {
        event_del(reg->ev_exc_watch);
        reg->watch_on = false;
    }
    return 0;
}

int CReactor::Remove(CNetHandler* handler, int fd) {
    HandlerCore& core = *handler->m_core;
    std::lock_guard<std::mutex> lock(core.mutex);
    auto it = core.socks.find(fd);
    if (it != core.socks.end())
        remove_reg_locked(core, it->second);
    return 0;
}

int CReactor::Notify(CNetHandler* from, long to_id, unsigned int msg, long param) {
    if (to_id == 0)
        return -1;
    Reactor& r = reactor();
    std::shared_ptr<HandlerCore> core;
    {
        std::lock_guard<std::mutex> lock(r.registry_mutex);
        auto it = r.registry.find(to_id);
        if (it == r.registry.end())
            return -1;
        core = it->second;
    }
    CLoop* loop;
    {
        std::lock_guard<std::mutex> lock(core->mutex);
        if (core->state != CoreState::OPEN)
            return -1;
        loop = core->loop;
    }
    if (loop == nullptr || r.down.load())
        return -1;
    Task t{Task::MESSAGE, std::move(core), from->GetID(), msg, param, {}};
    return loop->Post(std::move(t)) ? 0 : -1;
}

int CReactor::Close(CNetHandler* handler) {
    if (!handler->m_core)
        return 0;
    close_core(handler->m_core);
    return 0;
}

void CReactor::Rebind(CNetHandler* handler, const CNetHandler* to) {
    if (!handler->m_core || !to->m_core || handler->m_core == to->m_core)
        return;
    CLoop* loop;
    {
        std::lock_guard<std::mutex> lock(to->m_core->mutex);
        loop = to->m_core->loop;
    }
    std::lock_guard<std::mutex> lock(handler->m_core->mutex);
    if (handler->m_core->socks.empty() && loop != nullptr)
        handler->m_core->loop = loop;
}

int CReactor::LoopCount() {
    return static_cast<int>(reactor().loops.size());
}

int CReactor::LoopIndexOf(const CNetHandler* handler) {
    if (!handler->m_core)
        return -1;
    std::lock_guard<std::mutex> lock(handler->m_core->mutex);
    return handler->m_core->loop ? handler->m_core->loop->Index() : -1;
}

long CReactor::OpenHandlers() {
    Reactor& r = reactor();
    std::lock_guard<std::mutex> lock(r.registry_mutex);
    return static_cast<long>(r.registry.size());
}

}  // namespace Sablon
}  // namespace Halvex

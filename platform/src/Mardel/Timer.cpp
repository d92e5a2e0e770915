#include "Mardel/Timer.h"

#include "ProcessExit.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <queue>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "Mardel/Log.h"

namespace Halvex {
namespace Mardel {

// One timer's shared state. The service's queues hold it weakly, a worker
// strongly while it runs a call, so a timer may be deleted at any moment.
//
// `gen` numbers the schedules: start() and stop() raise it, and a due call
// of an older schedule is dropped. `running` and `runner` tell whether a
// call is under way and on which thread; `pending` records a call of schedule
// `pending_gen` that fell due meanwhile and is made when the running one ends.
struct CTimer::State {
    explicit State(const char* n) : name(n ? n : "") {}

    const std::string name;
    std::mutex mutex;
    std::condition_variable idle;
    Procedure proc;
    unsigned long param = 0;
    uint32_t period = 0;
    uint32_t timeout = 0;
    bool started = false;
    uint64_t gen = 0;
    bool running = false;
    std::thread::id runner;
    bool pending = false;
    uint64_t pending_gen = 0;
};

namespace {

using Clock = std::chrono::steady_clock;

// The process-wide service: one scheduling thread and a pool of workers that
// grows whenever a call falls due and no worker is idle. Idle workers end
// after a while; the scheduling thread lives as long as the process. The
// service itself is never destroyed, so timers owned by objects with static
// storage can still be stopped while the process exits.
class TimerService {
public:
    static TimerService& instance() {
        static TimerService* service = new TimerService;
        return *service;
    }

    // Queues the first call of schedule `gen` of `state` at `due`. False when
    // the scheduling thread cannot be started.
    bool schedule(const std::shared_ptr<CTimer::State>& state, uint64_t gen, Clock::time_point due,
                  uint32_t period) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_scheduler_started) {
            try {
                std::thread(&TimerService::schedulerLoop, this).detach();
            } catch (const std::system_error&) {
                return false;
            }
            m_scheduler_started = true;
        }
        m_due.push(Entry{due, m_seq++, state, gen, period});
        m_schedule_cond.notify_one();
        return true;
    }

private:
    struct Entry {
        Clock::time_point due;
        uint64_t seq;  // keeps calls due at the same moment in start order
        std::weak_ptr<CTimer::State> state;
        uint64_t gen;
        uint32_t period;
    };
    struct Later {
        bool operator()(const Entry& a, const Entry& b) const {
            return a.due != b.due ? a.due > b.due : a.seq > b.seq;
        }
    };
    struct Work {
        std::shared_ptr<CTimer::State> state;
        uint64_t gen;
    };

    static constexpr std::chrono::seconds kWorkerIdleLife{30};

    // Lock order: m_mutex, then a timer's own mutex; never the reverse.
    void schedulerLoop() {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            if (m_due.empty()) {
                m_schedule_cond.wait(lock);
                continue;
            }
            Clock::time_point now = Clock::now();
            Clock::time_point next = m_due.top().due;  // a copy: the queue may grow meanwhile
            if (next > now) {
                m_schedule_cond.wait_until(lock, next);
                continue;
            }
            Entry entry = m_due.top();
            m_due.pop();
            std::shared_ptr<CTimer::State> state = entry.state.lock();
            if (!state)
                continue;
            {
                std::lock_guard<std::mutex> timer_lock(state->mutex);
                if (!state->started || state->gen != entry.gen)
                    continue;
            }
            m_ready.push_back(Work{state, entry.gen});
            if (m_idle_workers < m_ready.size())
                startWorker();
            m_work_cond.notify_one();
            if (entry.period > 0) {
                entry.due += std::chrono::milliseconds(entry.period);
                if (entry.due < now)
                    entry.due = now + std::chrono::milliseconds(entry.period);
                entry.seq = m_seq++;
                m_due.push(entry);
            }
        }
    }

    // Called with m_mutex held. A worker that cannot be started leaves its
    // call to the next worker that becomes idle.
    void startWorker() {
        try {
            std::thread(&TimerService::workerLoop, this).detach();
            ++m_idle_workers;  // counted idle until it takes its first call
        } catch (const std::system_error&) {
            MARDEL_LOG(2, "cannot start a timer worker thread\n");
        }
    }

    void workerLoop() {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            if (m_ready.empty()) {
                if (!m_work_cond.wait_for(lock, kWorkerIdleLife,
                                          [this] { return !m_ready.empty(); })) {
                    --m_idle_workers;
                    return;
                }
            }
            Work work = std::move(m_ready.front());
            m_ready.pop_front();
            --m_idle_workers;
            lock.unlock();
            run(work);
            work.state.reset();
            lock.lock();
            ++m_idle_workers;
        }
    }

    static void run(const Work& work) {
        CTimer::State& st = *work.state;
        std::unique_lock<std::mutex> lock(st.mutex);
        if (!st.started || st.gen != work.gen)
            return;
        if (st.running) {
            st.pending = true;
            st.pending_gen = work.gen;
            return;
        }
        st.running = true;
        st.runner = std::this_thread::get_id();
        uint64_t gen = work.gen;
        for (;;) {
            CTimer::Procedure proc = st.proc;
            unsigned long param = st.param;
            uint32_t period = st.period;
            uint32_t timeout = st.timeout;
            lock.unlock();
            Clock::time_point began = Clock::now();
            try {
                proc(param);
            } catch (...) {
                MARDEL_LOG(2, "timer %s: procedure threw an exception\n", st.name.c_str());
            }
            if (timeout > 0) {
                auto took =
                    std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began);
                if (took.count() > static_cast<long long>(timeout))
                    MARDEL_LOG(4, "timer %s: call took %lld ms, over its bound of %u ms\n",
                               st.name.c_str(), static_cast<long long>(took.count()), timeout);
            }
            lock.lock();
            if (period == 0 && st.gen == gen)
                st.started = false;
            if (st.pending) {
                st.pending = false;
                if (st.started && st.gen == st.pending_gen) {
                    gen = st.pending_gen;
                    continue;
                }
            }
            break;
        }
        st.running = false;
        st.runner = std::thread::id();
        st.idle.notify_all();
    }

    std::mutex m_mutex;
    std::condition_variable m_schedule_cond;
    std::condition_variable m_work_cond;
    std::priority_queue<Entry, std::vector<Entry>, Later> m_due;
    std::deque<Work> m_ready;
    size_t m_idle_workers = 0;
    uint64_t m_seq = 0;
    bool m_scheduler_started = false;
};

constexpr std::chrono::seconds TimerService::kWorkerIdleLife;

}  // namespace

CTimer::CTimer(const char* name) : m_state(std::make_shared<State>(name)) {}

CTimer::~CTimer() {
    stop(true);
}

bool CTimer::start(Procedure proc, uint32_t delay, uint32_t period, unsigned long param,
                   uint32_t timeout) {
    if (!proc)
        return false;
    uint64_t gen;
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->proc = std::move(proc);
        m_state->param = param;
        m_state->period = period;
        m_state->timeout = timeout;
        m_state->started = true;
        m_state->pending = false;
        gen = ++m_state->gen;
    }
    Clock::time_point due = Clock::now() + std::chrono::milliseconds(delay);
    if (TimerService::instance().schedule(m_state, gen, due, period))
        return true;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    if (m_state->gen == gen)
        m_state->started = false;
    return false;
}

bool CTimer::stop(bool wait) {
    // At a DLL's exit work the timer threads are gone, possibly holding this
    // lock: nothing is left to stop.
    if (detail::processExiting())
        return true;
    std::unique_lock<std::mutex> lock(m_state->mutex);
    m_state->started = false;
    m_state->pending = false;
    ++m_state->gen;
    if (wait && m_state->running && m_state->runner != std::this_thread::get_id())
        m_state->idle.wait(lock, [this] { return !m_state->running; });
    return true;
}

bool CTimer::isStarted() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->started;
}

const char* CTimer::getName() const {
    return m_state->name.c_str();
}

}  // namespace Mardel
}  // namespace Halvex

// CTimer on the timer service, scripted in tests/data/mardel_base.txt
// [timer]: worker threads, one-shot and periodic schedules, stop from inside
// a call, deletion while a call runs, blocked calls that must not hold back
// other timers.
#include <gtest/gtest.h>

#include "Mardel/Timer.h"
#include "support/DnsFixture.h"

using corvio_test::Case;
using Halvex::Mardel::CTimer;

namespace {

constexpr int kTimers = 24;

// Timer t calls probe t. Steps (t: 0..23):
//   probe | t | options: sleep=ms (each call lasts), stop=n (stop(false) from
//           inside the n-th call), delete (the first call deletes its timer)
//   start | t | delay | period | param | result;  empty | t (start without a
//   procedure fails);  stop | t | wait | result;  delete | t
//   mark;  took | min | max (ms since mark);  sleep | ms
//   expect | t | calls, param, running, max (most calls at once), started,
//           alive, other (the last call ran off the main thread) | value
//           (within 5 s; check: at once)
class TimerScript {
public:
    ~TimerScript() {
        for (auto& t : timers)
            delete t.exchange(nullptr);
    }
    void step(const Case& c) {
        const std::string& op = c[0];
        const std::string& w = c.where;
        Probe* p = c.fields.size() > 1 && isdigit(c[1][0]) ? &probes[c.num(1)] : nullptr;
        if (op == "probe") {
            for (size_t i = 2; i < c.fields.size(); ++i) {
                const int v = atoi(c[i].c_str() + c[i].find('=') + 1);
                (c[i].rfind("sleep=", 0) == 0 ? p->sleep_ms : p->stop_after) = v;
                p->self_delete = c[i] == "delete" ? &timers[c.num(1)] : p->self_delete;
            }
        } else if (op == "start" || op == "empty") {
            const bool started = timer(c)->start(
                op == "empty" ? CTimer::Procedure() : CTimer::Procedure(&Probe::proc, p),
                op == "empty" ? 0 : static_cast<uint32_t>(c.unum(2)),
                op == "empty" ? 0 : static_cast<uint32_t>(c.unum(3)),
                op == "empty" ? 0 : static_cast<unsigned long>(c.unum(4)), 0);
            EXPECT_EQ(started, op == "start" && c.yes(5)) << w;
        } else if (op == "stop") {
            EXPECT_EQ(timer(c)->stop(c.yes(2)), c.yes(3)) << w;
        } else if (op == "delete") {
            delete timers[c.num(1)].exchange(nullptr);
        } else if (op == "mark") {
            mark = std::chrono::steady_clock::now();
        } else if (op == "took") {
            EXPECT_GE(corvio_test::msSince(mark), c.num(1)) << w;
            EXPECT_LT(corvio_test::msSince(mark), c.num(2)) << w;
        } else if (op == "sleep") {
            std::this_thread::sleep_for(std::chrono::milliseconds(c.num(1)));
        } else if (op == "expect" || op == "check") {
            const std::string& q = c[2];
            long long got = 0;
            EXPECT_TRUE(corvio_test::waitUntil(
                [&] {
                    got = q == "calls"     ? p->calls.load()
                          : q == "param"   ? static_cast<long long>(p->param.load())
                          : q == "running" ? p->running.load()
                          : q == "max"     ? p->max_running.load()
                          : q == "started" ? timer(c)->isStarted()
                          : q == "alive"   ? timers[c.num(1)].load() != nullptr
                          : q == "other"   ? p->other_thread.load()
                                           : -1;
                    return got == c.num(3);
                },
                op == "check" ? 0 : 5000))
                << w << ": " << got;
        } else {
            ADD_FAILURE() << w << ": unknown step " << op;
        }
    }

private:
    struct Probe {
        std::atomic<int> calls{0}, running{0}, max_running{0}, sleep_ms{0}, stop_after{0};
        std::atomic<unsigned long> param{0};
        std::atomic<bool> other_thread{false};
        std::atomic<CTimer*>* self_delete = nullptr;
        std::atomic<CTimer*>* self = nullptr;
        std::thread::id main = std::this_thread::get_id();

        void proc(unsigned long value) {
            const int now = ++running;
            for (int seen = max_running;
                 now > seen && !max_running.compare_exchange_weak(seen, now);) {
            }
            other_thread = std::this_thread::get_id() != main;
            param = value;
            std::this_thread::sleep_for(std::chrono::milliseconds(sleep_ms));
            const int n = ++calls;
            if (stop_after > 0 && n >= stop_after)
                (*self).load()->stop(false);
            if (self_delete)
                delete self_delete->exchange(nullptr);
            --running;
        }
    };
    CTimer* timer(const Case& c) {
        std::atomic<CTimer*>& slot = timers[c.num(1)];
        probes[c.num(1)].self = &slot;
        CTimer* none = nullptr;
        CTimer* made = new CTimer("test");
        if (!slot.compare_exchange_strong(none, made))
            delete made;
        return slot.load();
    }

    Probe probes[kTimers];
    std::atomic<CTimer*> timers[kTimers] = {};
    std::chrono::steady_clock::time_point mark = std::chrono::steady_clock::now();
};

TEST(Timer, Scripts) {
    corvio_test::RunScript<TimerScript>("mardel_base.txt", "timer");
}

}  // namespace

// CTimer on the timer service: calls on worker threads, one-shot and
// periodic schedules, stop from inside a call, deletion while a call runs,
// and a blocked call that must not hold back another timer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Mardel/Timer.h"
#include "support/DnsFakes.h"

using corvio_test::msSince;
using corvio_test::waitUntil;
using Halvex::Mardel::CTimer;
using Clock = std::chrono::steady_clock;

namespace {

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// A procedure object whose member function the timer calls.
struct Probe {
    std::atomic<int> calls{0};
    std::atomic<unsigned long> last_param{0};
    std::atomic<int> concurrent{0};
    std::atomic<int> max_concurrent{0};
    std::atomic<int> sleep_ms{0};
    std::mutex mutex;
    std::thread::id thread;
    CTimer* self_stop = nullptr;  // stop(false) this timer from inside the call
    int stop_after = 0;
    CTimer** self_delete = nullptr;  // delete this timer from inside the call

    void proc(unsigned long param) {
        int now = ++concurrent;
        int seen = max_concurrent.load();
        while (now > seen && !max_concurrent.compare_exchange_weak(seen, now)) {
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            thread = std::this_thread::get_id();
        }
        last_param = param;
        if (sleep_ms > 0)
            sleepMs(sleep_ms);
        int n = ++calls;
        if (self_stop && n >= stop_after)
            self_stop->stop(false);
        if (self_delete && *self_delete) {
            delete *self_delete;
            *self_delete = nullptr;
        }
        --concurrent;
    }
    CTimer::Procedure bound() { return CTimer::Procedure(&Probe::proc, this); }
};

TEST(Timer, OneShotRunsOnceOnAnotherThreadAndThenIsNotStarted) {
    Probe probe;
    CTimer timer("test");
    EXPECT_FALSE(timer.isStarted());
    ASSERT_TRUE(timer.start(probe.bound(), 0, 0, 42, 0));
    ASSERT_TRUE(waitUntil([&] { return probe.calls == 1; }));
    EXPECT_TRUE(waitUntil([&] { return !timer.isStarted(); }));
    sleepMs(50);
    EXPECT_EQ(probe.calls, 1);
    EXPECT_EQ(probe.last_param, 42u);
    // Never inside start: the call ran on a worker thread.
    std::lock_guard<std::mutex> lock(probe.mutex);
    EXPECT_NE(probe.thread, std::this_thread::get_id());
}

TEST(Timer, DelayIsHonoured) {
    Probe probe;
    CTimer timer("test");
    auto began = Clock::now();
    ASSERT_TRUE(timer.start(probe.bound(), 150, 0, 0, 0));
    sleepMs(50);
    EXPECT_EQ(probe.calls, 0);
    EXPECT_TRUE(timer.isStarted());
    ASSERT_TRUE(waitUntil([&] { return probe.calls == 1; }));
    EXPECT_GE(msSince(began), 140);
}

TEST(Timer, StopBeforeTheDelayMeansNoCall) {
    Probe probe;
    CTimer timer("test");
    ASSERT_TRUE(timer.start(probe.bound(), 50, 0, 0, 0));
    EXPECT_TRUE(timer.stop());
    EXPECT_FALSE(timer.isStarted());
    sleepMs(120);
    EXPECT_EQ(probe.calls, 0);
}

TEST(Timer, EmptyProcedureDoesNotStart) {
    CTimer timer("test");
    EXPECT_FALSE(timer.start(CTimer::Procedure(), 0, 0, 0, 0));
    EXPECT_FALSE(timer.isStarted());
}

TEST(Timer, PeriodicStopsItselfFromInsideItsCall) {
    Probe probe;
    CTimer timer("test");
    probe.self_stop = &timer;
    probe.stop_after = 3;
    ASSERT_TRUE(timer.start(probe.bound(), 0, 10, 7, 0));
    ASSERT_TRUE(waitUntil([&] { return probe.calls >= 3; }));
    EXPECT_TRUE(waitUntil([&] { return !timer.isStarted(); }));
    sleepMs(60);
    EXPECT_EQ(probe.calls, 3);
}

TEST(Timer, CallsOfOneTimerNeverOverlap) {
    Probe probe;
    probe.sleep_ms = 25;
    CTimer timer("test");
    ASSERT_TRUE(timer.start(probe.bound(), 0, 5, 0, 0));
    ASSERT_TRUE(waitUntil([&] { return probe.calls >= 4; }));
    timer.stop(true);
    EXPECT_EQ(probe.max_concurrent, 1);
}

TEST(Timer, StopWithWaitWaitsForTheRunningCall) {
    Probe probe;
    probe.sleep_ms = 150;
    CTimer timer("test");
    ASSERT_TRUE(timer.start(probe.bound(), 0, 0, 0, 0));
    ASSERT_TRUE(waitUntil([&] { return probe.concurrent == 1; }));
    EXPECT_TRUE(timer.stop(true));
    EXPECT_EQ(probe.concurrent, 0);
    EXPECT_EQ(probe.calls, 1);
}

TEST(Timer, DeletingWaitsForTheRunningCall) {
    Probe probe;
    probe.sleep_ms = 150;
    auto* timer = new CTimer("test");
    ASSERT_TRUE(timer->start(probe.bound(), 0, 20, 0, 0));
    ASSERT_TRUE(waitUntil([&] { return probe.concurrent == 1; }));
    delete timer;
    EXPECT_EQ(probe.concurrent, 0);
    int calls = probe.calls;
    sleepMs(80);
    EXPECT_EQ(probe.calls, calls);  // nothing after the destructor
}

TEST(Timer, DeletingFromInsideItsOwnCallDoesNotWaitForItself) {
    Probe probe;
    CTimer* timer = new CTimer("test");
    probe.self_delete = &timer;
    ASSERT_TRUE(timer->start(probe.bound(), 0, 10, 0, 0));
    ASSERT_TRUE(waitUntil([&] { return probe.calls == 1 && probe.concurrent == 0; }));
    sleepMs(50);
    EXPECT_EQ(probe.calls, 1);
    EXPECT_EQ(timer, nullptr);
}

TEST(Timer, BlockedProcedureDoesNotDelayAnotherTimer) {
    Probe blocked;
    blocked.sleep_ms = 600;
    Probe quick;
    CTimer a("blocked");
    CTimer b("quick");
    ASSERT_TRUE(a.start(blocked.bound(), 0, 0, 0, 0));
    ASSERT_TRUE(waitUntil([&] { return blocked.concurrent == 1; }));
    auto began = Clock::now();
    ASSERT_TRUE(b.start(quick.bound(), 20, 0, 0, 0));
    ASSERT_TRUE(waitUntil([&] { return quick.calls == 1; }, 2000));
    EXPECT_LT(msSince(began), 400);
    EXPECT_EQ(blocked.calls, 0);  // still blocked
}

TEST(Timer, ManyBlockedTimersEachGetAWorker) {
    constexpr int kTimers = 24;
    std::vector<std::unique_ptr<Probe>> probes;
    std::vector<std::unique_ptr<CTimer>> timers;
    for (int i = 0; i < kTimers; ++i) {
        probes.emplace_back(new Probe);
        probes.back()->sleep_ms = 300;
        timers.emplace_back(new CTimer("many"));
    }
    auto began = Clock::now();
    for (int i = 0; i < kTimers; ++i)
        ASSERT_TRUE(timers[i]->start(probes[i]->bound(), 0, 0, i, 0));
    for (int i = 0; i < kTimers; ++i)
        ASSERT_TRUE(waitUntil([&] { return probes[i]->calls == 1; }, 5000));
    EXPECT_LT(msSince(began), 1500);  // in parallel, not 24 x 300 ms
}

TEST(Timer, RestartWhileItsCallRunsRunsAgainAfterIt) {
    Probe probe;
    probe.sleep_ms = 100;
    CTimer timer("test");
    ASSERT_TRUE(timer.start(probe.bound(), 0, 0, 1, 0));
    ASSERT_TRUE(waitUntil([&] { return probe.concurrent == 1; }));
    ASSERT_TRUE(timer.start(probe.bound(), 0, 0, 2, 0));
    ASSERT_TRUE(waitUntil([&] { return probe.calls == 2; }));
    EXPECT_EQ(probe.last_param, 2u);
    EXPECT_EQ(probe.max_concurrent, 1);
    EXPECT_TRUE(waitUntil([&] { return !timer.isStarted(); }));
}

}  // namespace

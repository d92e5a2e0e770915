// Timers on a process-wide timer service.
//
// A started timer calls its procedure with its parameter after `delay`
// milliseconds, then every `period` milliseconds unless the period is 0 (a
// one-shot timer). Procedures run on worker threads of the service, never on
// the thread that calls start(): one thread keeps the schedule and hands each
// due call to an idle worker, starting a new worker when none is idle, so a
// procedure that blocks (a resolver call, say) never delays another timer.
//
// Calls of one timer never overlap: a call that falls due while the previous
// one still runs is made right after it ends.
//
// States: a timer is started from a successful start() until stop(), until
// its destruction, or, for a one-shot timer, until its call has returned.
// start() on a started timer replaces its schedule, procedure and parameter.
//
// stop(false) ends the timer at once without waiting for a running call and
// may be called from inside that call; stop(true) also waits until a running
// call of this timer has returned, unless it is called from inside that call.
// Deleting a timer is stop(true): after the destructor no call of the
// procedure runs, except the one the destructor itself was called from.
#pragma once

#include <cstdint>
#include <memory>

#include "Mardel/Export.h"
#include "Mardel/Function.h"

namespace Halvex {
namespace Mardel {

class MARDEL_API CTimer {
public:
    typedef TFunction1<void, unsigned long> Procedure;

    explicit CTimer(const char* name);
    ~CTimer();
    CTimer(const CTimer&) = delete;
    CTimer& operator=(const CTimer&) = delete;

    // Schedules `proc(param)` after `delay` ms, then every `period` ms (0: once).
    // `timeout` is the longest one call is expected to take, in ms (0: no
    // bound); a call is never interrupted, and one that runs past its bound is
    // reported once in the log at level 4. False when `proc` is empty or the
    // service cannot take the timer; the timer is then not started.
    bool start(Procedure proc, uint32_t delay, uint32_t period, unsigned long param,
               uint32_t timeout);
    // Ends the timer; see above. Returns true.
    bool stop(bool wait = false);
    bool isStarted() const;
    const char* getName() const;

    struct State;

private:
    std::shared_ptr<State> m_state;
};

}  // namespace Mardel
}  // namespace Halvex

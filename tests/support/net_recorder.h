// Reactor handlers for tests. RecordingHandler counts every call into a
// Record the test keeps (the handler deletes itself in handle_close) and
// checks the reactor's promises meanwhile: one call at a time, nothing after
// handle_close, always on one loop thread, never on the test's thread. Hooks
// replace a slot's behaviour. KeptHandler only counts its handle_close and
// stays alive for checks made after it.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Sablon/NetHandler.h"

namespace corvio_test {

struct NetMessage {
    long from;
    unsigned int msg;
    long param;
};

struct Record {
    enum Slot { INPUT, OUTPUT, EXCEPTION, INPUT_TIMEOUT, OUTPUT_TIMEOUT, EXCEPTION_TIMEOUT };
    std::atomic<int> calls[6]{};  // by Slot
    std::atomic<int> closes{0};
    std::atomic<int> after_close{0};  // calls that came after handle_close
    std::atomic<int> overlaps{0};     // calls that ran while another was running
    std::atomic<int> wrong_thread{0};
    std::atomic<int> on_caller_thread{0};
    std::thread::id caller = std::this_thread::get_id();  // calls must never run there
    std::mutex mutex;
    std::vector<NetMessage> messages;
    std::thread::id loop_thread;

    std::vector<NetMessage> Messages() {
        std::lock_guard<std::mutex> lock(mutex);
        return messages;
    }
    // No broken promise was seen.
    int Faults() const {
        return after_close.load() + overlaps.load() + wrong_thread.load() + on_caller_thread.load();
    }
};

class RecordingHandler : public Halvex::Sablon::CNetHandler {
public:
    using Hook = std::function<int(RecordingHandler*, int)>;
    using Slot = Record::Slot;

    explicit RecordingHandler(std::shared_ptr<Record> record) : rec(std::move(record)) {}

    std::shared_ptr<Record> rec;
    Hook on[6];  // by Slot; a slot without a hook returns 0
    std::function<void(RecordingHandler*, const NetMessage&)> on_message;
    std::function<void(RecordingHandler*)> on_close;

    int handle_input(int h) override { return slot(Record::INPUT, h); }
    int handle_output(int h) override { return slot(Record::OUTPUT, h); }
    int handle_exception(int h) override { return slot(Record::EXCEPTION, h); }
    int handle_input_timeout(int h) override { return slot(Record::INPUT_TIMEOUT, h); }
    int handle_output_timeout(int h) override { return slot(Record::OUTPUT_TIMEOUT, h); }
    int handle_exception_timeout(int h) override { return slot(Record::EXCEPTION_TIMEOUT, h); }
    int handle_message(long from, unsigned int msg, long param) override {
        enter();
        NetMessage m{from, msg, param};
        {
            std::lock_guard<std::mutex> lock(rec->mutex);
            rec->messages.push_back(m);
        }
        if (on_message)
            on_message(this, m);
        m_busy.store(false);
        return 0;
    }
    int handle_close(Halvex::Sablon::CNetHandler*) override {
        enter();
        if (on_close)
            on_close(this);
        m_busy.store(false);
        std::shared_ptr<Record> keep = rec;
        delete this;
        keep->closes.fetch_add(1);
        return 0;
    }

private:
    void enter() {
        rec->after_close += rec->closes.load() > 0;
        rec->overlaps += m_busy.exchange(true);
        std::thread::id self = std::this_thread::get_id();
        rec->on_caller_thread += self == rec->caller;
        std::lock_guard<std::mutex> lock(rec->mutex);
        if (rec->loop_thread == std::thread::id())
            rec->loop_thread = self;
        rec->wrong_thread += rec->loop_thread != self;
    }
    int slot(Slot which, int h) {
        enter();
        rec->calls[which].fetch_add(1);
        int r = on[which] ? on[which](this, h) : 0;
        m_busy.store(false);
        return r;
    }
    std::atomic<bool> m_busy{false};
};

struct KeptHandler : Halvex::Sablon::CNetHandler {
    std::atomic<int> closes{0};
    int handle_close(Halvex::Sablon::CNetHandler*) override { return ++closes, 0; }
};

}  // namespace corvio_test

// Reactor handlers for tests. RecordingHandler counts its calls into a Record
// the test keeps (it deletes itself in handle_close; hooks replace a slot's
// behaviour) and counts each broken promise of the reactor as a fault: a call
// after handle_close, two at once, on another loop thread than before, on the
// test's thread. KeptHandler counts its handle_close and stays alive.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Sablon/NetHandler.h"
#include "Sablon/Sock.h"

namespace corvio_test {

struct NetMessage {
    long from;
    unsigned int msg;
    long param;
};

struct Record {
    enum Slot { INPUT, OUTPUT, EXCEPTION, INPUT_TIMEOUT, OUTPUT_TIMEOUT, EXCEPTION_TIMEOUT };
    std::atomic<int> calls[6]{}, closes{0}, faults{0};
    std::thread::id caller = std::this_thread::get_id(), loop_thread;
    std::mutex mutex;
    std::vector<NetMessage> messages;

    std::vector<NetMessage> Messages() {
        std::lock_guard<std::mutex> lock(mutex);
        return messages;
    }
};

class RecordingHandler : public Halvex::Sablon::CNetHandler {
public:
    explicit RecordingHandler(std::shared_ptr<Record> record) : rec(std::move(record)) {}

    std::shared_ptr<Record> rec;
    std::function<int(RecordingHandler*, int)> on[6];  // by Record::Slot; none: return 0
    std::function<void(RecordingHandler*, const NetMessage&)> on_message;
    std::function<void(RecordingHandler*)> on_close;
    Halvex::Sablon::CSockStream* stream = nullptr;  // removed and deleted after on_close

    int handle_input(int h) override { return slot(Record::INPUT, h); }
    int handle_output(int h) override { return slot(Record::OUTPUT, h); }
    int handle_exception(int h) override { return slot(Record::EXCEPTION, h); }
    int handle_input_timeout(int h) override { return slot(Record::INPUT_TIMEOUT, h); }
    int handle_output_timeout(int h) override { return slot(Record::OUTPUT_TIMEOUT, h); }
    int handle_exception_timeout(int h) override { return slot(Record::EXCEPTION_TIMEOUT, h); }
    int handle_message(long from, unsigned int msg, long param) override {
        return call([&] {
            const NetMessage m{from, msg, param};
            std::unique_lock<std::mutex> lock(rec->mutex);
            rec->messages.push_back(m);
            lock.unlock();
            return on_message ? on_message(this, m), 0 : 0;
        });
    }
    int handle_close(Halvex::Sablon::CNetHandler*) override {
        call([&] { return on_close ? on_close(this), 0 : 0; });
        if (stream)
            RemoveSock(*stream);
        delete stream;
        std::shared_ptr<Record> keep = rec;
        delete this;
        keep->closes.fetch_add(1);
        return 0;
    }

private:
    template <class F>
    int call(F run) {
        const std::thread::id self = std::this_thread::get_id();
        std::unique_lock<std::mutex> lock(rec->mutex);
        if (rec->loop_thread == std::thread::id())
            rec->loop_thread = self;
        rec->faults += (rec->closes > 0) + m_busy.exchange(true) + (self == rec->caller) +
                       (rec->loop_thread != self);
        lock.unlock();
        const int r = run();
        m_busy.store(false);
        return r;
    }
    int slot(int which, int h) {
        return call([&] { return ++rec->calls[which], on[which] ? on[which](this, h) : 0; });
    }
    std::atomic<bool> m_busy{false};
};

inline long MsSince(std::chrono::steady_clock::time_point start) {
    using namespace std::chrono;
    return static_cast<long>(duration_cast<milliseconds>(steady_clock::now() - start).count());
}

struct KeptHandler : Halvex::Sablon::CNetHandler {
    std::atomic<int> closes{0};
    int handle_close(Halvex::Sablon::CNetHandler*) override { return ++closes, 0; }
};

}  // namespace corvio_test

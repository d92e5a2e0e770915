// Stand-ins for the DNS manager's resolver, cache clock and random source.
//
// FakeResolver installs itself as the resolver for its lifetime: each name
// answers as configured (addresses per family, a failure kind, a delay, a
// number of temporary failures before success, or a gate that holds the
// resolution until opened) and every call is counted. Names without an
// answer fail as "not found".
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Sablon/Resolver.h"

namespace corvio_test {

constexpr int kV4 = Halvex::Sablon::Inet::kFamilyIPv4;
constexpr int kV6 = Halvex::Sablon::Inet::kFamilyIPv6;

struct FakeAnswer {
    std::vector<std::string> v4;  // numeric texts, in the resolver's order
    std::vector<std::string> v6;
    // Failure of every call (none: the addresses above).
    Halvex::Sablon::ResolveError error = Halvex::Sablon::ResolveError::none;
    int temporary_failures = 0;  // calls that fail as temporary before the answer
    int delay_ms = 0;            // each call takes this long
    bool gated = false;          // each call waits until open() (at most 10 s)
};

class FakeResolver {
public:
    FakeResolver() {
        Halvex::Sablon::setResolver(
            [this](const std::string& name, int family) { return resolve(name, family); });
    }
    ~FakeResolver() {
        open();
        Halvex::Sablon::setResolver(nullptr);
    }
    FakeResolver(const FakeResolver&) = delete;
    FakeResolver& operator=(const FakeResolver&) = delete;

    void set(const std::string& name, FakeAnswer answer) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_answers[name] = std::move(answer);
    }
    // Lets every gated call (now and later) go on.
    void open() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_cond.notify_all();
    }
    int calls(const std::string& name, int family) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls[{name, family}];
    }
    int totalCalls() {
        std::lock_guard<std::mutex> lock(m_mutex);
        int n = 0;
        for (const auto& c : m_calls)
            n += c.second;
        return n;
    }
    // Calls that have entered the resolver and not yet left.
    int inside() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_inside;
    }
    // Returns of the resolver, with the steady time of each.
    std::vector<std::chrono::steady_clock::time_point> returns() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_returns;
    }

private:
    Halvex::Sablon::ResolveResult resolve(const std::string& name, int family) {
        using Halvex::Sablon::ResolveError;
        Halvex::Sablon::ResolveResult out;
        FakeAnswer answer;
        int call;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            call = ++m_calls[{name, family}];
            ++m_inside;
            auto it = m_answers.find(name);
            if (it == m_answers.end()) {
                answer.error = ResolveError::notFound;
            } else {
                answer = it->second;
            }
            if (answer.gated)
                m_cond.wait_for(lock, std::chrono::seconds(10), [this] { return m_open; });
        }
        if (answer.delay_ms > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(answer.delay_ms));
        if (call <= answer.temporary_failures) {
            out.error = ResolveError::temporary;
            out.error_text = "Temporary failure in name resolution";
        } else if (answer.error != ResolveError::none) {
            out.error = answer.error;
            out.error_text = answer.error == ResolveError::notFound ? "Name or service not known"
                             : answer.error == ResolveError::temporary
                                 ? "Temporary failure in name resolution"
                                 : "Non-recoverable failure in name resolution";
        } else {
            const std::vector<std::string>& texts = family == kV4 ? answer.v4 : answer.v6;
            for (const std::string& text : texts) {
                Halvex::Sablon::ResolvedAddress a;
                a.family = family;
                a.length = family == kV4 ? 4 : 16;
                Halvex::Sablon::Inet::parseNumeric(family, text.c_str(), a.bytes);
                out.addresses.push_back(a);
            }
            if (out.addresses.empty()) {
                out.error = ResolveError::notFound;
                out.error_text = "No address associated with hostname";
            }
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        --m_inside;
        m_returns.push_back(std::chrono::steady_clock::now());
        return out;
    }

    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_open = false;
    int m_inside = 0;
    std::map<std::string, FakeAnswer> m_answers;
    std::map<std::pair<std::string, int>, int> m_calls;
    std::vector<std::chrono::steady_clock::time_point> m_returns;
};

// Waits until `cond()` holds, at most `ms` milliseconds; its last value.
template <typename Cond>
bool waitUntil(Cond cond, int ms = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= end)
            return cond();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

inline int64_t msSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 t)
        .count();
}

}  // namespace corvio_test

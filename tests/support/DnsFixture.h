// The DNS manager driven by scripts kept as data (tests/data/dns*.txt).
//
// RunScript reads one section: a line "scenario | title" starts a fresh
// process-wide manager with a fake resolver, a fake random source (value 0)
// and the system clock; "repeat | n | k" runs the next k lines n times with
// each '#' replaced by the round (zero-padded to the width of n-1). Every
// other line is one step of DnsScript::step; the steps are listed at the top
// of tests/data/dns.txt.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DNSManager/DNSManagerImp.h"
#include "Mardel/LastError.h"
#include "support/CaseFile.h"
#include "support/FailAlloc.h"
#include "support/LogCapture.h"

namespace corvio_test {

namespace dns = Halvex::Corvio;
using Halvex::Sablon::ResolveError;
using Strings = std::set<std::string>;
constexpr int kV4 = Halvex::Sablon::Inet::kFamilyIPv4;
constexpr int kV6 = Halvex::Sablon::Inet::kFamilyIPv6;

template <typename Cond>
bool waitUntil(Cond cond, int ms = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return cond();
}

inline int64_t msSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 t)
        .count();
}

// Case `c` without its first `n` fields.
inline Case shifted(const Case& c, size_t n) {
    Case out = c;
    out.fields.erase(out.fields.begin(), out.fields.begin() + static_cast<long>(n));
    out.nulls.erase(out.nulls.begin(), out.nulls.begin() + static_cast<long>(n));
    return out;
}

template <typename Script>
void RunScript(const std::string& file, const std::string& section) {
    std::vector<Case> cases = LoadCases(file, section, 1);
    std::unique_ptr<Script> s;
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].where);
        if (cases[i][0] == "scenario") {
            s.reset();
            s.reset(new Script);
            continue;
        }
        ASSERT_TRUE(s) << "a step before the first scenario";
        if (cases[i][0] != "repeat") {
            s->step(cases[i]);
            continue;
        }
        const size_t n = cases[i].unum(1), k = cases[i].unum(2);
        const size_t width = std::to_string(n - 1).size();
        for (size_t round = 0; round < n; ++round) {
            std::string idx = std::to_string(round);
            idx.insert(0, width - idx.size(), '0');
            for (size_t j = i + 1; j <= i + k && j < cases.size(); ++j) {
                Case sub = cases[j];
                for (std::string& f : sub.fields)
                    for (size_t p; (p = f.find('#')) != std::string::npos;)
                        f.replace(p, 1, idx);
                s->step(sub);
            }
        }
        i += k;
    }
}

// Each name answers as set: addresses per family, or a failure (error=),
// after `temp` temporary failures, `delay` ms late, or held until open().
// Unknown names are not found. Every call is counted.
class FakeResolver {
public:
    struct Answer {
        std::vector<std::string> v4, v6;
        ResolveError error = ResolveError::none;
        int temporary_failures = 0, delay_ms = 0;
        bool gated = false;
    };
    FakeResolver() {
        Halvex::Sablon::setResolver(
            [this](const std::string& name, int family) { return resolve(name, family); });
    }
    ~FakeResolver() {
        open();
        Halvex::Sablon::setResolver(nullptr);
    }
    void set(const std::string& name, const Answer& answer) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_answers[name] = answer;
    }
    void open() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_cond.notify_all();
    }
    std::mutex m_mutex;
    std::map<std::pair<std::string, int>, int> m_calls;
    int m_inside = 0;
    std::vector<std::chrono::steady_clock::time_point> m_returns;

private:
    Halvex::Sablon::ResolveResult resolve(const std::string& name, int family) {
        Halvex::Sablon::ResolveResult out;
        Answer a;
        int call;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            call = ++m_calls[{name, family}];
            ++m_inside;
            auto it = m_answers.find(name);
            if (it == m_answers.end())
                a.error = ResolveError::notFound;
            else
                a = it->second;
            if (a.gated)
                m_cond.wait_for(lock, std::chrono::seconds(10), [this] { return m_open; });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(a.delay_ms));
        out.error = call <= a.temporary_failures ? ResolveError::temporary : a.error;
        for (const std::string& text : family == kV4 ? a.v4 : a.v6) {
            Halvex::Sablon::ResolvedAddress r;
            r.family = family;
            r.length = family == kV4 ? 4 : 16;
            Halvex::Sablon::Inet::parseNumeric(family, text.c_str(), r.bytes);
            if (out.error == ResolveError::none)
                out.addresses.push_back(r);
        }
        if (out.error == ResolveError::none && out.addresses.empty())
            out.error = ResolveError::notFound;
        out.error_text = out.error == ResolveError::notFound ? "Name or service not known"
                         : out.error == ResolveError::temporary
                             ? "Temporary failure in name resolution"
                             : "Non-recoverable failure in name resolution";
        std::lock_guard<std::mutex> lock(m_mutex);
        --m_inside;
        m_returns.push_back(std::chrono::steady_clock::now());
        return out;
    }
    std::condition_variable m_cond;
    bool m_open = false;
    std::map<std::string, Answer> m_answers;
};

// The cache's clock and random source. "clock | block" makes the next
// reading of the clock take 300 ms (g_clock_block: 1 armed, 2 inside, 3 done).
inline std::atomic<uint64_t> g_now{0};
inline std::atomic<int32_t> g_random{0};
inline std::atomic<int> g_random_bytes{4};
inline std::atomic<int> g_clock_block{0};
inline uint64_t fakeClock() {
    int armed = 1;
    if (g_clock_block.compare_exchange_strong(armed, 2)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        g_clock_block = 3;
    }
    return g_now.load();
}
inline int fakeRandom(void* out, int size) {
    int32_t v = g_random.load();
    int n = std::min(g_random_bytes.load(), size);
    if (n >= 0)
        memcpy(out, &v, static_cast<size_t>(n));
    return n;
}

class DnsScript {
public:
    DnsScript() {
        g_random = 0;
        g_random_bytes = 4;
        g_clock_block = 0;
        dns::CDNSManager::setRandomSource(&fakeRandom);
        dns::CDNSManager::setCacheClock(nullptr);
        dns::CDNSManager::getInstance()->destroy();
        mgr = dns::CDNSManager::getInstance();
        mgr->getRandom();
    }
    ~DnsScript() {
        resolver->open();
        join();
        mgr->destroy();
        capture.reset();
        resolver.reset();
        dns::CDNSManager::setRandomSource(nullptr);
        dns::CDNSManager::setCacheClock(nullptr);
    }

    void step(const Case& c) {
        const std::string& op = c[0];
        const std::string& w = c.where;
        if (op == "answer") {
            FakeResolver::Answer a;
            a.v4 = words(c[2]);
            a.v6 = words(c[3]);
            for (size_t i = 4; i < c.fields.size(); ++i) {
                const std::string& o = c[i];
                const long long v = atoll(o.c_str() + o.find('=') + 1);
                a.gated |= o == "gated";
                a.delay_ms = o.rfind("delay=", 0) == 0 ? static_cast<int>(v) : a.delay_ms;
                a.temporary_failures =
                    o.rfind("temp=", 0) == 0 ? static_cast<int>(v) : a.temporary_failures;
                a.error = o == "error=notFound"    ? ResolveError::notFound
                          : o == "error=temporary" ? ResolveError::temporary
                          : o == "error=permanent" ? ResolveError::permanent
                                                   : a.error;
            }
            resolver->set(c[1], a);
        } else if (op == "throwing") {
            Halvex::Sablon::setResolver(
                [](const std::string&, int) -> Halvex::Sablon::ResolveResult {
                    throw std::bad_alloc();
                });
        } else if (op == "open") {
            resolver->open();
        } else if (op == "get" || op == "all") {
            // get | name | family | timeout | mode | result | ip ("-": untouched) | last error
            // all | name | timeout | mode | result | last error | addresses... ("stale": untouched)
            const bool one = op == "get";
            const size_t r = one ? 5 : 4;
            std::string ip = "-";
            Strings ips{"stale"};
            Halvex::Mardel::setLastError(0);
            auto began = std::chrono::steady_clock::now();
            const bool result =
                one ? mgr->getAddrInfo(c.str(1), static_cast<int>(c.num(2)), ip, c.unum(3),
                                       static_cast<dns::DNSMode>(c.num(4)))
                    : mgr->getAddrInfoAll(c.str(1), ips, c.unum(2),
                                          static_cast<dns::DNSMode>(c.num(3)));
            took = msSince(began);
            const unsigned code = Halvex::Mardel::getLastError();
            if (c[r] != "*")
                EXPECT_EQ(result, c.yes(r)) << w;
            if (c[one ? 7 : 5] != "*")
                EXPECT_EQ(code, codeOf(c[one ? 7 : 5])) << w;
            if (one)
                EXPECT_EQ(ip, c[6]) << w;
            else if (c.fields.size() < 7 || c[6] != "*")
                EXPECT_EQ(ips, Strings(c.fields.begin() + 6, c.fields.end())) << w;
        } else if (op == "took") {
            EXPECT_GE(took.load(), c.num(1)) << w;
            EXPECT_LT(took.load(), c.num(2)) << w;
        } else if (op == "capture") {
            if (!capture)
                capture.reset(new LogCapture);
            capture->Clear();
        } else if (op == "log" || op == "logpart") {
            // log | level | function ("*": any) | message
            // logpart | level | function | parts of one message...
            bool found = false;
            for (const LogLine& l : capture->Lines()) {
                bool match = l.level == c.num(1) && (c[2] == "*" || l.function == c[2]);
                for (size_t i = 3; i < c.fields.size(); ++i)
                    match &= op == "log" ? l.message == expand(c[i])
                                         : l.message.find(c[i]) != std::string::npos;
                found |= match;
            }
            EXPECT_TRUE(found) << w;
        } else if (op == "logs") {
            // logs | prefix | the messages with this prefix, in order...
            std::vector<std::string> got, want;
            for (const std::string& m : capture->Messages())
                if (m.rfind(c[1], 0) == 0)
                    got.push_back(m);
            for (size_t i = 2; i < c.fields.size(); ++i)
                want.push_back(expand(c[i]));
            EXPECT_EQ(got, want) << w;
        } else if (op == "logcount") {
            EXPECT_EQ(capture->Count(c[1]), c.num(2)) << w;
        } else if (op == "expect" || op == "check") {
            // expect | quantity... | value (or <=value, >=value), within 5 s
            const std::string& v = c.fields.back();
            const char how = v.size() > 1 && v[1] == '=' ? v[0] : '=';
            const long long want = atoll(v.c_str() + (how == '=' ? 0 : 2));
            long long got = 0;
            EXPECT_TRUE(waitUntil(
                [&] {
                    got = quantity(c);
                    return how == '<' ? got <= want : how == '>' ? got >= want : got == want;
                },
                op == "check" ? 0 : 5000))
                << w << ": " << got;
        } else if (op == "clock") {
            dns::CDNSManager::setCacheClock(&fakeClock);
            if (c[1] == "block")
                g_clock_block = 1;
            else
                g_now = c[1][0] == '+' || c[1][0] == '-' ? g_now + c.num(1) : c.unum(1);
        } else if (op == "random") {
            g_random = static_cast<int32_t>(c.num(1));
            g_random_bytes = static_cast<int>(c.num(2));
        } else if (op == "add") {
            mgr->addCache(c[1], fam(c[2]), c[3]);
        } else if (op == "addall") {
            mgr->addCacheAll(c[1], fam(c[2]), Strings(c.fields.begin() + 3, c.fields.end()));
        } else if (op == "entry") {
            dns::DNSCacheEntry e{};
            EXPECT_TRUE(mgr->cacheEntry(c[1], fam(c[2]), &e)) << w;
            EXPECT_EQ(e.start, c.unum(3)) << w;
        } else if (op == "purge") {
            mgr->cacheTimerProc(0);
        } else if (op == "bycache") {
            std::string ip = "-";
            EXPECT_EQ(mgr->getByCache(c[1], fam(c[2]), &ip), c.yes(3)) << w;
            EXPECT_EQ(ip, c[4]) << w;
        } else if (op == "bycacheall") {
            Strings ips;
            EXPECT_EQ(mgr->getByCacheAll(c.str(1), &ips), c.yes(2)) << w;
            EXPECT_EQ(ips, Strings(c.fields.begin() + 3, c.fields.end())) << w;
        } else if (op == "dump") {
            EXPECT_TRUE(mgr->printfCache()) << w;
            EXPECT_TRUE(mgr->printfCacheIP(Strings(c.fields.begin() + 1, c.fields.end()))) << w;
        } else if (op == "pton") {
            // pton | family | text | result | text ntop gives back
            unsigned char bytes[16] = {};
            char out[64] = {};
            EXPECT_EQ(dns::Inet::pton(fam(c[1]), c.str(2), bytes), c.num(3)) << w;
            if (c.fields.size() > 4) {
                EXPECT_EQ(dns::Inet::ntop(fam(c[1]), bytes, out, sizeof(out)), out) << w;
                EXPECT_EQ(std::string(out), c[4]) << w;
            }
        } else if (op == "ntop") {
            // ntop | family | text of the bytes ((null): none) | buffer size | text, (null): fails
            unsigned char bytes[16] = {};
            char out[64] = {};
            if (c.str(2) && dns::Inet::pton(kV4, c.str(2), bytes) != 1)
                dns::Inet::pton(kV6, c.str(2), bytes);
            const char* r = dns::Inet::ntop(fam(c[1]), c.str(2) ? bytes : nullptr, out,
                                            static_cast<unsigned>(c.unum(3)));
            EXPECT_EQ(r, c.str(4) ? out : nullptr) << w;
            if (r)
                EXPECT_EQ(std::string(out), c[4]) << w;
        } else if (op == "tostr") {
            const unsigned char bytes[16] = {127, 0, 0, 1};
            std::string ip = "-";
            EXPECT_EQ(mgr->addrTostr(fam(c[1]), bytes, &ip), c.yes(2)) << w;
            EXPECT_EQ(ip, c[3]) << w;
        } else if (op == "spawn") {
            Case sub = shifted(c, 1);
            threads.emplace_back([this, sub] { step(sub); });
        } else if (op == "join") {
            auto began = std::chrono::steady_clock::now();
            join();
            took = msSince(began);
        } else if (op == "oom") {
            const Case sub = shifted(c, 2);
            FailAllocations refuse(c.unum(1));
            step(sub);
        } else if (op == "destroy") {
            mgr->destroy();
            mgr = dns::CDNSManager::getInstance();
        } else if (op == "race") {
            // race | threads: the manager is destroyed, then made by many at once.
            mgr->destroy();
            std::vector<dns::CDNSManager*> seen(c.unum(1));
            std::atomic<bool> go{false};
            std::vector<std::thread> racers;
            for (auto& s : seen)
                racers.emplace_back([&s, &go] {
                    while (!go)
                        std::this_thread::yield();
                    s = dns::CDNSManager::getInstance();
                });
            go = true;
            for (auto& t : racers)
                t.join();
            mgr = seen[0];
            for (auto* s : seen)
                EXPECT_EQ(s, mgr) << w;
        } else if (op == "sleep") {
            std::this_thread::sleep_for(std::chrono::milliseconds(c.num(1)));
        } else {
            ADD_FAILURE() << w << ": unknown step " << op;
        }
    }

private:
    static std::vector<std::string> words(const std::string& text) {
        std::istringstream in(text);
        std::vector<std::string> out;
        for (std::string word; in >> word;)
            out.push_back(word);
        return out;
    }
    static int fam(const std::string& f) { return f == "v4" ? kV4 : f == "v6" ? kV6 : stoi(f); }
    // "$4" and "$6" stand for the numbers of the two families.
    static std::string expand(std::string m) {
        for (size_t p; (p = m.find("$4")) != std::string::npos;)
            m.replace(p, 2, std::to_string(kV4));
        for (size_t p; (p = m.find("$6")) != std::string::npos;)
            m.replace(p, 2, std::to_string(kV6));
        return m;
    }
    static unsigned codeOf(const std::string& name) {
        static const std::map<std::string, unsigned> codes{
            {"0", 0},
            {"NotProvided", dns::kDNSManagerNotProvided},
            {"BadArgument", dns::kDNSManagerBadArgument},
            {"NoFreeSlot", dns::kDNSManagerNoFreeSlot},
            {"TimedOut", dns::kDNSManagerTimedOut},
            {"NotFound", dns::kDNSManagerNotFound},
            {"TemporaryFailure", dns::kDNSManagerTemporaryFailure},
            {"PermanentFailure", dns::kDNSManagerPermanentFailure},
            {"OutOfMemory", dns::kDNSManagerOutOfMemory}};
        EXPECT_TRUE(codes.count(name)) << name;
        return codes.count(name) ? codes.at(name) : 1;
    }
    // ref | all | slot, refsum, status | all | slot, inside, calls | name | family,
    // total, size, allsize, clock (the blocking read's state), lines (logged)
    long long quantity(const Case& c) {
        const std::string& q = c[1];
        if (q == "ref" || q == "status")
            return q == "ref" ? mgr->requestRef(c.yes(2), static_cast<int>(c.num(3)))
                              : mgr->requestStatus(c.yes(2), static_cast<int>(c.num(3)));
        if (q == "refsum") {
            int n = 0;
            for (int i = 0; i < dns::kRequestSlots; ++i)
                n += mgr->requestRef(false, i);
            return n;
        }
        if (q == "size" || q == "allsize")
            return static_cast<long long>(q == "size" ? mgr->cacheSize() : mgr->allCacheSize());
        if (q == "clock")
            return g_clock_block;
        if (q == "lines")
            return static_cast<long long>(capture->Lines().size());
        if (q == "gap") {  // ms between the first two returns of the resolver
            std::lock_guard<std::mutex> lock(resolver->m_mutex);
            auto& r = resolver->m_returns;
            return r.size() < 2
                       ? -1
                       : std::chrono::duration_cast<std::chrono::milliseconds>(r[1] - r[0]).count();
        }
        std::lock_guard<std::mutex> lock(resolver->m_mutex);
        if (q == "inside")
            return resolver->m_inside;
        int n = 0;
        for (const auto& call : resolver->m_calls)
            n += q == "total" || (call.first.first == c[2] && call.first.second == fam(c[3]))
                     ? call.second
                     : 0;
        return n;
    }
    void join() {
        for (auto& t : threads)
            t.join();
        threads.clear();
    }

    std::unique_ptr<FakeResolver> resolver{new FakeResolver};
    std::unique_ptr<LogCapture> capture;
    dns::CDNSManager* mgr = nullptr;
    std::atomic<int64_t> took{0};
    std::vector<std::thread> threads;
};

}  // namespace corvio_test

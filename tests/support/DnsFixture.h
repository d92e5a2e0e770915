// Script steps: the head of tests/data/dns.txt.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <iterator>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>

#include "DNSManager/DNSManagerImp.h"
#include "Mardel/LastError.h"
#include "Mardel/Log.h"
#include "Mardel/Md5.h"
#include "Sablon/StrParser.h"
#include "support/CaseFile.h"
#include "support/FailAlloc.h"
#include "support/LogCapture.h"

namespace corvio_test {

namespace dns = Halvex::Corvio;
using Halvex::Mardel::CTimer;
using Halvex::Sablon::CStrParser;
using Halvex::Sablon::ResolveError;
using Strings = std::set<std::string>;
using Clock = std::chrono::steady_clock;
constexpr int kV4 = Halvex::Sablon::Inet::kFamilyIPv4, kV6 = Halvex::Sablon::Inet::kFamilyIPv6;

template <typename Cond>
bool waitUntil(Cond cond, int ms = 5000) {
    for (auto end = Clock::now() + std::chrono::milliseconds(ms); !cond() && Clock::now() < end;)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return cond();
}
inline void sleepMs(long long ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}
inline long long msSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

inline std::atomic<uint64_t> g_now{0};
inline std::atomic<int> g_random{0}, g_random_bytes{4}, g_clock_block{0};
inline uint64_t fakeClock() {
    int armed = 1;
    if (g_clock_block.compare_exchange_strong(armed, 2))
        sleepMs(300), g_clock_block = 3;
    return g_now;
}
inline int fakeRandom(void* out, int size) {
    const int32_t v = g_random;
    const int n = std::min(g_random_bytes.load(), size);
    memcpy(out, &v, static_cast<size_t>(std::max(n, 0)));
    return n;
}

class DnsScript {
public:
    DnsScript() {
        g_random = 0, g_random_bytes = 4, g_clock_block = 0;
        dns::CDNSManager::setRandomSource(&fakeRandom), dns::CDNSManager::setCacheClock(nullptr);
        Halvex::Sablon::setResolver([this](const std::string& n, int f) { return resolve(n, f); });
        mgr()->destroy(), mgr()->getRandom();
        for (int i = 0; i < kTimers; ++i)
            m_probes[i].timer = &m_timers[i], m_timers[i] = new CTimer("test");
    }
    ~DnsScript() {
        for (auto& t : m_timers)
            delete t.exchange(nullptr);
        m_open = true;
        join();
        mgr()->destroy();
        m_capture.reset();
        Halvex::Sablon::setResolver(nullptr);
        dns::CDNSManager::setRandomSource(nullptr), dns::CDNSManager::setCacheClock(nullptr);
    }

    void step(const Case& c) {
        const std::string& op = c[0];
        const auto from = [&c](size_t i) { return Strings(c.fields.begin() + i, c.fields.end()); };
        if (op == "answer") {
            Answer a{words(c[2]), words(c[3])};
            for (size_t i = 4; i < c.fields.size(); ++i) {
                const std::string o = c[i], v = o.substr(o.find('=') + 1);
                a.gated |= o == "gated";
                a.delay_ms = o[0] == 'd' ? stoi(v) : a.delay_ms;
                a.temporary = o[0] == 't' ? stoi(v) : a.temporary;
                a.error = o[0] == 'e' ? v : a.error;
            }
            std::lock_guard<std::mutex> lock(m_mutex);
            m_answers[c[1]] = a;
        } else if (op == "throwing" || op == "open") {
            (op == "open" ? m_open : m_throw) = true;
        } else if (op == "get" || op == "all") {
            const bool one = op == "get";
            std::string ip = "-";
            Strings ips{"stale"};
            Halvex::Mardel::setLastError(0);
            const auto began = Clock::now();
            const auto mode = static_cast<dns::DNSMode>(c.num(one ? 4 : 3));
            const bool result =
                one ? mgr()->getAddrInfo(c.str(1), static_cast<int>(c.num(2)), ip, c.unum(3), mode)
                    : mgr()->getAddrInfoAll(c.str(1), ips, c.unum(2), mode);
            m_took = msSince(began);
            const unsigned code = Halvex::Mardel::getLastError();
            const size_t r = one ? 5 : 4;
            if (one)
                ips = {ip};
            EXPECT_TRUE(c[r] == "*" || result == c.yes(r)) << c.where << ": " << result;
            EXPECT_TRUE(c[r + 1] == "*" || code == std::stoul(c[r + 1], nullptr, 16))
                << c.where << ": " << code;
            EXPECT_TRUE((c.fields.size() > r + 2 && c[r + 2] == "*") || ips == from(r + 2))
                << c.where;
        } else if (op == "mark") {
            m_took = -1, m_mark = Clock::now();
        } else if (op == "capture") {
            if (!m_capture || c.fields.size() > 1)
                m_capture.reset(),
                    m_capture.reset(new LogCapture(c.fields.size() > 1 ? c.num(1) : 6));
            m_capture->Clear();
        } else if (op == "say") {
            std::string text;
            for (long long i = 0; i < c.num(3); ++i)
                text += c[2];
            int evaluated = 0;
            MARDEL_LOG(static_cast<int>(c.num(1)), "%s:%d\n", text.c_str(), ++evaluated);
            EXPECT_EQ(evaluated, c.yes(4));
        } else if (op == "md5") {
            Halvex::Utils::CMd5 md5;
            char hex[33], b64[64];
            md5.init(), md5.update(c[1].data(), c[1].size()), md5.hex(hex);
            const int n = Halvex::Utils::base64Encode(b64, c[1].data(), len(c[1]));
            EXPECT_EQ(hex + (" " + std::to_string(n)) + " " + b64,
                      c[2] + " " + std::to_string(c[3].size()) + " " + c[3]);
        } else if (op == "memmem") {
            const auto find = c.yes(3) ? &CStrParser::MemMemCase : &CStrParser::MemMem;
            const char* at = find(c[1].data(), len(c[1]), c[2].data(), len(c[2]));
            EXPECT_EQ(at ? at - c[1].data() : -1, c.num(4));
        } else if (op == "word") {
            CStrParser parser(c[1].data(), len(c[1]));
            char word[64] = {};
            if (c.yes(2))
                parser.ConsumeWhitespace();
            const int n = parser.ConsumeWord(word, static_cast<int>(c.num(3)));
            EXPECT_EQ(std::to_string(n) + " " + word, c[4] + " " + c[5]);
        } else if (op == "qualified") {
            char out[128];
            Halvex::Mardel::detail::qualifiedName(c.str(1), out, sizeof(out));
            EXPECT_EQ(std::string(out), c[2]);
        } else if (op == "lasterror") {
            Halvex::Mardel::setLastError(0x10030010);
            unsigned other = 1;
            std::thread([&other] { other = Halvex::Mardel::getLastError(); }).join();
            EXPECT_EQ(other + Halvex::Mardel::getLastError(), 0x10030010u);
        } else if (op == "log") {
            std::string text, pattern = c[3];
            for (const LogLine& l : m_capture->Lines())
                if ((c[1] == "*" || l.level == c.num(1)) && (c[2] == "*" || l.function == c[2]))
                    text += l.message;
            for (size_t p; (p = pattern.find('%')) != std::string::npos;)
                pattern.replace(p, 2, std::to_string(pattern[p + 1] == '4' ? kV4 : kV6));
            EXPECT_TRUE(std::regex_search(text, std::regex(pattern))) << ": " << text;
        } else if (op == "expect" || op == "check") {
            const std::string& v = c.fields.back();
            const long long want = atoll(v.c_str() + (isdigit(v[0]) ? 0 : 2));
            long long got = 0;
            const auto holds = [&] {
                got = quantity(c);
                return v[0] == '<' ? got <= want : v[0] == '>' ? got >= want : got == want;
            };
            EXPECT_TRUE(waitUntil(holds, op == "check" ? 0 : 5000)) << ": " << got;
        } else if (op == "clock") {
            dns::CDNSManager::setCacheClock(&fakeClock);
            if (c[1] == "block")
                g_clock_block = 1;
            else
                g_now = c[1][0] == '+' || c[1][0] == '-' ? g_now + c.num(1) : c.unum(1);
        } else if (op == "random") {
            g_random = static_cast<int32_t>(c.num(1)), g_random_bytes = static_cast<int>(c.num(2));
        } else if (op == "add" || op == "addall") {
            op == "add" ? mgr()->addCache(c[1], fam(c[2]), c[3])
                        : mgr()->addCacheAll(c[1], fam(c[2]), from(3));
        } else if (op == "purge") {
            mgr()->cacheTimerProc(0);
        } else if (op == "dump") {
            EXPECT_TRUE(mgr()->printfCache() && mgr()->printfCacheIP(from(1)));
        } else if (op == "pton") {
            unsigned char bytes[16] = {};
            char out[64] = {};
            const bool back = c.fields.size() > 4 && c.str(4);
            EXPECT_EQ(dns::Inet::pton(fam(c[1]), c.str(2), bytes), c.num(3));
            if (c.fields.size() > 4)
                EXPECT_EQ(dns::Inet::ntop(fam(c[1]), c.str(2) ? bytes : nullptr, out,
                                          c.fields.size() > 5 ? c.unum(5) : 64),
                          back ? out : nullptr);
            EXPECT_EQ(std::string(out), back ? c[4] : "");
        } else if (op == "tostr") {
            const unsigned char bytes[16] = {127, 0, 0, 1};
            std::string ip = "-";
            EXPECT_EQ(mgr()->addrTostr(fam(c[1]), bytes, &ip), c.yes(2));
            EXPECT_EQ(ip, c[3]);
        } else if (op == "spawn") {
            m_threads.emplace_back([this, sub = shifted(c)] { step(sub); });
        } else if (op == "join") {
            m_mark = Clock::now(), join(), m_took = msSince(m_mark);
        } else if (op == "oom") {
            const Case sub = shifted(shifted(c));
            FailAllocations refuse(c.unum(1));
            step(sub);
        } else if (op == "destroy") {
            mgr()->destroy();
        } else if (op == "instance") {
            std::lock_guard<std::mutex>{m_mutex}, m_instances.insert(mgr());
        } else if (op == "sleep") {
            sleepMs(c.num(1));
        } else if (op == "probe") {
            Probe& p = m_probes[c.num(1)];
            for (size_t i = 2; i < c.fields.size(); ++i)
                (c[i][1] == 'l'   ? p.sleep_ms
                 : c[i][1] == 't' ? p.stop_after
                                  : p.self_delete) = stoi(c[i].substr(c[i].find('=') + 1));
        } else if (op == "start") {
            const CTimer::Procedure proc =
                c.fields.size() > 6 ? CTimer::Procedure()
                                    : CTimer::Procedure(&Probe::proc, &m_probes[c.num(1)]);
            EXPECT_EQ(timer(c)->start(proc, c.unum(2), c.unum(3), c.unum(4), 0), c.yes(5));
        } else if (op == "stop") {
            EXPECT_EQ(timer(c)->stop(c.yes(2)), c.yes(3));
        } else if (op == "delete") {
            delete m_timers[c.num(1)].exchange(nullptr);
        } else {
            ADD_FAILURE() << "unknown step " << op;
        }
    }

private:
    static constexpr int kTimers = 24;
    struct Answer {
        std::vector<std::string> v4, v6;
        std::string error = "none";
        int temporary = 0, delay_ms = 0;
        bool gated = false;
    };
    struct Probe {
        std::atomic<int> calls{0}, running{0}, max_running{0}, sleep_ms{0}, stop_after{0};
        std::atomic<int> self_delete{0}, other_thread{0};
        std::atomic<unsigned long> param{0};
        std::atomic<CTimer*>* timer = nullptr;
        const std::thread::id main = std::this_thread::get_id();

        void proc(unsigned long value) {
            const int now = ++running;
            for (int seen = max_running; now > seen;)
                max_running.compare_exchange_weak(seen, now);
            other_thread = std::this_thread::get_id() != main;
            param = value;
            sleepMs(sleep_ms);
            if (++calls == stop_after)
                timer->load()->stop(false);
            if (self_delete)
                delete timer->exchange(nullptr);
            --running;
        }
    };

    static Case shifted(Case c) {
        c.fields.erase(c.fields.begin()), c.nulls.erase(c.nulls.begin());
        return c;
    }
    static std::vector<std::string> words(const std::string& text) {
        std::istringstream in(text);
        return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
    }
    static int len(const std::string& s) { return static_cast<int>(s.size()); }
    static int fam(const std::string& f) { return f == "v4" ? kV4 : f == "v6" ? kV6 : stoi(f); }
    static dns::CDNSManager* mgr() { return dns::CDNSManager::getInstance(); }
    CTimer* timer(const Case& c) { return m_timers[c.num(1)]; }

    long long quantity(const Case& c) {
        const std::string& q = c[1];
        const Probe& p = m_probes[q == "timer" ? c.num(2) : 0];
        const std::string& t = q == "timer" ? c[3] : q;
        long long n = 0;
        dns::DNSCacheEntry e{~0ull, ""};
        for (int i = 0; q == "refsum" && i < dns::kRequestSlots; ++i)
            n += mgr()->requestRef(false, i);
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& call : m_calls)
            if (q == "total" || (q == "calls" && call.first == std::make_pair(c[2], fam(c[3]))))
                n += call.second;
        return t == "ref"          ? mgr()->requestRef(c.yes(2), static_cast<int>(c.num(3)))
               : t == "status"     ? mgr()->requestStatus(c.yes(2), static_cast<int>(c.num(3)))
               : t == "size"       ? mgr()->cacheSize()
               : t == "allsize"    ? mgr()->allCacheSize()
               : t == "clock"      ? g_clock_block.load()
               : t == "lines"      ? m_capture->Lines().size()
               : t == "inside"     ? m_inside
               : t == "instances"  ? m_instances.size()
               : t == "took"       ? (m_took >= 0 ? m_took.load() : msSince(m_mark))
               : t == "start"      ? (mgr()->cacheEntry(c[2], fam(c[3]), &e), e.start)
               : t == "generation" ? dns::CDNSManager::getInstanceGeneration()
               : t == "calls" && q == "timer" ? p.calls.load()
               : t == "param"                 ? p.param.load()
               : t == "running"               ? p.running.load()
               : t == "max"                   ? p.max_running.load()
               : t == "started"               ? timer(shifted(c))->isStarted()
               : t == "alive"                 ? m_timers[c.num(2)] != nullptr
               : t == "other"                 ? p.other_thread.load()
                                              : n;
    }
    Halvex::Sablon::ResolveResult resolve(const std::string& name, int family) {
        if (m_throw)
            throw std::bad_alloc();
        Answer a{{}, {}, "notFound"};
        int call;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            call = ++m_calls[{name, family}];
            ++m_inside;
            a = m_answers.count(name) ? m_answers[name] : a;
        }
        waitUntil([&] { return !a.gated || m_open; }, 10000);
        sleepMs(a.delay_ms);
        Halvex::Sablon::ResolveResult out;
        out.error_text = call <= a.temporary ? "temporary" : a.error;
        for (const std::string& text : out.error_text == "none" ? (family == kV4 ? a.v4 : a.v6)
                                                                : std::vector<std::string>()) {
            out.addresses.push_back({family, family == kV4 ? 4 : 16});
            Halvex::Sablon::Inet::parseNumeric(family, text.c_str(), out.addresses.back().bytes);
        }
        if (out.error_text == "none" && out.addresses.empty())
            out.error_text = "notFound";
        const char* kinds[] = {"none", "notFound", "temporary", "permanent"};
        out.error = static_cast<ResolveError>(std::find(kinds, kinds + 4, out.error_text) - kinds);
        std::lock_guard<std::mutex> lock(m_mutex);
        --m_inside;
        return out;
    }
    void join() {
        for (auto& t : m_threads)
            t.join();
        m_threads.clear();
    }

    std::mutex m_mutex;
    std::map<std::string, Answer> m_answers;
    std::map<std::pair<std::string, int>, int> m_calls;
    int m_inside = 0;
    std::atomic<bool> m_open{false}, m_throw{false};
    std::set<dns::CDNSManager*> m_instances;
    std::unique_ptr<LogCapture> m_capture;
    std::atomic<long long> m_took{0};
    Clock::time_point m_mark = Clock::now();
    std::vector<std::thread> m_threads;
    Probe m_probes[kTimers];
    std::atomic<CTimer*> m_timers[kTimers] = {};
};

inline void RunScript(const std::string& file, const std::string& section) {
    const std::vector<Case> cases = LoadCases(file, section, 1);
    std::unique_ptr<DnsScript> s;
    for (size_t i = 0; i < cases.size(); ++i) {
        const size_t n = cases[i][0] == "repeat" ? cases[i].unum(1) : 1;
        const size_t k = cases[i][0] == "repeat" ? cases[i].unum(2) : 0;
        for (size_t round = 0; round < n; ++round) {
            std::string idx = std::to_string(round);
            idx.insert(0, std::to_string(n - 1).size() - idx.size(), '0');
            for (size_t j = i + (k > 0); j <= i + k; ++j) {
                Case sub = cases.at(j);
                SCOPED_TRACE(sub.where);
                for (std::string& f : sub.fields)
                    for (size_t p; (p = f.find('#')) != std::string::npos;)
                        f.replace(p, 1, idx);
                sub[0] == "scenario" ? (s.reset(), s.reset(new DnsScript)) : s->step(sub);
            }
        }
        i += k;
    }
}

}  // namespace corvio_test

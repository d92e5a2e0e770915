#include "support/LogCapture.h"

#include <atomic>
#include <cstdlib>

#include "Mardel/Log.h"

namespace corvio_test {
namespace {
std::atomic<LogCapture*> g_active{nullptr};
}

LogCapture::LogCapture(int level) : m_saved_level(Halvex::Mardel::getPrintLogLevel()) {
    LogCapture* expected = nullptr;
    if (!g_active.compare_exchange_strong(expected, this)) abort();  // nested capture
    Halvex::Mardel::setLogSink(&LogCapture::Sink);
    Halvex::Mardel::setPrintLogLevel(level);
}

LogCapture::~LogCapture() {
    Halvex::Mardel::setPrintLogLevel(m_saved_level);
    Halvex::Mardel::setLogSink(nullptr);
    g_active.store(nullptr);
}

void LogCapture::Sink(int level, const char*, const char*, const char* function, int,
                      const char*, const char* message) {
    LogCapture* self = g_active.load();
    if (!self) return;
    std::lock_guard<std::mutex> lock(self->m_mutex);
    self->m_lines.push_back({level, function, message});
}

std::vector<LogLine> LogCapture::Lines() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
}

std::vector<std::string> LogCapture::Messages() const {
    std::vector<std::string> out;
    for (const LogLine& l : Lines()) out.push_back(l.message);
    return out;
}

int LogCapture::Count(const std::string& message) const {
    int n = 0;
    for (const LogLine& l : Lines())
        if (l.message == message) ++n;
    return n;
}

bool LogCapture::Has(const std::string& message, int level) const {
    for (const LogLine& l : Lines())
        if (l.message == message && (level < 0 || l.level == level)) return true;
    return false;
}

void LogCapture::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.clear();
}

}  // namespace corvio_test

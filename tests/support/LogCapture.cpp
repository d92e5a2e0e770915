#include "support/LogCapture.h"

#include <algorithm>
#include <cstdlib>

#include "Mardel/Log.h"

namespace corvio_test {
namespace {
// Guards g_active: a line logged on another thread while a capture ends
// either lands in it or is dropped, never in a capture being destroyed.
std::mutex g_active_mutex;
LogCapture* g_active = nullptr;
}  // namespace

LogCapture::LogCapture(int level) : m_saved_level(Halvex::Mardel::getPrintLogLevel()) {
    {
        std::lock_guard<std::mutex> lock(g_active_mutex);
        if (g_active)
            abort();  // nested capture
        g_active = this;
    }
    Halvex::Mardel::setLogSink(&LogCapture::Sink);
    Halvex::Mardel::setPrintLogLevel(level);
}

LogCapture::~LogCapture() {
    Halvex::Mardel::setPrintLogLevel(m_saved_level);
    Halvex::Mardel::setLogSink(nullptr);
    std::lock_guard<std::mutex> lock(g_active_mutex);
    g_active = nullptr;
}

void LogCapture::Sink(int level, const char*, const char*, const char* function, int, const char*,
                      const char* message) {
    std::lock_guard<std::mutex> active_lock(g_active_mutex);
    if (LogCapture* self = g_active) {
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_lines.push_back({level, function, message});
    }
}

std::vector<LogLine> LogCapture::Lines() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
}

std::vector<std::string> LogCapture::Messages() const {
    std::vector<std::string> out;
    for (const LogLine& l : Lines())
        out.push_back(l.message);
    return out;
}

int LogCapture::Count(const std::string& message) const {
    const std::vector<std::string> all = Messages();
    return static_cast<int>(std::count(all.begin(), all.end(), message));
}

bool LogCapture::Has(const std::string& message, int level) const {
    const std::vector<LogLine> all = Lines();
    return std::any_of(all.begin(), all.end(), [&](const LogLine& l) {
        return l.message == message && (level < 0 || l.level == level);
    });
}

void LogCapture::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.clear();
}

}  // namespace corvio_test

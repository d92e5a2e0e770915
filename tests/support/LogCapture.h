// Captures the library's log lines for the lifetime of the object, so a test
// can assert exact message texts. Only one capture may be active at a time.
// The print level is raised to `level` while capturing and restored after.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace corvio_test {

struct LogLine {
    int level;
    std::string function;
    std::string message;
};

class LogCapture {
public:
    explicit LogCapture(int level = 6);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogLine> Lines() const;
    // Messages only, in order.
    std::vector<std::string> Messages() const;
    // Number of lines whose message equals `message` exactly.
    int Count(const std::string& message) const;
    // A line with this exact message (and level, when level >= 0) was logged.
    bool Has(const std::string& message, int level = -1) const;
    void Clear();

private:
    static void Sink(int level, const char* module, const char* file, const char* function,
                     int line, const char* tag, const char* message);
    mutable std::mutex m_mutex;
    std::vector<LogLine> m_lines;
    int m_saved_level;
};

}  // namespace corvio_test

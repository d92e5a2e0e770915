#include "support/CaseFile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

namespace corvio_test {
namespace {

const char kPlain[] = "rnt\\";

bool unescape(const std::string& raw, std::string& out) {
    out.clear();
    for (size_t i = 0; i < raw.size(); ++i) {
        const char next = i + 1 < raw.size() ? raw[i + 1] : '\0';
        const char* plain = next ? strchr(kPlain, next) : nullptr;
        std::string text;
        if (raw[i] != '\\') {
            out += raw[i];
        } else if (plain) {
            out += "\r\n\t\\"[plain - kPlain];
            ++i;
        } else if (next == 'x' && i + 3 < raw.size() &&
                   raw.find_first_not_of("0123456789abcdefABCDEF", i + 2) >= i + 4) {
            out += static_cast<char>(strtol(raw.substr(i + 2, 2).c_str(), nullptr, 16));
            i += 3;
        } else if (next == '{') {
            const size_t star = raw.find('*', i), end = raw.find('}', i);
            if (star > end || end == std::string::npos ||
                !unescape(raw.substr(star + 1, end - star - 1), text))
                return false;
            for (long n = strtol(raw.c_str() + i + 2, nullptr, 10); n > 0; --n)
                out += text;
            i = end;
        } else {
            return false;
        }
    }
    return true;
}

std::string trim(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t");
    return b == std::string::npos ? "" : s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

}  // namespace

long long Case::num(size_t i) const {
    char* end = nullptr;
    const long long v = std::strtoll(fields.at(i).c_str(), &end, 10);
    EXPECT_TRUE(!fields[i].empty() && *end == '\0') << where << ": no number: " << fields[i];
    return v;
}

unsigned long long Case::unum(size_t i) const {
    EXPECT_TRUE(num(i) >= 0) << where << ": no unsigned number: " << fields[i];
    return std::strtoull(fields[i].c_str(), nullptr, 10);
}

bool Case::yes(size_t i) const {
    EXPECT_TRUE(fields.at(i) == "yes" || fields[i] == "no") << where << ": not yes or no";
    return fields[i] == "yes";
}

std::vector<Case> LoadCases(const std::string& file, const std::string& section,
                            size_t min_fields) {
    std::vector<Case> cases;
    const std::string path = std::string(CORVIO_TEST_DATA_DIR) + "/" + file;
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in) << "cannot read " << path;
    bool inside = false;
    std::string line, value;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (trim(line).empty() || line[0] == '#')
            continue;
        const bool header = line[0] == '[' && line.back() == ']' && line.find('|') == line.npos;
        inside = header ? line == "[" + section + "]" : inside;
        if (header || !inside)
            continue;
        Case c;
        c.where = file + ":" + std::to_string(number);
        for (size_t start = 0, bar = 0; bar != std::string::npos; start = bar + 1) {
            bar = line.find('|', start);
            const std::string raw = trim(line.substr(start, bar - start));
            EXPECT_TRUE(unescape(raw, value)) << c.where << ": bad escape in " << raw;
            c.nulls.push_back(raw == "(null)");
            c.fields.push_back(value);
        }
        EXPECT_GE(c.fields.size(), min_fields) << c.where << ": too few fields";
        if (c.fields.size() >= min_fields)
            cases.push_back(c);
    }
    EXPECT_FALSE(cases.empty()) << "no cases in [" << section << "] of " << path;
    return cases;
}

}  // namespace corvio_test

#include "support/CaseFile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace corvio_test {
namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool unescape(const std::string& raw, std::string& out) {
    out.clear();
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\\') {
            out += raw[i];
            continue;
        }
        if (++i == raw.size())
            return false;
        switch (raw[i]) {
            case 'r':
                out += '\r';
                break;
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case '\\':
                out += '\\';
                break;
            case 'x': {
                if (i + 2 >= raw.size() || hex_digit(raw[i + 1]) < 0 || hex_digit(raw[i + 2]) < 0)
                    return false;
                out += static_cast<char>(hex_digit(raw[i + 1]) * 16 + hex_digit(raw[i + 2]));
                i += 2;
                break;
            }
            default:
                return false;
        }
    }
    return true;
}

std::string trim(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return "";
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

}  // namespace

long long Case::num(size_t i) const {
    const std::string& text = fields.at(i);
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0')
        ADD_FAILURE() << where << ": field " << i << " is no number: " << text;
    return v;
}

unsigned long long Case::unum(size_t i) const {
    const std::string& text = fields.at(i);
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || text[0] == '-' || *end != '\0')
        ADD_FAILURE() << where << ": field " << i << " is no unsigned number: " << text;
    return v;
}

bool Case::yes(size_t i) const {
    const std::string& text = fields.at(i);
    if (text != "yes" && text != "no")
        ADD_FAILURE() << where << ": field " << i << " is neither yes nor no: " << text;
    return text == "yes";
}

std::vector<Case> LoadCases(const std::string& file, const std::string& section,
                            size_t min_fields) {
    std::vector<Case> cases;
    const std::string path = std::string(CORVIO_TEST_DATA_DIR) + "/" + file;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        ADD_FAILURE() << "cannot read " << path;
        return cases;
    }
    bool inside = false;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const std::string where = file + ":" + std::to_string(number);
        if (line.empty() || line[0] == '#' || trim(line).empty())
            continue;
        if (line[0] == '[' && line.back() == ']' && line.find('|') == std::string::npos) {
            inside = line == "[" + section + "]";
            continue;
        }
        if (!inside)
            continue;
        Case c;
        c.where = where;
        size_t start = 0;
        for (;;) {
            const size_t bar = line.find('|', start);
            const std::string raw = trim(line.substr(start, bar - start));
            std::string value;
            if (!unescape(raw, value))
                ADD_FAILURE() << where << ": bad escape in " << raw;
            c.nulls.push_back(raw == "(null)");
            c.fields.push_back(value);
            if (bar == std::string::npos)
                break;
            start = bar + 1;
        }
        if (c.fields.size() < min_fields) {
            ADD_FAILURE() << where << ": " << c.fields.size() << " fields, at least " << min_fields
                          << " wanted";
            continue;
        }
        cases.push_back(c);
    }
    if (cases.empty())
        ADD_FAILURE() << "no cases in [" << section << "] of " << path;
    return cases;
}

}  // namespace corvio_test

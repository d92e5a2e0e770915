// Case tables kept as text under tests/data/, read by the table-driven tests.
//
// A file holds sections; a line "[name]" (no '|' in it) starts one. In a section each other
// line is one case: fields separated by '|', white space around a field
// dropped. Lines that are blank or start with '#' are skipped. Escapes in a
// field: \r \n \t \\ and \xNN (two hex digits, any byte, \x00 included); a
// '|' or a leading or trailing space is written \x7C or \x20; \{N*text} is
// text (escapes allowed, no '}') N times. A field that is exactly (null)
// stands for a null pointer.
#pragma once

#include <string>
#include <vector>

namespace corvio_test {

struct Case {
    std::string where;  // "file:line", for failure messages
    std::vector<std::string> fields;
    std::vector<bool> nulls;

    const std::string& operator[](size_t i) const { return fields.at(i); }
    // The field's text, or nullptr for (null).
    const char* str(size_t i) const { return nulls.at(i) ? nullptr : fields.at(i).c_str(); }
    // The field as a decimal integer; a malformed number fails the test.
    long long num(size_t i) const;
    unsigned long long unum(size_t i) const;
    // "yes" or "no".
    bool yes(size_t i) const;
};

// The cases of `section` in tests/data/`file`, each with at least
// `min_fields` fields. A missing file, a missing or empty section, a short
// line or a bad escape fails the calling test.
std::vector<Case> LoadCases(const std::string& file, const std::string& section, size_t min_fields);

}  // namespace corvio_test

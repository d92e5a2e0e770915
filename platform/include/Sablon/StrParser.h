// Byte search and a small word scanner over a counted text.
//
// The scanner does not own the text; it must outlive the scanner. A word is a
// run of token characters (RFC 9110 section 5.6.2: letters, digits and
// !#$%&'*+-.^_`|~); white space is space, TAB, CR and LF.
#pragma once

#include "Sablon/Export.h"

namespace Halvex {
namespace Sablon {

class SABLON_API CStrParser {
public:
    CStrParser(const char* text, int len);

    // Moves past any white space at the current position.
    void ConsumeWhitespace();
    // Copies the word at the current position into `out` (at most `size`
    // characters, then a NUL: `out` holds size + 1 bytes) and moves past the
    // whole word. Returns the word's length (which may exceed `size` when the
    // copy was cut), or 0 when no word starts here.
    int ConsumeWord(char* out, int size);
    // Back to the start of the text.
    void ResetAll();
    // Current offset from the start of the text.
    int Position() const { return m_pos; }

    // First occurrence of `pattern` (pattern_len bytes) within the first `len`
    // bytes of `text`, or nullptr. NUL bytes are ordinary bytes. An empty
    // pattern matches at `text`.
    static const char* MemMem(const char* text, int len, const char* pattern, int pattern_len);
    // The same, ASCII letters compared without regard to case.
    static const char* MemMemCase(const char* text, int len, const char* pattern, int pattern_len);

private:
    const char* m_text;
    int m_len;
    int m_pos;
};

}  // namespace Sablon
}  // namespace Halvex

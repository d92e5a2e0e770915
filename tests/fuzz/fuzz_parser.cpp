// CHttpParser fed in slices chosen by the input. Byte 0: flags (bit 0
// header-only, bit 1 a buffer limit from bytes 1-2, bit 2 an end-of-input call,
// bit 3 a Clone after the first slice); bytes 3-6 slice sizes used in turn (0:
// the rest); the message from byte 7. Checked, besides parser_feed.h: a
// message whose header fits the header block ends the same fed whole; fed
// streamed (a body callback) it hands out the bytes the stored mode keeps and
// ends the same, except where the 64-bit bounds take what the 32-bit refuse.
#include "parser_feed.h"

using namespace parser_feed;

FUZZ_TARGET(7, SIZE_MAX) {
    Options o{(data[0] & 1) != 0, (data[0] & 4) != 0, false, (data[0] & 8) != 0,
              (data[0] & 2) ? data[1] | data[2] << 8 : 0};
    const std::vector<size_t> sizes(data + 3, data + 7);
    const std::string msg = in.substr(7);

    CHttpParser parser;
    const Result sliced = feed(parser, msg, sizes, o);
    // The limit on a header arriving in pieces does not apply to a whole one.
    if (!msg.empty() && msg.size() < 32768) {
        CHttpParser whole;
        const Result w = feed(whole, msg, {}, o);
        Result s = sliced;
        if (s.status != HTTP_PARSE_COMPLETE)
            s.extra = w.extra;
        check(w.text() == s.text());
    }
    o.stream = true;
    CHttpParser streaming;
    const Result st = feed(streaming, msg, sizes, o);
    if (sliced.status == HTTP_PARSE_COMPLETE) {
        check(st.status == HTTP_PARSE_COMPLETE && st.content == sliced.content &&
              st.extra == sliced.extra);
    } else if (sliced.status == HTTP_PARSE_ERROR) {
        check(st.content.compare(0, sliced.content.size(), sliced.content) == 0);
        check(st.status != HTTP_PARSE_ERROR || st.content == sliced.content);
    } else if (sliced.status != HTTP_PARSER_BUFFER_FULL) {
        check(st.status == sliced.status && st.length == sliced.length);
    }
    parser.Reset();
    check(parser.GetStatus() == HTTP_PARSE_INIT && parser.GetMaxBufferLen() == o.max_buf);
}

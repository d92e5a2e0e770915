// Reason texts: every listed code, the empty 306, and the fallback for codes
// outside the lists, including ones just past each class's last entry.
#include <gtest/gtest.h>

#include "Corvio/CHttpStatCodes.h"

using Halvex::Corvio::CHttpStatCodes;
using Halvex::Corvio::HTTP_RESPONSE_STATUS_CODE;

namespace {

struct TextCase {
    int code;
    const char* text;
};

const TextCase kListed[] = {
    {100, "Continue"},
    {101, "Switching Protocols"},
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {203, "Non-Authoratative Information"},
    {204, "No Content"},
    {205, "Reset Content"},
    {206, "Partial Content"},
    {300, "Multiple Choices"},
    {301, "Moved Permanently"},
    {302, "Found"},
    {303, "See Other"},
    {304, "Not Modified"},
    {305, "Use Proxy"},
    {306, ""},
    {307, "Temporary Redirect"},
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {402, "Payment Required"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {406, "Not Acceptable"},
    {407, "Proxy Authentication Required"},
    {408, "Request Timeout"},
    {409, "Conflict"},
    {410, "Gone"},
    {411, "Length Required"},
    {412, "Precondition Failed"},
    {413, "Request Entity Too Large"},
    {414, "Request-URI Too Long"},
    {415, "Unsupported Media Type"},
    {416, "Requested Range Not Satisfiable"},
    {417, "Expectation Failed"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
    {504, "Gateway Timeout"},
    {505, "HTTP Version Not Supported"},
};

const char* text_of(int code) {
    return CHttpStatCodes::GetCodeText(static_cast<HTTP_RESPONSE_STATUS_CODE>(code));
}

}  // namespace

TEST(StatCodes, ListedCodesGiveTheirText) {
    for (const TextCase& c : kListed)
        EXPECT_STREQ(text_of(c.code), c.text) << c.code;
}

TEST(StatCodes, CodesWithoutTextFallBack) {
    const int codes[] = {102, 199, 207, 299, 308, 399, 418,  499,        506,
                         599, 0,   99,  600, 601, -1,  -100, 2147483647, -2147483647 - 1};
    for (int code : codes)
        EXPECT_STREQ(text_of(code), "Internal Server Error") << code;
}

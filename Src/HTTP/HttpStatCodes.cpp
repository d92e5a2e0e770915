#include "Corvio/CHttpStatCodes.h"

namespace Halvex {
namespace Corvio {
namespace {

// One list per status class, indexed by the code modulo 100. The table is
// constant data: nothing is built at run time, so concurrent first calls
// cannot race.
const char* const kInformational[] = {"Continue", "Switching Protocols"};

const char* const kSuccessful[] = {
    "OK",         "Created",       "Accepted",        "Non-Authoratative Information",
    "No Content", "Reset Content", "Partial Content",
};

const char* const kRedirection[] = {
    "Multiple Choices", "Moved Permanently", "Found", "See Other",
    "Not Modified",     "Use Proxy",         "",      "Temporary Redirect",
};

const char* const kClientError[] = {
    "Bad Request",
    "Unauthorized",
    "Payment Required",
    "Forbidden",
    "Not Found",
    "Method Not Allowed",
    "Not Acceptable",
    "Proxy Authentication Required",
    "Request Timeout",
    "Conflict",
    "Gone",
    "Length Required",
    "Precondition Failed",
    "Request Entity Too Large",
    "Request-URI Too Long",
    "Unsupported Media Type",
    "Requested Range Not Satisfiable",
    "Expectation Failed",
};

const char* const kServerError[] = {
    "Internal Server Error", "Not Implemented", "Bad Gateway",
    "Service Unavailable",   "Gateway Timeout", "HTTP Version Not Supported",
};

struct StatusClass {
    const char* const* texts;
    int count;
};

template <int N>
constexpr StatusClass make_class(const char* const (&texts)[N]) {
    return StatusClass{texts, N};
}

const StatusClass kClasses[] = {
    make_class(kInformational), make_class(kSuccessful),  make_class(kRedirection),
    make_class(kClientError),   make_class(kServerError),
};

const char kFallback[] = "Internal Server Error";

}  // namespace

const char* CHttpStatCodes::GetCodeText(HTTP_RESPONSE_STATUS_CODE code) {
    const int value = static_cast<int>(code);
    if (value < 100 || value >= 600)
        return kFallback;
    const StatusClass& cls = kClasses[value / 100 - 1];
    const int index = value % 100;
    return index < cls.count ? cls.texts[index] : kFallback;
}

}  // namespace Corvio
}  // namespace Halvex

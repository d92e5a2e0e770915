// Renders one HTTP/1.1 request or response (RFC 9112 sections 3, 4 and 5)
// into a single buffer: start line, the header fields set by the caller, a
// blank line and an optional body.
#pragma once

#include <string>

#include "Corvio/CHttpStatCodes.h"
#include "Corvio/Export.h"

namespace Halvex {
namespace Corvio {

// Request methods. 2 has no method text; every value outside the table makes
// rendering fail. Any int value can be stored.
enum HTTP_METHOD_TYPE : int {
    HTTP_METHOD_POST = 0,
    HTTP_METHOD_GET = 1,
    HTTP_METHOD_PUT = 3,
    HTTP_METHOD_MOVE = 4,
    HTTP_METHOD_COPY = 5,
    HTTP_METHOD_DELETE = 6,
    HTTP_METHOD_HEAD = 7,
    HTTP_METHOD_TRACE = 8,
    HTTP_METHOD_OPTIONS = 9,
};

class CHttpMsgCreatorImpl;

// Usage: set the kind, method or status code, target, header fields and body,
// then GetMsg. The message is rendered once, on the first successful GetMsg,
// and stays unchanged (setters no longer affect it) until Reset.
//
// Header fields are kept once per name, names compared without regard to
// letter case, and rendered in the order of their upper-case forms. Texts that
// would break the message framing are refused: CR or LF in a name, value or
// target, ':' in a name, an empty name, a target of more than 2047
// characters.
//
// One creator is used by one thread at a time. Not copyable.
class CORVIO_API CHttpMsgCreator {
public:
    enum HttpMsgType : int { HTTP_MSG_REQUEST = 0, HTTP_MSG_RESPONSE = 1 };

    CHttpMsgCreator();
    ~CHttpMsgCreator();
    CHttpMsgCreator(const CHttpMsgCreator&) = delete;
    CHttpMsgCreator& operator=(const CHttpMsgCreator&) = delete;

    // Back to a GET request for "/" without fields or body; frees the
    // rendered message. The status code keeps its value. Returns 0.
    int Reset();

    // Store their value unchecked (checked when rendering). Return 0.
    int SetMsgType(HttpMsgType type);
    int SetRequestMethod(HTTP_METHOD_TYPE method);
    int SetStatusCode(HTTP_RESPONSE_STATUS_CODE code);

    // Sets the request target: `len` characters of `uri`, or fewer when a NUL
    // comes first; `len` 0 takes the text's own length. Returns -1, leaving
    // the target unchanged, when `uri` is NULL, `len` is negative, the target
    // is longer than 2047 characters or holds CR or LF; 0 otherwise.
    int SetURI(const char* uri, int len);

    // Adds a header field. A name already present (ignoring letter case)
    // keeps its first value and spelling; the call still returns 0. Returns
    // -1, storing nothing, for a NULL text, an empty name, a name with ':',
    // CR or LF in name or value (and, for the string form, a NUL byte).
    int SetValue(const char* name, const char* value);
    int SetValue(const std::string& name, const std::string& value);

    // Sets the body (not copied: `content` must stay valid until GetMsg has
    // rendered) and the field CONTENT-LENGTH to `len`, replacing the value of
    // a Content-Length field set before in any letter case (its spelling is
    // kept). Returns -1, changing nothing, when `content` is NULL or `len` is
    // not positive; 0 otherwise.
    int SetContent(const char* content, int len);

    // The rendered message, NUL-terminated, with its length (without the NUL)
    // in `len`; it belongs to the creator and lives until Reset or
    // destruction. NULL with `len` 0 when rendering fails (unknown method or
    // message kind, memory); the next call then tries again.
    char* GetMsg(int& len);

private:
    CHttpMsgCreatorImpl* m_impl;
};

}  // namespace Corvio
}  // namespace Halvex

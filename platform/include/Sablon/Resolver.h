// Name resolution and numeric address text, as the DNS manager sees them.
//
// resolve() is the one way the library reaches the system resolver
// (getaddrinfo with a family, a stream socket type and no service). It calls
// a replaceable function: tests install their own to make resolutions slow,
// failing or counted. Results are neutral data, so callers include no system
// header: each entry carries its family and its raw address bytes in network
// order, and a failure carries its kind and the resolver's own text.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "Sablon/Export.h"

namespace Halvex {
namespace Sablon {
namespace Inet {

// The system's address family numbers (AF_INET, AF_INET6).
constexpr int kFamilyIPv4 = 2;
#if defined(_WIN32)
constexpr int kFamilyIPv6 = 23;
#else
constexpr int kFamilyIPv6 = 10;
#endif

// Parses `text` as a numeric address of `family` and writes its 4 or 16
// bytes to `out`. 1 on success; 0 when the text is not such an address or
// the family is neither of the two.
SABLON_API int parseNumeric(int family, const char* text, void* out);
// Renders the 4 or 16 bytes at `src` as numeric text of `family` into `dst`
// of `size` bytes. False when the family is neither of the two or the text
// does not fit.
SABLON_API bool formatNumeric(int family, const void* src, char* dst, unsigned int size);
// The calling thread's last socket error code (errno here).
SABLON_API int lastSocketError();

}  // namespace Inet

// How a resolution failed.
enum class ResolveError {
    none,       // it gave a list (possibly without an entry of the family)
    notFound,   // the name has no address (of the family): definitive
    temporary,  // the resolver asks to try again later (EAI_AGAIN and the like)
    permanent,  // the resolver failed for good (EAI_FAIL, bad arguments)
};

struct ResolvedAddress {
    int family = 0;  // Inet::kFamilyIPv4 or Inet::kFamilyIPv6, or another number
    int length = 0;  // bytes used in `bytes`: 4, 16, or 0 for an entry without address
    unsigned char bytes[16] = {};
};

struct ResolveResult {
    ResolveError error = ResolveError::none;
    std::string error_text;                  // the resolver's text for a failure
    std::vector<ResolvedAddress> addresses;  // in the resolver's order
};

typedef std::function<ResolveResult(const std::string& name, int family)> ResolverFunction;

// Resolves through the installed function (the system resolver by default).
SABLON_API ResolveResult resolve(const std::string& name, int family);
// The system resolver itself.
SABLON_API ResolveResult systemResolve(const std::string& name, int family);
// Installs `fn` for every later resolve(); an empty function restores the
// system resolver. Calls already running finish with the function they began
// with.
SABLON_API void setResolver(ResolverFunction fn);

}  // namespace Sablon
}  // namespace Halvex

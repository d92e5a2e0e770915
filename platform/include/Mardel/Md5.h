// MD5 digest (RFC 1321) and Base64 (RFC 4648 section 4) on OpenSSL.
// MD5 serves HTTP Digest authentication only; it is not a security primitive.
#pragma once

#include <cstddef>

#include "Mardel/Export.h"

namespace Halvex {
namespace Utils {

class MARDEL_API CMd5 {
public:
    CMd5();
    ~CMd5();
    CMd5(const CMd5&) = delete;
    CMd5& operator=(const CMd5&) = delete;

    void init();
    void update(const void* data, size_t len);
    // Finishes the digest and writes 32 lower-case hexadecimal digits and a
    // NUL into `out` (33 bytes). init() starts a new digest afterwards.
    void hex(char* out);

private:
    void* m_ctx;  // EVP_MD_CTX
};

// Writes the standard Base64 form of `len` bytes of `in` and a NUL into
// `out`, which must hold 4 * ((len + 2) / 3) + 1 bytes. Returns the number of
// characters written (without the NUL), or -1 when `len` is negative.
MARDEL_API int base64Encode(char* out, const char* in, int len);

}  // namespace Utils
}  // namespace Halvex

#include "Mardel/Md5.h"

#include <cstdio>

#include <openssl/evp.h>

namespace Halvex {
namespace Utils {

CMd5::CMd5() : m_ctx(EVP_MD_CTX_new()) {
    init();
}

CMd5::~CMd5() {
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(m_ctx));
}

void CMd5::init() {
    if (m_ctx)
        EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(m_ctx), EVP_md5(), nullptr);
}

void CMd5::update(const void* data, size_t len) {
    if (m_ctx && len > 0)
        EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(m_ctx), data, len);
}

void CMd5::hex(char* out) {
    static const char kDigits[] = "0123456789abcdef";
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (!m_ctx || EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(m_ctx), digest, &n) != 1 || n != 16) {
        out[0] = '\0';
        init();
        return;
    }
    for (unsigned int i = 0; i < 16; ++i) {
        out[2 * i] = kDigits[digest[i] >> 4];
        out[2 * i + 1] = kDigits[digest[i] & 0x0f];
    }
    out[32] = '\0';
    init();
}

int base64Encode(char* out, const char* in, int len) {
    if (len < 0)
        return -1;
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out),
                            reinterpret_cast<const unsigned char*>(in), len);
    out[n] = '\0';
    return n;
}

}  // namespace Utils
}  // namespace Halvex

// sha256_posix.cpp - SHA-256 and random bytes from OpenSSL (libcrypto).
#ifndef _WIN32

#include "platform/sha256.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

sha256::sha256() : state_(EVP_MD_CTX_new())
{
    EVP_DigestInit_ex(static_cast<EVP_MD_CTX *>(state_), EVP_sha256(), nullptr);
}

sha256::~sha256()
{
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX *>(state_));
}

void sha256::add(const void *data, std::size_t len)
{
    EVP_DigestUpdate(static_cast<EVP_MD_CTX *>(state_), data, len);
}

std::string sha256::hex()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_DigestFinal_ex(static_cast<EVP_MD_CTX *>(state_), digest, &len);
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < len; ++i) {
        out += digits[digest[i] >> 4];
        out += digits[digest[i] & 15];
    }
    return out;
}

bool system_random(void *buf, std::size_t len)
{
    return RAND_bytes(static_cast<unsigned char *>(buf), static_cast<int>(len)) == 1;
}

#endif

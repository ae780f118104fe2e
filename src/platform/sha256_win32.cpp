// sha256_win32.cpp - SHA-256 and random bytes from Windows' CNG (bcrypt).
#ifdef _WIN32

#include "platform/sha256.h"

#include <windows.h>

#include <bcrypt.h>

namespace {

struct hash_state {
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
};

}  // namespace

sha256::sha256() : state_(new hash_state)
{
    hash_state *st = static_cast<hash_state *>(state_);
    if (BCryptOpenAlgorithmProvider(&st->alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0)
        st->alg = nullptr;
    else if (BCryptCreateHash(st->alg, &st->hash, nullptr, 0, nullptr, 0, 0) != 0)
        st->hash = nullptr;
}

sha256::~sha256()
{
    hash_state *st = static_cast<hash_state *>(state_);
    if (st->hash != nullptr)
        BCryptDestroyHash(st->hash);
    if (st->alg != nullptr)
        BCryptCloseAlgorithmProvider(st->alg, 0);
    delete st;
}

void sha256::add(const void *data, std::size_t len)
{
    hash_state *st = static_cast<hash_state *>(state_);
    const unsigned char *p = static_cast<const unsigned char *>(data);
    while (st->hash != nullptr && len > 0) {
        ULONG piece = len > 0x40000000u ? 0x40000000u : static_cast<ULONG>(len);
        BCryptHashData(st->hash, const_cast<PUCHAR>(p), piece, 0);
        p += piece;
        len -= piece;
    }
}

std::string sha256::hex()
{
    hash_state *st = static_cast<hash_state *>(state_);
    unsigned char digest[32];
    // A provider the system would not give leaves a hash that matches no offer.
    if (st->hash == nullptr || BCryptFinishHash(st->hash, digest, sizeof digest, 0) != 0)
        return std::string(64, 'x');
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : digest) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

bool system_random(void *buf, std::size_t len)
{
    return BCryptGenRandom(nullptr, static_cast<PUCHAR>(buf), static_cast<ULONG>(len), BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
}

#endif

// sha256.h - SHA-256, the hash a shared file is offered and checked by, and random bytes from the
// system's generator, the tokens a shared file is served under. Both come from the system's
// cryptography: OpenSSL on Linux, CNG (bcrypt) on Windows.
//
// sha256_posix.cpp and sha256_win32.cpp define these functions in the same order.
#pragma once

#include <cstddef>
#include <string>

// A SHA-256 under way: fed in pieces, read once at the end.
class sha256 {
public:
    sha256();
    ~sha256();
    sha256(const sha256 &) = delete;
    sha256 &operator=(const sha256 &) = delete;

    void add(const void *data, std::size_t len);
    // The hash of everything added, in lower-case hex (64 characters). Call once.
    std::string hex();

private:
    void *state_;  // the library's own
};

// Fills buf with len bytes from the system's cryptographic generator: false if it would not.
bool system_random(void *buf, std::size_t len);

// SHA-256 through the system's cryptography provider (CNG). Digests are 64
// lowercase hexadecimal characters.
#pragma once

#include <windows.h>
#include <bcrypt.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pelorin::setup {

// The largest hash object the provider may ask for.
inline constexpr std::uint32_t MaxHashObjectLength = 1048576;

// One SHA-256 computation: created ready to use, fed with Update, read once
// with FinishHex. Every failure of the provider is a failed write (code 5).
// Destruction destroys the hash, closes the provider and frees the hash
// object, each only if present.
class Sha256 {
public:
    Sha256();
    ~Sha256() = default;
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    // Counts of 2^32 bytes or more are refused.
    void Update(const void* bytes, std::size_t count);
    std::string FinishHex();

private:
    struct Provider {
        BCRYPT_ALG_HANDLE handle = nullptr;
        Provider() = default;
        ~Provider();
        Provider(const Provider&) = delete;
        Provider& operator=(const Provider&) = delete;
    };
    struct Hash {
        BCRYPT_HASH_HANDLE handle = nullptr;
        Hash() = default;
        ~Hash();
        Hash(const Hash&) = delete;
        Hash& operator=(const Hash&) = delete;
    };

    // Declared so that destruction runs hash, provider, object buffer.
    std::vector<UCHAR> object_;
    Provider provider_;
    Hash hash_;
};

// Bytes as lowercase hexadecimal, high nibble first.
std::string ToLowerHex(const void* bytes, std::size_t count);

}  // namespace pelorin::setup

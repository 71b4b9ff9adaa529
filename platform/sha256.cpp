#include "platform/sha256.h"

#include <limits>

#include "engine/contract.h"
#include "platform/system_calls.h"

namespace pelorin::setup {
namespace {

constexpr ULONG DigestLength = 32;

void Check(NTSTATUS status) {
    if (status != 0) {
        ThrowFailure(FailureCode::WriteFailed);
    }
}

}  // namespace

Sha256::Provider::~Provider() {
    if (handle == nullptr) {
        return;
    }
    try {
        SystemCalls().BCryptCloseAlgorithmProvider(handle, 0);
    } catch (...) {
        // Clean-up never throws.
    }
}

Sha256::Hash::~Hash() {
    if (handle == nullptr) {
        return;
    }
    try {
        SystemCalls().BCryptDestroyHash(handle);
    } catch (...) {
        // Clean-up never throws.
    }
}

Sha256::Sha256() {
    // A member that is already set up is released by its own destructor when
    // a later step throws.
    SystemCallTable& calls = SystemCalls();
    BCRYPT_ALG_HANDLE provider = nullptr;
    const NTSTATUS opened = calls.BCryptOpenAlgorithmProvider(&provider, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    if (opened == 0) {
        provider_.handle = provider;
    }
    Check(opened);

    DWORD objectLength = 0;
    ULONG written = 0;
    Check(calls.BCryptGetProperty(provider_.handle, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objectLength),
                                  sizeof objectLength, &written, 0));
    if (written != sizeof objectLength || objectLength > MaxHashObjectLength) {
        ThrowFailure(FailureCode::WriteFailed);
    }
    object_.assign(objectLength, 0);

    BCRYPT_HASH_HANDLE hash = nullptr;
    const NTSTATUS created =
        calls.BCryptCreateHash(provider_.handle, &hash, object_.data(), objectLength, nullptr, 0, 0);
    if (created == 0) {
        hash_.handle = hash;
    }
    Check(created);
}

void Sha256::Update(const void* bytes, std::size_t count) {
    if (count > std::numeric_limits<ULONG>::max()) {
        ThrowFailure(FailureCode::WriteFailed);
    }
    // CNG takes a non-const pointer but only reads the input.
    auto* input = static_cast<PUCHAR>(const_cast<void*>(bytes));
    Check(SystemCalls().BCryptHashData(hash_.handle, input, static_cast<ULONG>(count), 0));
}

std::string Sha256::FinishHex() {
    UCHAR digest[DigestLength] = {};
    Check(SystemCalls().BCryptFinishHash(hash_.handle, digest, DigestLength, 0));
    return ToLowerHex(digest, DigestLength);
}

std::string ToLowerHex(const void* bytes, std::size_t count) {
    static constexpr char Digits[] = "0123456789abcdef";
    const auto* data = static_cast<const unsigned char*>(bytes);
    std::string text;
    text.reserve(count * 2);
    for (std::size_t i = 0; i < count; ++i) {
        text.push_back(Digits[data[i] >> 4]);
        text.push_back(Digits[data[i] & 0x0f]);
    }
    return text;
}

}  // namespace pelorin::setup

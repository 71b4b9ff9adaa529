#include "platform/sha256.h"

#include <set>
#include <string>

#include <gtest/gtest.h>

#include "platform/files.h"
#include "platform/system_calls.h"
#include "tests/support/failure_of.h"
#include "tests/support/system_call_fakes.h"

namespace pelorin::setup {
namespace {

using testing::CallSpy;
using testing::CngLedger;
using testing::FailureOf;

constexpr char EmptyDigest[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

std::string Digest(const std::string& input, std::size_t piece) {
    Sha256 hasher;
    for (std::size_t at = 0; at < input.size(); at += piece) {
        hasher.Update(input.data() + at, std::min(piece, input.size() - at));
    }
    return hasher.FinishHex();
}

TEST(Sha256, KnownDigestsWholeAndInPieces) {
    const struct {
        std::string input;
        const char* digest;
    } cases[] = {
        {"", EmptyDigest},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        for (const std::size_t piece : {std::size_t{1000000}, std::size_t{1}, std::size_t{63}, std::size_t{65536}}) {
            if (piece == 1 && c.input.size() > 1000) {
                continue;
            }
            EXPECT_EQ(Digest(c.input, piece), c.digest) << c.input.size() << " in pieces of " << piece;
        }
    }
    Sha256 untouched;
    EXPECT_EQ(untouched.FinishHex(), EmptyDigest);
}

TEST(Sha256, ProviderFailuresAreWriteFailuresAndReleaseEverything) {
    // Which step of the provider fails, and which step is reached.
    enum class Step { Open, Property, Create, Data, Finish };
    for (const Step step : {Step::Open, Step::Property, Step::Create, Step::Data, Step::Finish}) {
        CngLedger ledger;
        {
            CallSpy<NTSTATUS(BCRYPT_ALG_HANDLE*, LPCWSTR, LPCWSTR, ULONG)> open(
                SystemCalls().BCryptOpenAlgorithmProvider);
            CallSpy<NTSTATUS(BCRYPT_HANDLE, LPCWSTR, PUCHAR, ULONG, ULONG*, ULONG)> property(
                SystemCalls().BCryptGetProperty);
            CallSpy<NTSTATUS(BCRYPT_ALG_HANDLE, BCRYPT_HASH_HANDLE*, PUCHAR, ULONG, PUCHAR, ULONG, ULONG)> create(
                SystemCalls().BCryptCreateHash);
            CallSpy<NTSTATUS(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG)> data(SystemCalls().BCryptHashData);
            CallSpy<NTSTATUS(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG)> finish(SystemCalls().BCryptFinishHash);
            const NTSTATUS refused = static_cast<NTSTATUS>(0xC0000001L);
            switch (step) {
                case Step::Open: open.FailCall(1, refused); break;
                case Step::Property: property.FailCall(1, refused); break;
                case Step::Create: create.FailCall(1, refused); break;
                case Step::Data: data.FailCall(1, refused); break;
                case Step::Finish: finish.FailCall(1, refused); break;
            }
            EXPECT_EQ(FailureOf([] {
                          Sha256 hasher;
                          hasher.Update("abc", 3);
                          hasher.FinishHex();
                      }),
                      FailureCode::WriteFailed)
                << static_cast<int>(step);
        }
        EXPECT_EQ(ledger.providers, 0) << static_cast<int>(step);
        EXPECT_EQ(ledger.hashes, 0) << static_cast<int>(step);
    }
}

TEST(Sha256, HashObjectAndInputAreBounded) {
    for (const DWORD length : {MaxHashObjectLength, MaxHashObjectLength + 1}) {
        CngLedger ledger;
        {
            CallSpy<NTSTATUS(BCRYPT_HANDLE, LPCWSTR, PUCHAR, ULONG, ULONG*, ULONG)> property(
                SystemCalls().BCryptGetProperty);
            property.FailWhen(
                [length](BCRYPT_HANDLE, LPCWSTR name, PUCHAR out, ULONG size, ULONG* written, ULONG) {
                    EXPECT_STREQ(name, BCRYPT_OBJECT_LENGTH);
                    EXPECT_EQ(size, sizeof(DWORD));
                    *reinterpret_cast<DWORD*>(out) = length;
                    *written = sizeof(DWORD);
                    return true;
                },
                0);
            const FailureCode code = FailureOf([] { Sha256().FinishHex(); });
            EXPECT_EQ(code, length > MaxHashObjectLength ? FailureCode::WriteFailed : FailureCode::None) << length;
        }
        EXPECT_EQ(ledger.providers, 0);
        EXPECT_EQ(ledger.hashes, 0);
    }

    CallSpy<NTSTATUS(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG)> data(SystemCalls().BCryptHashData);
    Sha256 hasher;
    const char byte = 0;
    // The count is refused before anything is read, so one byte of storage serves.
    EXPECT_EQ(FailureOf([&] { hasher.Update(&byte, std::size_t{1} << 32); }), FailureCode::WriteFailed);
    EXPECT_EQ(data.Calls(), 0);
}

TEST(RandomHexName, ThirtyTwoLowercaseHexCharacters) {
    std::set<std::wstring> seen;
    for (int i = 0; i < 20; ++i) {
        const std::wstring name = RandomHexName();
        ASSERT_EQ(name.size(), 32u);
        EXPECT_EQ(name.find_first_not_of(L"0123456789abcdef"), std::wstring::npos);
        seen.insert(name);
    }
    EXPECT_EQ(seen.size(), 20u);
}

TEST(RandomHexName, SixteenSystemBytesHighNibbleFirst) {
    CallSpy<NTSTATUS(BCRYPT_ALG_HANDLE, PUCHAR, ULONG, ULONG)> random(SystemCalls().BCryptGenRandom);
    random.FailWhen(
        [](BCRYPT_ALG_HANDLE algorithm, PUCHAR out, ULONG count, ULONG flags) {
            EXPECT_EQ(algorithm, nullptr);
            EXPECT_EQ(count, 16u);
            EXPECT_EQ(flags, static_cast<ULONG>(BCRYPT_USE_SYSTEM_PREFERRED_RNG));
            const UCHAR bytes[16] = {0x00, 0x01, 0x0f, 0x10, 0xab, 0xff, 0x7e, 0x80,
                                     0x09, 0xa0, 0x5c, 0xc5, 0x12, 0x34, 0xde, 0xf0};
            std::copy(bytes, bytes + 16, out);
            return true;
        },
        0);
    EXPECT_EQ(RandomHexName(), L"00010f10abff7e8009a05cc51234def0");

    random.FailWhen([](auto...) { return true; }, static_cast<NTSTATUS>(0xC0000001L));
    EXPECT_EQ(FailureOf([] { RandomHexName(); }), FailureCode::WriteFailed);
}

}  // namespace
}  // namespace pelorin::setup

// Fault injection and bookkeeping on top of the system-call table.
//
//   CallSpy<BOOL(HANDLE)> flush(SystemCalls().FlushFileBuffers);
//   flush.FailCall(1, FALSE, ERROR_DISK_FULL);   // the first flush fails
//   ...; EXPECT_EQ(flush.Calls(), 1);
//
// A spy passes every call it does not fail on to the entry it replaced, so
// spies, ledgers and fakes can be stacked on one entry. A failed call sets the
// last error with ::SetLastError before it returns, as the system would.
#pragma once

#include <windows.h>

#include <functional>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/system_calls.h"
#include "tests/support/override_call.h"

namespace pelorin::setup::testing {

template <typename Signature>
class CallSpy;

template <typename R, typename... Args>
class CallSpy<R(Args...)> {
public:
    using Function = std::function<R(Args...)>;
    using Result = std::conditional_t<std::is_void_v<R>, char, R>;

    explicit CallSpy(Function& slot)
        : override_(slot, [this](Args... args) -> R { return Call(args...); }) {}
    CallSpy(const CallSpy&) = delete;
    CallSpy& operator=(const CallSpy&) = delete;

    // Calls seen since the spy was made, failed ones included.
    int Calls() const noexcept { return calls_; }

    // The n-th call (1-based) returns `result` with last error `error` and
    // never reaches the system (a function without a result just returns).
    CallSpy& FailCall(int n, Result result = Result{}, DWORD error = ERROR_SUCCESS) {
        return FailWhen([n, this](Args...) { return calls_ == n; }, result, error);
    }
    // Every call from the n-th on fails that way.
    CallSpy& FailFrom(int n, Result result = Result{}, DWORD error = ERROR_SUCCESS) {
        return FailWhen([n, this](Args...) { return calls_ >= n; }, result, error);
    }
    // Every call for which `when` answers true fails that way. A fake that
    // fills output arguments itself can answer through `when` and return true.
    CallSpy& FailWhen(std::function<bool(Args...)> when, Result result = Result{}, DWORD error = ERROR_SUCCESS) {
        fail_ = std::move(when);
        result_ = result;
        error_ = error;
        return *this;
    }
    // Sees the arguments of every call before it runs (or fails).
    CallSpy& OnCall(std::function<void(Args...)> observe) {
        observe_ = std::move(observe);
        return *this;
    }
    const Function& Original() const noexcept { return override_.Original(); }

private:
    R Call(Args... args) {
        ++calls_;
        if (observe_) {
            observe_(args...);
        }
        if (fail_ && fail_(args...)) {
            ::SetLastError(error_);
            if constexpr (std::is_void_v<R>) {
                return;
            } else {
                return result_;
            }
        }
        return override_.Original()(args...);
    }

    OverrideCall<R(Args...)> override_;
    int calls_ = 0;
    std::function<bool(Args...)> fail_;
    std::function<void(Args...)> observe_;
    Result result_{};
    DWORD error_ = ERROR_SUCCESS;
};

using CreateFileSignature = HANDLE(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
using FileInformationSignature = BOOL(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);

// The extended-length form in which a path reaches the system.
inline std::wstring LongForm(const std::wstring& path) {
    return L"\\\\?\\" + path;
}

// A CreateFileW predicate for CallSpy::FailWhen: true for opens of `path`.
inline auto OpensOf(const std::wstring& path) {
    return [wanted = LongForm(path)](LPCWSTR name, auto&&...) { return name != nullptr && wanted == name; };
}

// One CreateFileW call as the system saw it.
struct CreateFileCall {
    std::wstring path;
    DWORD access;
    DWORD share;
    DWORD disposition;
    DWORD flags;
    bool opened;
};

// Records every CreateFileW call (and whether it succeeded).
class CreateFileRecorder {
public:
    CreateFileRecorder()
        : override_(SystemCalls().CreateFileW,
                    [this](LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                           DWORD flags, HANDLE templateFile) -> HANDLE {
                        const HANDLE handle = override_.Original()(name, access, share, security, disposition, flags,
                                                                   templateFile);
                        const DWORD error = ::GetLastError();
                        calls.push_back({name, access, share, disposition, flags, handle != INVALID_HANDLE_VALUE});
                        ::SetLastError(error);
                        return handle;
                    }) {}

    std::vector<CreateFileCall> calls;

private:
    OverrideCall<CreateFileSignature> override_;
};

// Keeps the books of every handle opened by CreateFileW or CreateMutexW and
// closed by CloseHandle through the table while it lives.
class HandleLedger {
public:
    HandleLedger()
        : createFile_(SystemCalls().CreateFileW,
                      [this](LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                             DWORD disposition, DWORD flags, HANDLE templateFile) -> HANDLE {
                          return Opened(createFile_.Original()(name, access, share, security, disposition, flags,
                                                               templateFile));
                      }),
          createMutex_(SystemCalls().CreateMutexW,
                       [this](LPSECURITY_ATTRIBUTES security, BOOL owned, LPCWSTR name) -> HANDLE {
                           return Opened(createMutex_.Original()(security, owned, name));
                       }),
          close_(SystemCalls().CloseHandle, [this](HANDLE handle) -> BOOL {
              if (open_.erase(handle) == 0) {
                  ++strayCloses_;
              }
              return close_.Original()(handle);
          }) {}

    // Handles opened while watched and not closed yet.
    std::size_t Open() const noexcept { return open_.size(); }
    int Opens() const noexcept { return opens_; }
    // Closes of handles this ledger did not see opened (or closed twice).
    int StrayCloses() const noexcept { return strayCloses_; }

private:
    HANDLE Opened(HANDLE handle) {
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
            const DWORD error = ::GetLastError();  // CreateMutexW reports ERROR_ALREADY_EXISTS on success
            open_.insert(handle);
            ++opens_;
            ::SetLastError(error);
        }
        return handle;
    }

    std::set<HANDLE> open_;
    int opens_ = 0;
    int strayCloses_ = 0;
    OverrideCall<CreateFileSignature> createFile_;
    OverrideCall<HANDLE(LPSECURITY_ATTRIBUTES, BOOL, LPCWSTR)> createMutex_;
    OverrideCall<BOOL(HANDLE)> close_;
};

// Keeps the books of CNG providers and hash objects.
class CngLedger {
public:
    CngLedger()
        : open_(SystemCalls().BCryptOpenAlgorithmProvider,
                [this](BCRYPT_ALG_HANDLE* provider, LPCWSTR algorithm, LPCWSTR implementation, ULONG flags) {
                    const NTSTATUS status = open_.Original()(provider, algorithm, implementation, flags);
                    providers += status == 0 ? 1 : 0;
                    return status;
                }),
          close_(SystemCalls().BCryptCloseAlgorithmProvider,
                 [this](BCRYPT_ALG_HANDLE provider, ULONG flags) {
                     --providers;
                     return close_.Original()(provider, flags);
                 }),
          create_(SystemCalls().BCryptCreateHash,
                  [this](BCRYPT_ALG_HANDLE provider, BCRYPT_HASH_HANDLE* hash, PUCHAR object, ULONG objectLength,
                         PUCHAR secret, ULONG secretLength, ULONG flags) {
                      const NTSTATUS status =
                          create_.Original()(provider, hash, object, objectLength, secret, secretLength, flags);
                      hashes += status == 0 ? 1 : 0;
                      return status;
                  }),
          destroy_(SystemCalls().BCryptDestroyHash, [this](BCRYPT_HASH_HANDLE hash) {
              --hashes;
              return destroy_.Original()(hash);
          }) {}

    // Open providers and live hash objects; both 0 when everything was released.
    int providers = 0;
    int hashes = 0;

private:
    OverrideCall<NTSTATUS(BCRYPT_ALG_HANDLE*, LPCWSTR, LPCWSTR, ULONG)> open_;
    OverrideCall<NTSTATUS(BCRYPT_ALG_HANDLE, ULONG)> close_;
    OverrideCall<NTSTATUS(BCRYPT_ALG_HANDLE, BCRYPT_HASH_HANDLE*, PUCHAR, ULONG, PUCHAR, ULONG, ULONG)> create_;
    OverrideCall<NTSTATUS(BCRYPT_HASH_HANDLE)> destroy_;
};

// Makes every handle opened on `path` report `extraAttributes` as well in
// FileAttributeTagInfo, the way Windows reports a symbolic link or junction
// opened with FILE_FLAG_OPEN_REPARSE_POINT (which Wine cannot create).
class FakeAttributes {
public:
    FakeAttributes(const std::wstring& path, DWORD extraAttributes)
        : extra_(extraAttributes),
          createFile_(SystemCalls().CreateFileW,
                      [this, wanted = LongForm(path)](LPCWSTR name, DWORD access, DWORD share,
                                                      LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                                      HANDLE templateFile) -> HANDLE {
                          const HANDLE handle = createFile_.Original()(name, access, share, security, disposition,
                                                                       flags, templateFile);
                          if (handle != INVALID_HANDLE_VALUE && wanted == name) {
                              const DWORD error = ::GetLastError();
                              marked_.insert(handle);
                              ++opens_;
                              ::SetLastError(error);
                          }
                          return handle;
                      }),
          information_(SystemCalls().GetFileInformationByHandleEx,
                       [this](HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID out, DWORD size) -> BOOL {
                           const BOOL ok = information_.Original()(handle, kind, out, size);
                           if (ok && kind == FileAttributeTagInfo && marked_.count(handle) != 0) {
                               auto* tag = static_cast<FILE_ATTRIBUTE_TAG_INFO*>(out);
                               tag->FileAttributes |= extra_;
                               if ((extra_ & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
                                   tag->ReparseTag = IO_REPARSE_TAG_MOUNT_POINT;
                               }
                           }
                           return ok;
                       }),
          close_(SystemCalls().CloseHandle, [this](HANDLE handle) -> BOOL {
              marked_.erase(handle);  // the value may come back for another object
              return close_.Original()(handle);
          }) {}

    // How often the path was opened while the fake lived.
    int Opens() const noexcept { return opens_; }

private:
    DWORD extra_;
    std::set<HANDLE> marked_;
    int opens_ = 0;
    OverrideCall<CreateFileSignature> createFile_;
    OverrideCall<FileInformationSignature> information_;
    OverrideCall<BOOL(HANDLE)> close_;
};

// Makes the identity check of the file that the code under test next creates
// new (CREATE_NEW) at `path` fail, as a failing query of its handle would:
// the file exists, but its first query (the check right after the create)
// fails. Later handles, whatever their value, are left alone.
class FailCheckOfNewFile {
public:
    explicit FailCheckOfNewFile(const std::wstring& path)
        : createFile_(SystemCalls().CreateFileW,
                      [this, wanted = LongForm(path)](LPCWSTR name, DWORD access, DWORD share,
                                                      LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                                      HANDLE templateFile) -> HANDLE {
                          const HANDLE handle = createFile_.Original()(name, access, share, security, disposition,
                                                                       flags, templateFile);
                          if (handle != INVALID_HANDLE_VALUE && disposition == CREATE_NEW && wanted == name) {
                              created_ = handle;
                          }
                          return handle;
                      }),
          information_(SystemCalls().GetFileInformationByHandleEx,
                       [this](HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID out, DWORD size) -> BOOL {
                           if (handle != created_) {
                               return information_.Original()(handle, kind, out, size);
                           }
                           created_ = INVALID_HANDLE_VALUE;
                           ++failed_;
                           ::SetLastError(ERROR_IO_DEVICE);
                           return FALSE;
                       }) {}

    // How many checks were made to fail (0 or 1).
    int Failed() const noexcept { return failed_; }

private:
    HANDLE created_ = INVALID_HANDLE_VALUE;
    int failed_ = 0;
    OverrideCall<CreateFileSignature> createFile_;
    OverrideCall<FileInformationSignature> information_;
};

}  // namespace pelorin::setup::testing

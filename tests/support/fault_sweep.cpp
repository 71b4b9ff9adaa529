#include "tests/support/fault_sweep.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <set>
#include <string>
#include <type_traits>
#include <utility>

#include "platform/system_calls.h"
#include "tests/support/override_call.h"

namespace pelorin::setup::testing {
namespace {

// How a table entry reports a failure; the names are those of the table's list.
enum class FailureWay { FailsFalse, FailsInvalidHandle, FailsNull, FailsZero, FailsNtStatus, FailsLStatus,
                        FailsHResult, Releases, NeverFails };

constexpr NTSTATUS StatusUnsuccessful = static_cast<NTSTATUS>(0xC0000001L);

const std::map<std::string, FailureWay, std::less<>>& FailureWays() {
    static const std::map<std::string, FailureWay, std::less<>> ways = {
#define PELORIN_SWEEP_WAY(name, signature, failure) {#name, FailureWay::failure},
        PELORIN_SYSTEM_CALLS(PELORIN_SWEEP_WAY)
#undef PELORIN_SWEEP_WAY
    };
    return ways;
}

bool IsMethod(const std::string& name) {
    return name.find("::") != std::string::npos;
}

DWORD ErrorOf(const std::string& name, Fault fault) {
    switch (fault) {
    case Fault::DiskFull:
        return ERROR_DISK_FULL;
    case Fault::SharingViolation:
        return ERROR_SHARING_VIOLATION;
    case Fault::AccessDenied:
        break;
    }
    return name.starts_with("WinHttp") ? ERROR_WINHTTP_TIMEOUT : ERROR_ACCESS_DENIED;
}

}  // namespace

const char* FaultName(Fault fault) {
    switch (fault) {
    case Fault::AccessDenied:
        return "access denied";
    case Fault::DiskFull:
        return "disk full";
    case Fault::SharingViolation:
        return "sharing violation";
    }
    return "?";
}

bool FaultSweep::CanFail(const std::string& name, Fault fault) {
    if (IsMethod(name)) {
        return fault == Fault::AccessDenied;
    }
    const auto way = FailureWays().find(name);
    if (way == FailureWays().end() || way->second == FailureWay::NeverFails) {
        return false;
    }
    switch (fault) {
    case Fault::AccessDenied:
        return true;
    case Fault::DiskFull:
        return name == "WriteFile" || name == "FlushFileBuffers" || name == "CreateDirectoryW";
    case Fault::SharingViolation:
        return name == "CreateFileW";
    }
    return false;
}

bool FaultSweep::GivesBack(const std::string& name) {
    const auto way = FailureWays().find(name);
    return way != FailureWays().end() && way->second == FailureWay::Releases;
}

// The counter, the plan and the books; shared with the wrapped COM objects,
// which may outlive the sweep if an operation leaks them.
struct Books {
    int calls = 0;
    std::vector<std::string> trace;
    std::vector<int> failing;
    Fault fault = Fault::AccessDenied;
    std::vector<InjectedCall> injected;
    std::map<std::string, std::set<std::uintptr_t>> held;  // resource kind -> live resources
    int apartments = 0;
    int liveObjects = 0;
    // The wrapped streams alive now, and the real stream behind each: the
    // link object gets the real one, so that only the engine's own calls on
    // a stream are swept, not the link object's calls inside Save and Load.
    std::map<IStream*, IStream*> streams;

    IStream* Unwrapped(IStream* stream) const {
        const auto found = streams.find(stream);
        return found == streams.end() ? stream : found->second;
    }

    // Counts the call; true when it is to fail.
    bool Fail(const char* name) {
        const int number = ++calls;
        trace.emplace_back(name);
        if (std::find(failing.begin(), failing.end(), number) == failing.end() ||
            !FaultSweep::CanFail(name, fault)) {
            return false;
        }
        injected.push_back({number, name});
        return true;
    }
    void Acquired(const char* kind, const void* resource) {
        held[kind].insert(reinterpret_cast<std::uintptr_t>(resource));
    }
    void Released(const char* kind, const void* resource) {
        held[kind].erase(reinterpret_cast<std::uintptr_t>(resource));
    }
};

namespace {

// --- The shell's objects, wrapped ----------------------------------------------

#define PELORIN_SWEPT_METHOD(Interface, Method, Parameters, Arguments)       \
    HRESULT STDMETHODCALLTYPE Method Parameters override {                   \
        if (books_->Fail(#Interface "::" #Method)) return E_FAIL;            \
        return real_->Method Arguments;                                      \
    }

// Reference counting and ownership of the real object, common to the wrappers.
template <typename Interface>
class SweptObject : public Interface {
public:
    SweptObject(Interface* real, std::shared_ptr<Books> books) : real_(real), books_(std::move(books)) {
        ++books_->liveObjects;
    }
    virtual ~SweptObject() {
        real_->Release();
        --books_->liveObjects;
    }
    SweptObject(const SweptObject&) = delete;
    SweptObject& operator=(const SweptObject&) = delete;

    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references_;
        if (left == 0) {
            delete this;
        }
        return left;
    }

protected:
    // QueryInterface for the interfaces this wrapper is itself, counted as
    // the method `name`.
    HRESULT Answer(const char* name, REFIID iid, void** out, std::initializer_list<const IID*> own) {
        *out = nullptr;
        if (books_->Fail(name)) return E_FAIL;
        for (const IID* mine : own) {
            if (iid == *mine) {
                AddRef();
                *out = static_cast<Interface*>(this);
                return S_OK;
            }
        }
        return E_NOINTERFACE;
    }

    Interface* real_;
    std::shared_ptr<Books> books_;

private:
    std::atomic<ULONG> references_{1};
};

class SweptStream final : public SweptObject<IStream> {
public:
    SweptStream(IStream* real, std::shared_ptr<Books> books) : SweptObject(real, std::move(books)) {
        books_->streams[this] = real_;
    }
    ~SweptStream() override { books_->streams.erase(this); }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        return Answer("IStream::QueryInterface", iid, out, {&IID_IUnknown, &IID_IStream, &IID_ISequentialStream});
    }
    PELORIN_SWEPT_METHOD(IStream, Read, (void* data, ULONG size, ULONG* read), (data, size, read))
    PELORIN_SWEPT_METHOD(IStream, Write, (const void* data, ULONG size, ULONG* written), (data, size, written))
    PELORIN_SWEPT_METHOD(IStream, Seek, (LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position),
                         (move, origin, position))
    PELORIN_SWEPT_METHOD(IStream, SetSize, (ULARGE_INTEGER size), (size))
    PELORIN_SWEPT_METHOD(IStream, CopyTo,
                         (IStream * target, ULARGE_INTEGER size, ULARGE_INTEGER* read, ULARGE_INTEGER* written),
                         (target, size, read, written))
    PELORIN_SWEPT_METHOD(IStream, Commit, (DWORD flags), (flags))
    PELORIN_SWEPT_METHOD(IStream, Revert, (), ())
    PELORIN_SWEPT_METHOD(IStream, LockRegion, (ULARGE_INTEGER offset, ULARGE_INTEGER size, DWORD type),
                         (offset, size, type))
    PELORIN_SWEPT_METHOD(IStream, UnlockRegion, (ULARGE_INTEGER offset, ULARGE_INTEGER size, DWORD type),
                         (offset, size, type))
    PELORIN_SWEPT_METHOD(IStream, Stat, (STATSTG * stat, DWORD flags), (stat, flags))
    PELORIN_SWEPT_METHOD(IStream, Clone, (IStream * *copy), (copy))
};

class SweptPersistStream final : public SweptObject<IPersistStream> {
public:
    using SweptObject::SweptObject;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        return Answer("IPersistStream::QueryInterface", iid, out, {&IID_IUnknown, &IID_IPersist, &IID_IPersistStream});
    }
    PELORIN_SWEPT_METHOD(IPersistStream, GetClassID, (CLSID * id), (id))
    PELORIN_SWEPT_METHOD(IPersistStream, IsDirty, (), ())
    PELORIN_SWEPT_METHOD(IPersistStream, Load, (IStream * stream), (books_->Unwrapped(stream)))
    PELORIN_SWEPT_METHOD(IPersistStream, Save, (IStream * stream, BOOL clearDirty),
                         (books_->Unwrapped(stream), clearDirty))
    PELORIN_SWEPT_METHOD(IPersistStream, GetSizeMax, (ULARGE_INTEGER * size), (size))
};

class SweptShellLink final : public SweptObject<IShellLinkW> {
public:
    using SweptObject::SweptObject;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        const HRESULT answer = Answer("IShellLinkW::QueryInterface", iid, out, {&IID_IUnknown, &IID_IShellLinkW});
        if (answer != E_NOINTERFACE) return answer;
        if (iid == IID_IPersistStream) {
            IPersistStream* persist = nullptr;
            const HRESULT result = real_->QueryInterface(IID_IPersistStream, reinterpret_cast<void**>(&persist));
            if (FAILED(result) || persist == nullptr) return FAILED(result) ? result : E_NOINTERFACE;
            *out = static_cast<IPersistStream*>(new SweptPersistStream(persist, books_));
            return S_OK;
        }
        return E_NOINTERFACE;  // nothing else is asked for
    }
    PELORIN_SWEPT_METHOD(IShellLinkW, GetPath, (LPWSTR file, int size, WIN32_FIND_DATAW* data, DWORD flags),
                         (file, size, data, flags))
    PELORIN_SWEPT_METHOD(IShellLinkW, GetIDList, (PIDLIST_ABSOLUTE * list), (list))
    PELORIN_SWEPT_METHOD(IShellLinkW, SetIDList, (PCIDLIST_ABSOLUTE list), (list))
    PELORIN_SWEPT_METHOD(IShellLinkW, GetDescription, (LPWSTR name, int size), (name, size))
    PELORIN_SWEPT_METHOD(IShellLinkW, SetDescription, (LPCWSTR name), (name))
    PELORIN_SWEPT_METHOD(IShellLinkW, GetWorkingDirectory, (LPWSTR folder, int size), (folder, size))
    PELORIN_SWEPT_METHOD(IShellLinkW, SetWorkingDirectory, (LPCWSTR folder), (folder))
    PELORIN_SWEPT_METHOD(IShellLinkW, GetArguments, (LPWSTR arguments, int size), (arguments, size))
    PELORIN_SWEPT_METHOD(IShellLinkW, SetArguments, (LPCWSTR arguments), (arguments))
    PELORIN_SWEPT_METHOD(IShellLinkW, GetHotkey, (WORD * key), (key))
    PELORIN_SWEPT_METHOD(IShellLinkW, SetHotkey, (WORD key), (key))
    PELORIN_SWEPT_METHOD(IShellLinkW, GetShowCmd, (int* show), (show))
    PELORIN_SWEPT_METHOD(IShellLinkW, SetShowCmd, (int show), (show))
    PELORIN_SWEPT_METHOD(IShellLinkW, GetIconLocation, (LPWSTR path, int size, int* index), (path, size, index))
    PELORIN_SWEPT_METHOD(IShellLinkW, SetIconLocation, (LPCWSTR path, int index), (path, index))
    PELORIN_SWEPT_METHOD(IShellLinkW, SetRelativePath, (LPCWSTR path, DWORD reserved), (path, reserved))
    PELORIN_SWEPT_METHOD(IShellLinkW, Resolve, (HWND window, DWORD flags), (window, flags))
    PELORIN_SWEPT_METHOD(IShellLinkW, SetPath, (LPCWSTR file), (file))
};

#undef PELORIN_SWEPT_METHOD

// --- Table entries, wrapped -----------------------------------------------------

// What an entry that is failed returns; the error is set by the caller.
template <typename R>
R FailureResult(FailureWay way, const std::string& name) {
    if constexpr (std::is_void_v<R>) {
        return;
    } else if constexpr (std::is_pointer_v<R>) {
        return way == FailureWay::FailsInvalidHandle ? static_cast<R>(INVALID_HANDLE_VALUE) : nullptr;
    } else {
        switch (way) {
        case FailureWay::FailsNtStatus:
            return static_cast<R>(StatusUnsuccessful);
        case FailureWay::FailsLStatus:
            return static_cast<R>(ERROR_ACCESS_DENIED);
        case FailureWay::FailsHResult:
            return static_cast<R>(E_FAIL);
        case FailureWay::Releases:
            if (name.starts_with("BCrypt")) return static_cast<R>(StatusUnsuccessful);
            if (name.starts_with("Reg")) return static_cast<R>(ERROR_ACCESS_DENIED);
            return static_cast<R>(0);
        default:
            return static_cast<R>(0);  // FALSE, or a length of 0
        }
    }
}

template <typename Signature>
class SweptEntry;

template <typename R, typename... Args>
class SweptEntry<R(Args...)> {
public:
    SweptEntry(std::function<R(Args...)>& slot, const char* name, FailureWay way, Books& books)
        : override_(slot, [this, name, way, &books](Args... args) -> R {
              if (!books.Fail(name)) {
                  return override_.Original()(args...);
              }
              if (way == FailureWay::Releases) {
                  override_.Original()(args...);  // given back all the same
              }
              ::SetLastError(ErrorOf(name, books.fault));
              return FailureResult<R>(way, name);
          }) {}

private:
    OverrideCall<R(Args...)> override_;
};

}  // namespace

struct FaultSweep::State {
    explicit State(std::shared_ptr<Books> shared) : books(std::move(shared)) {}

    std::shared_ptr<Books> books;
    SystemCallTable& calls = SystemCalls();

    // The books, kept below the injector so that they see only what really
    // happened.
    OverrideCall<HANDLE(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)> createFile{
        calls.CreateFileW,
        [this](LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
               HANDLE templateFile) {
            const HANDLE handle = createFile.Original()(name, access, share, security, disposition, flags, templateFile);
            return Kernel(handle, handle != INVALID_HANDLE_VALUE);
        }};
    OverrideCall<HANDLE(LPSECURITY_ATTRIBUTES, BOOL, LPCWSTR)> createMutex{
        calls.CreateMutexW, [this](LPSECURITY_ATTRIBUTES security, BOOL owned, LPCWSTR name) {
            const HANDLE handle = createMutex.Original()(security, owned, name);
            return Kernel(handle, handle != nullptr);
        }};
    OverrideCall<BOOL(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR,
                      LPSTARTUPINFOW, LPPROCESS_INFORMATION)>
        createProcess{calls.CreateProcessW,
                      [this](LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES processSecurity,
                             LPSECURITY_ATTRIBUTES threadSecurity, BOOL inherit, DWORD flags, LPVOID environment,
                             LPCWSTR folder, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION process) {
                          const BOOL ok =
                              createProcess.Original()(application, commandLine, processSecurity, threadSecurity,
                                                       inherit, flags, environment, folder, startup, process);
                          Kernel(process->hProcess, ok != FALSE);
                          Kernel(process->hThread, ok != FALSE);
                          return ok;
                      }};
    OverrideCall<BOOL(HANDLE)> closeHandle{calls.CloseHandle, [this](HANDLE handle) {
                                               books->Released("kernel handle", handle);
                                               return closeHandle.Original()(handle);
                                           }};
    OverrideCall<HANDLE(LPCWSTR, LPWIN32_FIND_DATAW)> findFirst{
        calls.FindFirstFileW, [this](LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
            const HANDLE search = findFirst.Original()(pattern, data);
            if (search != INVALID_HANDLE_VALUE) Keep("find handle", search);
            return search;
        }};
    OverrideCall<BOOL(HANDLE)> findClose{calls.FindClose, [this](HANDLE search) {
                                             books->Released("find handle", search);
                                             return findClose.Original()(search);
                                         }};
    OverrideCall<LSTATUS(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY)> openKey{
        calls.RegOpenKeyExW, [this](HKEY parent, LPCWSTR name, DWORD options, REGSAM access, PHKEY key) {
            const LSTATUS status = openKey.Original()(parent, name, options, access, key);
            if (status == ERROR_SUCCESS) Keep("registry key", *key);
            return status;
        }};
    OverrideCall<LSTATUS(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY, LPDWORD)>
        createKey{calls.RegCreateKeyExW,
                  [this](HKEY parent, LPCWSTR name, DWORD reserved, LPWSTR kind, DWORD options, REGSAM access,
                         LPSECURITY_ATTRIBUTES security, PHKEY key, LPDWORD disposition) {
                      const LSTATUS status = createKey.Original()(parent, name, reserved, kind, options, access,
                                                                   security, key, disposition);
                      if (status == ERROR_SUCCESS) Keep("registry key", *key);
                      return status;
                  }};
    OverrideCall<LSTATUS(HKEY)> closeKey{calls.RegCloseKey, [this](HKEY key) {
                                             books->Released("registry key", key);
                                             return closeKey.Original()(key);
                                         }};
    OverrideCall<HINTERNET(LPCWSTR, DWORD, LPCWSTR, LPCWSTR, DWORD)> httpOpen{
        calls.WinHttpOpen, [this](LPCWSTR agent, DWORD access, LPCWSTR proxy, LPCWSTR bypass, DWORD flags) {
            return Http(httpOpen.Original()(agent, access, proxy, bypass, flags));
        }};
    OverrideCall<HINTERNET(HINTERNET, LPCWSTR, INTERNET_PORT, DWORD)> httpConnect{
        calls.WinHttpConnect, [this](HINTERNET session, LPCWSTR host, INTERNET_PORT port, DWORD reserved) {
            return Http(httpConnect.Original()(session, host, port, reserved));
        }};
    OverrideCall<HINTERNET(HINTERNET, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR*, DWORD)> httpRequest{
        calls.WinHttpOpenRequest,
        [this](HINTERNET connection, LPCWSTR verb, LPCWSTR object, LPCWSTR version, LPCWSTR referrer,
               LPCWSTR* types, DWORD flags) {
            return Http(httpRequest.Original()(connection, verb, object, version, referrer, types, flags));
        }};
    OverrideCall<BOOL(HINTERNET)> httpClose{calls.WinHttpCloseHandle, [this](HINTERNET handle) {
                                                books->Released("WinHTTP handle", handle);
                                                return httpClose.Original()(handle);
                                            }};
    OverrideCall<NTSTATUS(BCRYPT_ALG_HANDLE*, LPCWSTR, LPCWSTR, ULONG)> openProvider{
        calls.BCryptOpenAlgorithmProvider,
        [this](BCRYPT_ALG_HANDLE* provider, LPCWSTR algorithm, LPCWSTR implementation, ULONG flags) {
            const NTSTATUS status = openProvider.Original()(provider, algorithm, implementation, flags);
            if (status >= 0) Keep("CNG provider", *provider);
            return status;
        }};
    OverrideCall<NTSTATUS(BCRYPT_ALG_HANDLE, ULONG)> closeProvider{
        calls.BCryptCloseAlgorithmProvider, [this](BCRYPT_ALG_HANDLE provider, ULONG flags) {
            books->Released("CNG provider", provider);
            return closeProvider.Original()(provider, flags);
        }};
    OverrideCall<NTSTATUS(BCRYPT_ALG_HANDLE, BCRYPT_HASH_HANDLE*, PUCHAR, ULONG, PUCHAR, ULONG, ULONG)> createHash{
        calls.BCryptCreateHash,
        [this](BCRYPT_ALG_HANDLE provider, BCRYPT_HASH_HANDLE* hash, PUCHAR object, ULONG objectLength, PUCHAR secret,
               ULONG secretLength, ULONG flags) {
            const NTSTATUS status =
                createHash.Original()(provider, hash, object, objectLength, secret, secretLength, flags);
            if (status >= 0) Keep("hash object", *hash);
            return status;
        }};
    OverrideCall<NTSTATUS(BCRYPT_HASH_HANDLE)> destroyHash{calls.BCryptDestroyHash, [this](BCRYPT_HASH_HANDLE hash) {
                                                                books->Released("hash object", hash);
                                                                return destroyHash.Original()(hash);
                                                            }};
    OverrideCall<HRESULT(LPVOID, DWORD)> enterApartment{calls.CoInitializeEx, [this](LPVOID reserved, DWORD model) {
                                                            const HRESULT result =
                                                                enterApartment.Original()(reserved, model);
                                                            books->apartments += SUCCEEDED(result) ? 1 : 0;
                                                            return result;
                                                        }};
    OverrideCall<void()> leaveApartment{calls.CoUninitialize, [this] {
                                            --books->apartments;
                                            leaveApartment.Original()();
                                        }};
    // The shell's objects come back wrapped.
    OverrideCall<HRESULT(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*)> createInstance{
        calls.CoCreateInstance, [this](REFCLSID id, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* out) {
            const HRESULT result = createInstance.Original()(id, outer, context, iid, out);
            if (SUCCEEDED(result) && *out != nullptr && iid == IID_IShellLinkW) {
                *out = static_cast<IShellLinkW*>(new SweptShellLink(static_cast<IShellLinkW*>(*out), books));
            }
            return result;
        }};
    OverrideCall<HRESULT(HGLOBAL, BOOL, LPSTREAM*)> createStream{
        calls.CreateStreamOnHGlobal, [this](HGLOBAL memory, BOOL deleteOnRelease, LPSTREAM* stream) {
            const HRESULT result = createStream.Original()(memory, deleteOnRelease, stream);
            if (SUCCEEDED(result) && *stream != nullptr) {
                *stream = new SweptStream(*stream, books);
            }
            return result;
        }};

    // The counter and injector over every entry, outermost.
#define PELORIN_SWEEP_ENTRY(name, signature, failure) \
    SweptEntry<signature> name##Entry{calls.name, #name, FailureWay::failure, *books};
    PELORIN_SYSTEM_CALLS(PELORIN_SWEEP_ENTRY)
#undef PELORIN_SWEEP_ENTRY

private:
    HANDLE Kernel(HANDLE handle, bool acquired) {
        if (acquired) Keep("kernel handle", handle);
        return handle;
    }
    HINTERNET Http(HINTERNET handle) {
        if (handle != nullptr) Keep("WinHTTP handle", handle);
        return handle;
    }
    void Keep(const char* kind, const void* resource) {
        const DWORD error = ::GetLastError();  // some calls report on success too
        books->Acquired(kind, resource);
        ::SetLastError(error);
    }
};

FaultSweep::FaultSweep() : FaultSweep({}, Fault::AccessDenied) {}

FaultSweep::FaultSweep(std::vector<int> failing, Fault fault) {
    auto books = std::make_shared<Books>();
    books->failing = std::move(failing);
    books->fault = fault;
    state_ = std::make_unique<State>(std::move(books));
}

FaultSweep::~FaultSweep() = default;

int FaultSweep::Calls() const {
    return state_->books->calls;
}

const std::vector<std::string>& FaultSweep::Trace() const {
    return state_->books->trace;
}

const std::vector<InjectedCall>& FaultSweep::Injected() const {
    return state_->books->injected;
}

std::vector<std::string> FaultSweep::Unreleased() const {
    const Books& books = *state_->books;
    std::vector<std::string> lines;
    for (const auto& [kind, held] : books.held) {
        if (!held.empty()) lines.push_back(std::to_string(held.size()) + " " + kind + "(s)");
    }
    if (books.apartments != 0) lines.push_back(std::to_string(books.apartments) + " COM apartment(s)");
    if (books.liveObjects != 0) lines.push_back(std::to_string(books.liveObjects) + " shell object(s)");
    return lines;
}

}  // namespace pelorin::setup::testing

#include "tests/support/links.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <cstring>

#include "tests/support/install_tree.h"

namespace pelorin::setup::testing {

std::wstring ShortcutTarget(const std::wstring& path) {
    if (!PathExists(path)) return std::wstring();
    const std::string bytes = ReadFileBytes(path);
    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    std::wstring target;
    IShellLinkW* link = nullptr;
    if (SUCCEEDED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                     reinterpret_cast<void**>(&link)))) {
        IPersistStream* persist = nullptr;
        IStream* stream = nullptr;
        HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, bytes.size());
        if (memory != nullptr) {
            std::memcpy(::GlobalLock(memory), bytes.data(), bytes.size());
            ::GlobalUnlock(memory);
        }
        if (memory != nullptr && SUCCEEDED(::CreateStreamOnHGlobal(memory, TRUE, &stream)) &&
            SUCCEEDED(link->QueryInterface(IID_IPersistStream, reinterpret_cast<void**>(&persist))) &&
            SUCCEEDED(persist->Load(stream))) {
            wchar_t buffer[MAX_PATH * 4] = {};
            if (SUCCEEDED(link->GetPath(buffer, MAX_PATH * 4, nullptr, SLGP_RAWPATH))) target = buffer;
        } else if (memory != nullptr && stream == nullptr) {
            ::GlobalFree(memory);
        }
        if (persist != nullptr) persist->Release();
        if (stream != nullptr) stream->Release();
        link->Release();
    }
    if (SUCCEEDED(com)) ::CoUninitialize();
    return target;
}

}  // namespace pelorin::setup::testing

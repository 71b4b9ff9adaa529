// The folders the manifest implies. Apart from the name rules because it
// converts names to UTF-16 with the system's converter.
#include <algorithm>
#include <set>

#include "payload/entry_names.h"
#include "payload/manifest.h"
#include "platform/paths.h"

namespace pelorin::setup {

std::vector<std::wstring> ManifestDirectories() {
    std::set<std::wstring> folders;
    for (std::size_t row = 0; row < PayloadEntryCount; ++row) {
        std::wstring name = Utf8ToWide(PayloadManifest[row].name);
        std::replace(name.begin(), name.end(), L'/', L'\\');
        for (std::size_t p = name.find(L'\\'); p != std::wstring::npos; p = name.find(L'\\', p + 1)) {
            folders.insert(name.substr(0, p));
        }
    }
    std::vector<std::wstring> result(folders.begin(), folders.end());
    std::sort(result.begin(), result.end(),
              [](const std::wstring& a, const std::wstring& b) { return a.size() > b.size(); });
    return result;
}

}  // namespace pelorin::setup

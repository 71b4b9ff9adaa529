// The path acceptance rule and the joins and parents built on it. The input
// is UTF-16 text; before its first U+0000 a path, after it a relative part.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "platform/path_rules.h"

namespace pelorin::setup::fuzzing {
namespace {

const std::wstring LongPrefix = L"\\\\?\\";

void CheckPath(const std::wstring& path) {
    const bool accepted = IsAcceptedPath(path);
    bool converted = false;
    AllowFailure(FailureCode::InstallFolderRejected, [&] {
        Check(ToLongPath(path) == LongPrefix + path, "the long form is not the prefix and the path");
        converted = true;
    });
    Check(converted == accepted, "ToLongPath and the acceptance rule disagree");

    bool hasParent = false;
    AllowFailure(FailureCode::InstallFolderRejected, [&] {
        const std::wstring parent = ParentPath(path);
        hasParent = true;
        Check(parent.size() >= 2 && parent.size() < path.size() && path.compare(0, parent.size(), parent) == 0 &&
                  path[parent.size()] == L'\\',
              "the parent is not the text before a backslash");
        Check(path.find(L'\\', parent.size() + 1) == std::wstring::npos, "the parent is not before the last backslash");
        // The folders above an accepted path are accepted: the chain the file
        // primitives hold open is made of them.
        if (accepted && parent.size() >= 3) {
            Check(IsAcceptedPath(parent), "the parent of an accepted path is refused");
        }
    });
    const std::size_t last = path.rfind(L'\\');
    Check(hasParent == (last != std::wstring::npos && last >= 2), "ParentPath refused a path with a parent");

    const std::wstring trimmed = TrimTrailingBackslashes(path);
    Check(trimmed.size() <= path.size() && path.compare(0, trimmed.size(), trimmed) == 0, "trimming changed the text");
    if (accepted) {
        Check(IsAcceptedPath(trimmed), "trimming made an accepted path refused");
    }
}

}  // namespace
}  // namespace pelorin::setup::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace pelorin::setup;
    using namespace pelorin::setup::fuzzing;
    const std::wstring text = Utf16Units(data, size);
    CheckPath(text);
    const std::size_t split = text.find(L'\0');
    if (split != std::wstring::npos) {
        const std::wstring base = text.substr(0, split);
        const std::wstring relative = text.substr(split + 1);
        CheckPath(base);
        const std::wstring joined = JoinPath(base, relative);
        Check(joined.size() == base.size() + 1 + relative.size() && joined.compare(0, base.size(), base) == 0 &&
                  joined[base.size()] == L'\\',
              "the join is not the base, a backslash and the relative part");
        Check(joined.find(L'/', base.size()) == std::wstring::npos, "a forward slash survived the join");
        CheckPath(joined);
    }
    return 0;
}

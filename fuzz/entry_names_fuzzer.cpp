// The entry-name rules and the name-set check. The input is one name, and
// also a list of names separated by line feeds (a byte no valid name holds).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "payload/entry_names.h"

namespace pelorin::setup::fuzzing {
namespace {

std::vector<std::string> Lines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find('\n', start);
        lines.emplace_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) {
            return lines;
        }
        start = end + 1;
    }
}

void CheckName(std::string_view name) {
    const bool valid = IsValidEntryName(name);
    const std::string lower = AsciiLower(name);
    Check(lower.size() == name.size(), "lowering changed the length");
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        Check(lower[i] == ((c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c),
              "lowering changed more than A to Z");
    }
    // Every rule ignores ASCII case: device names are compared lowered.
    Check(IsValidEntryName(lower) == valid, "validity depends on ASCII case");
}

void CheckNames(const std::vector<std::string>& names) {
    const bool ok = CheckNameSet(names);
    // The check is over a set: the order of the list does not matter.
    std::vector<std::string> reversed(names.rbegin(), names.rend());
    Check(CheckNameSet(reversed) == ok, "the name set check depends on the order");
    if (ok && !names.empty()) {
        // A name that differs from an accepted one only in ASCII case clashes.
        std::vector<std::string> clash = names;
        std::string upper = names.front();
        for (char& c : upper) {
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        }
        clash.push_back(upper);
        Check(!CheckNameSet(clash), "a name and its upper-case form both accepted");
    }
}

}  // namespace
}  // namespace pelorin::setup::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace pelorin::setup::fuzzing;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    CheckName(text);
    const std::vector<std::string> names = Lines(text);
    for (const std::string& name : names) {
        CheckName(name);
    }
    CheckNames(names);
    return 0;
}

#include "tests/support/marker_forms.h"

#include "payload/manifest.h"

namespace pelorin::setup::testing {
namespace {

// Joins texts by appending (GCC 12 misreports "literal" + std::string).
template <typename... Parts>
std::string Join(const Parts&... parts) {
    std::string text;
    (text.append(parts), ...);
    return text;
}

std::string WithCharacterAt(std::string text, std::size_t at, char c) {
    text.at(at) = c;
    return text;
}

std::string Upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

}  // namespace

std::vector<MarkerForm> InstallMarkerForms(const std::string& digest) {
    const std::string head = Join("PELORIN-INSTALL-1\n0.5.0\n", ReleaseArchiveSha256, "\n");
    const auto marker = [&](const std::string& digestLine) { return Join(head, digestLine); };
    const std::string written = marker(Join(digest, "\n"));
    std::string oversized = written;
    oversized.insert(head.size(), std::string(1025 - oversized.size(), 'a'));
    std::string atLimit = written;
    atLimit.insert(head.size(), std::string(1024 - atLimit.size(), 'a'));

    return {
        {"as written", written, true},
        {"uppercase digest", marker(Join(Upper(digest), "\n")), false},
        {"one uppercase digit", marker(Join(WithCharacterAt(digest, 10, 'B'), "\n")), false},
        {"not a hex digit", marker(Join(WithCharacterAt(digest, 63, 'g'), "\n")), false},
        {"carriage return before the last line feed", marker(Join(digest, "\r\n")), false},
        {"carriage return in place of the last digit", marker(Join(digest.substr(0, 63), "\r\n")), false},
        {"byte after the last line feed", Join(written, "x"), false},
        {"empty line after the last line feed", Join(written, "\n"), false},
        {"no final line feed", marker(Join(digest, "0")), false},
        {"digest one short", marker(Join(digest.substr(1), "\n")), false},
        {"CRLF lines", Join("PELORIN-INSTALL-1\r\n0.5.0\r\n", ReleaseArchiveSha256, "\r\n", digest, "\r\n"), false},
        {"other format line", Join("PELORIN-INSTALL-2", written.substr(17)), false},
        {"other version", Join("PELORIN-INSTALL-1\n0.5.1\n", written.substr(24)), false},
        {"other release archive", Join("PELORIN-INSTALL-1\n0.5.0\n", digest, "\n", digest, "\n"), false},
        {"release digest in uppercase",
         Join("PELORIN-INSTALL-1\n0.5.0\n", Upper(ReleaseArchiveSha256), "\n", digest, "\n"), false},
        {"1024 bytes", atLimit, false},
        {"1025 bytes", oversized, false},
        {"empty", "", false},
    };
}

}  // namespace pelorin::setup::testing

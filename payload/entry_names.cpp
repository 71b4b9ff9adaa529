#include "payload/entry_names.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <set>

namespace pelorin::setup {
namespace {

constexpr std::size_t MaxNameBytes = 200;
constexpr std::size_t MaxComponentBytes = 150;
constexpr std::string_view ForbiddenNameCharacters = "\\:*?\"<>|";

// Decodes strict UTF-8 and accepts only printable code points.
bool IsStrictPrintableUtf8(std::string_view text) noexcept {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<std::uint8_t>(text[i]);
        std::uint32_t codePoint = 0;
        std::size_t length = 0;
        if (lead < 0x80) {
            codePoint = lead;
            length = 1;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            codePoint = lead & 0x1Fu;
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            codePoint = lead & 0x0Fu;
            length = 3;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            codePoint = lead & 0x07u;
            length = 4;
        } else {
            return false;
        }
        if (length > text.size() - i) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<std::uint8_t>(text[i + k]);
            if (next < 0x80 || next > 0xBF) {
                return false;
            }
            codePoint = (codePoint << 6) | (next & 0x3Fu);
        }
        if ((length == 3 && codePoint < 0x800) || (length == 4 && codePoint < 0x10000) || codePoint > 0x10FFFF ||
            (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
            return false;
        }
        if (codePoint < 0x20 || (codePoint >= 0x7F && codePoint <= 0x9F)) {
            return false;
        }
        i += length;
    }
    return true;
}

bool IsReservedDeviceBase(std::string_view base) {
    const std::string lower = AsciiLower(base);
    static constexpr std::array<std::string_view, 7> Fixed = {"con",    "prn",    "aux",    "nul",
                                                              "clock$", "conin$", "conout$"};
    if (std::find(Fixed.begin(), Fixed.end(), lower) != Fixed.end()) {
        return true;
    }
    return lower.size() == 4 && (lower.starts_with("com") || lower.starts_with("lpt")) && lower[3] >= '0' &&
           lower[3] <= '9';
}

bool IsValidComponent(std::string_view component) {
    if (component.empty() || component == "." || component == "..") {
        return false;
    }
    if (component.back() == ' ' || component.back() == '.') {
        return false;
    }
    if (component.size() > MaxComponentBytes) {
        return false;
    }
    return !IsReservedDeviceBase(component.substr(0, component.find('.')));
}

}  // namespace

bool IsValidEntryName(std::string_view name) noexcept {
    try {
        if (name.empty() || name.size() > MaxNameBytes) {
            return false;
        }
        if (!IsStrictPrintableUtf8(name)) {
            return false;
        }
        if (name.front() == '/' || name.back() == '/') {
            return false;
        }
        if (name.find_first_of(ForbiddenNameCharacters) != std::string_view::npos) {
            return false;
        }
        std::size_t start = 0;
        while (true) {
            const std::size_t end = name.find('/', start);
            const std::size_t stop = end == std::string_view::npos ? name.size() : end;
            if (!IsValidComponent(name.substr(start, stop - start))) {
                return false;
            }
            if (end == std::string_view::npos) {
                return true;
            }
            start = end + 1;
        }
    } catch (...) {
        return false;  // only an allocation failure of a 7-byte string gets here
    }
}

std::string AsciiLower(std::string_view name) {
    std::string lower(name);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return lower;
}

bool CheckNameSet(const std::vector<std::string>& names) {
    std::set<std::string> folded;
    for (const std::string& name : names) {
        if (!IsValidEntryName(name)) {
            return false;
        }
        if (!folded.insert(AsciiLower(name)).second) {
            return false;
        }
    }
    for (const std::string& name : folded) {
        for (std::size_t p = name.find('/'); p != std::string::npos; p = name.find('/', p + 1)) {
            if (folded.count(name.substr(0, p)) != 0) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace pelorin::setup

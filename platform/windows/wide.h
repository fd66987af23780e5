// Conversions between the core's UTF-8 text and the wide (UTF-16) strings of
// the Windows API.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/text.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide characters are UTF-16");

namespace fwu {

inline std::wstring Wide(std::string_view utf8) {
    const std::u16string wide = Utf8ToUtf16(utf8);
    return std::wstring(wide.begin(), wide.end());
}

inline std::string Narrow(const wchar_t* text, std::size_t length) {
    return Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text), length));
}

// A null-terminated wide string; "" for a null pointer.
inline std::string Narrow(const wchar_t* text) {
    if (text == nullptr) return {};
    return Narrow(text, std::wstring_view(text).size());
}

}  // namespace fwu

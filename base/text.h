// Text helpers. Text inside the core is UTF-8 in std::string; the platform
// layers convert at their boundary (UTF-16 on Windows).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>

namespace fwu {

// printf-style formatting into a std::string.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* fmt, std::va_list args);

// UTF-8 <-> UTF-16 conversion (invalid sequences become U+FFFD).
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);

// `s` without the characters of `blanks` at either end.
std::string_view Trim(std::string_view s, std::string_view blanks = " \t\r\n");

// A program's name as shown to the user: the file name of `path` (either
// separator) without its extension; "FirmwareUpgrade" when that is empty.
std::string AppNameFromPath(std::string_view path);

// ASCII-only case mapping (what the tool needs for keys, paths and names).
std::string AsciiLower(std::string_view s);
std::string AsciiUpper(std::string_view s);

}  // namespace fwu

#include "base/ini.h"

#include "base/text.h"

namespace fwu {
namespace {

// What the reader drops around names and values (0x1A: the old end-of-file mark).
constexpr std::string_view kBlanks = " \t\r\n\x1a";

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && AsciiLower(a) == AsciiLower(b);
}

// Cut to at most `units` UTF-16 code units without splitting a surrogate pair.
std::string LimitUnits(std::string_view value, std::size_t units) {
    if (value.size() <= units) return std::string(value);  // a byte is at most one unit
    std::u16string wide = Utf8ToUtf16(value);
    if (wide.size() <= units) return std::string(value);
    std::size_t cut = units;
    if (cut > 0 && wide[cut - 1] >= 0xD800 && wide[cut - 1] <= 0xDBFF) --cut;
    wide.resize(cut);
    return Utf16ToUtf8(wide);
}

}  // namespace

std::string IniLookup(std::string_view text, std::string_view section, std::string_view key,
                      std::size_t capacity) {
    if (capacity == 0) return {};
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    const std::string_view wantSection = Trim(section, kBlanks);
    const std::string_view wantKey = Trim(key, kBlanks);

    bool inSection = false;
    bool seenSection = false;
    while (!text.empty()) {
        const std::size_t eol = text.find('\n');
        std::string_view line = Trim(text.substr(0, eol), kBlanks);
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
        if (line.empty() || line.front() == ';') continue;

        if (line.front() == '[') {
            // Only the first section of a given name counts.
            if (inSection) break;
            const std::size_t close = line.find(']');
            const std::string_view name =
                Trim(line.substr(1, close == std::string_view::npos ? line.size() - 1 : close - 1),
                     kBlanks);
            inSection = !seenSection && SameName(name, wantSection);
            seenSection = seenSection || inSection;
            continue;
        }
        if (!inSection) continue;

        const std::size_t eq = line.find('=');
        const std::string_view name = Trim(line.substr(0, eq), kBlanks);
        if (name.empty() || !SameName(name, wantKey)) continue;
        if (eq == std::string_view::npos) return {};
        std::string_view value = Trim(line.substr(eq + 1), kBlanks);
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        return LimitUnits(value, capacity - 1);
    }
    return {};
}

}  // namespace fwu

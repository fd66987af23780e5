// Lookup of one value in the text of an INI file, with the rules of the
// Windows profile reader: section and key names match regardless of (ASCII)
// case, blanks around names and values are dropped, one pair of matching
// enclosing quotes (' or ") is dropped, lines beginning with ';' are comments,
// and the result holds at most capacity - 1 UTF-16 code units. Missing
// section or key gives "".
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace fwu {

std::string IniLookup(std::string_view fileText, std::string_view section, std::string_view key,
                      std::size_t capacity);

}  // namespace fwu

// ASCII case-insensitive comparisons for configuration names; lengths count,
// so an embedded NUL never ends a comparison early.
#pragma once

#include <cstddef>
#include <string_view>

namespace vppTextMatch {

inline char Lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// True when text is name's first text.size() characters, ignoring case.
inline bool IsPrefixIgnoreCase(std::string_view text, std::string_view name)
{
    if (text.size() > name.size())
        return false;
    for (size_t i = 0; i < text.size(); i++)
        if (Lower(text[i]) != Lower(name[i]))
            return false;
    return true;
}

inline bool EqualsIgnoreCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && IsPrefixIgnoreCase(a, b);
}

}  // namespace vppTextMatch

#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The bytes the identifier rules tell apart. Text is taken byte by byte: identifiers are ASCII,
// and a byte of 0x80 or more (a letter of UTF-8 or of a single-byte code page) counts as a
// letter of a word.
namespace obfuscation::chars {

inline bool digit(unsigned char c)
{
    return c >= '0' && c <= '9';
}
inline bool upper(unsigned char c)
{
    return c >= 'A' && c <= 'Z';
}
inline bool lower(unsigned char c)
{
    return c >= 'a' && c <= 'z';
}
inline bool alpha(unsigned char c)
{
    return upper(c) || lower(c);
}
inline bool alnum(unsigned char c)
{
    return alpha(c) || digit(c);
}
inline bool hex(unsigned char c)
{
    return digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
// A byte that goes on a word: a token next to one is part of something longer.
inline bool word(unsigned char c)
{
    return alnum(c) || c == '_' || c >= 0x80;
}
inline char toLower(unsigned char c)
{
    return char(upper(c) ? c + 32 : c);
}

// `text` in small letters (ASCII; other bytes as they are).
inline std::string lowered(std::string_view text)
{
    std::string out(text);
    for (char &c : out)
        c = toLower(static_cast<unsigned char>(c));
    return out;
}

// The byte at `i`, or 0 outside the text.
inline unsigned char at(std::string_view text, size_t i)
{
    return i < text.size() ? static_cast<unsigned char>(text[i]) : 0;
}

// Whether the text from `i` is `word` in any case, followed by no letter or digit.
inline bool wordAt(std::string_view text, size_t i, std::string_view word)
{
    if (i + word.size() > text.size())
        return false;
    for (size_t k = 0; k < word.size(); ++k)
        if (toLower(static_cast<unsigned char>(text[i + k])) != word[k])
            return false;
    return !alnum(at(text, i + word.size()));
}

} // namespace obfuscation::chars

#pragma once

// Text helpers shared by every part of the program. Texts inside the program are UTF-8; files
// and the bus carry Windows-1251, converted at those boundaries with the helpers below.

#include <cstddef>
#include <exception>
#include <string>
#include <string_view>

#include <fmt/printf.h>

// Windows-1251 -> UTF-8. A byte with no character in the code page (0x98) becomes '?'.
std::string Cp1251ToUtf8(std::string_view cp1251);

// UTF-8 -> Windows-1251. A character the code page lacks, or a broken UTF-8 sequence, becomes
// '?'. Every output byte is one character, so lengths in characters are lengths in bytes.
std::string Utf8ToCp1251(std::string_view utf8);

// UTF-8 -> Windows-1251 into a caller's buffer: writes at most `capacity` bytes (no terminator)
// and returns how many it wrote; conversion stops at the first character that does not fit.
std::size_t Utf8ToCp1251(std::string_view utf8, char* out, std::size_t capacity);

// The longest prefix of `utf8` with at most `max_chars` characters; never splits a sequence.
std::string_view Utf8Prefix(std::string_view utf8, std::size_t max_chars);

// Number of characters (code points) of a UTF-8 text; a broken byte counts as one.
std::size_t Utf8Length(std::string_view utf8);

// Whether the text is well-formed UTF-8 throughout.
bool IsUtf8(std::string_view text);

// Removes every leading and trailing character with a code from 0 to 32 (blanks, control
// characters, line ends). The view form returns a part of its argument: keep that alive.
std::string Trim(std::string_view text);
std::string_view TrimView(std::string_view text);
std::string_view TrimRightView(std::string_view text);

// "[%d] %s": an error code and the system's message for it, trimmed. Without an argument it
// reports the calling thread's errno.
std::string GetLastErrorText();
std::string GetLastErrorText(int code);

// Checks a printf-style format read from a file before it is used: no width or precision too
// large to be meant (no gigabyte texts), and no lone '%' at its end, which the formatter would
// read past. Used by SafeSprintf.
bool IsSaneFormat(std::string_view format);

// printf-style formatting that never throws and never reads past its arguments: a conversion
// of the wrong type, too few arguments or a malformed format gives false and an empty `out`.
// Extra arguments are ignored; widths count characters.
template <typename... Args>
bool SafeSprintf(std::string& out, std::string_view format, const Args&... args) noexcept {
    out.clear();
    if (!IsSaneFormat(format)) {
        return false;
    }
    try {
        out = fmt::sprintf(format, args...);
        return true;
    } catch (const std::exception&) {
        out.clear();
        return false;
    }
}

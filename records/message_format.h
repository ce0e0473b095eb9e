#pragma once

// printf-style formatting of the message formats read from the catalogue. The formats come
// from a file anyone may edit, so each conversion is checked against the argument it takes.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

// One argument of a catalogue format: a whole number or a UTF-8 text.
using TFormatArg = std::variant<std::int32_t, std::string_view>;

// Conversions: d i u o x X and c take a number, s a text; flags "-+ #0", a width and a
// precision of at most four digits each, and the length modifiers h l L j z t with C's
// meaning; "%%" is a percent sign. %c writes the number as a Windows-1251 character (a zero
// byte writes nothing). Widths and precisions count characters. False, with `out` empty, for
// anything else: an unknown or unfinished conversion, "*", positional arguments, more
// conversions than arguments, or a conversion of the wrong kind for its argument. Arguments
// left over are ignored.
bool FormatCatalogueText(std::string_view format, std::span<const TFormatArg> args,
                         std::string& out);

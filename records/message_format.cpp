#include "records/message_format.h"

#include <exception>

#include <fmt/printf.h>

#include "common/text.h"

namespace {

constexpr std::string_view FLAGS = "-+ #0";
constexpr std::string_view LENGTH_MODIFIERS = "hlLjzt";
constexpr std::string_view NUMBER_CONVERSIONS = "diuoxX";
// Four digits allow every width a message could want and keep one field below 10,000
// characters.
constexpr std::size_t MAX_DIGITS = 4;
constexpr std::size_t MAX_LENGTH_MODIFIERS = 2;

struct TConversion {
    std::string_view text; // the whole conversion, from '%' to the conversion character
    bool left = false;     // the '-' flag and the width are all that %c keeps
    std::string_view width;
    char type = 0;
};

// Skips characters of `set` from `pos`, at most `limit` of them; false when there are more.
bool SkipRun(std::string_view format, std::size_t& pos, std::string_view set, std::size_t limit) {
    const std::size_t start = pos;
    while (pos < format.size() && set.find(format[pos]) != std::string_view::npos) {
        ++pos;
    }
    return pos - start <= limit;
}

bool SkipDigits(std::string_view format, std::size_t& pos) {
    return SkipRun(format, pos, "0123456789", MAX_DIGITS);
}

// Reads the conversion that starts with the '%' at `start`.
bool ScanConversion(std::string_view format, std::size_t start, TConversion& conversion) {
    std::size_t pos = start + 1;
    if (pos < format.size() && format[pos] == '%') {
        conversion.text = format.substr(start, 2);
        conversion.type = '%';
        return true;
    }
    const std::size_t flags = pos;
    SkipRun(format, pos, FLAGS, std::string_view::npos);
    conversion.left = format.substr(flags, pos - flags).find('-') != std::string_view::npos;
    const std::size_t width = pos;
    if (!SkipDigits(format, pos)) {
        return false;
    }
    conversion.width = format.substr(width, pos - width);
    if (pos < format.size() && format[pos] == '.') {
        ++pos;
        if (!SkipDigits(format, pos)) {
            return false;
        }
    }
    if (!SkipRun(format, pos, LENGTH_MODIFIERS, MAX_LENGTH_MODIFIERS) || pos >= format.size()) {
        return false;
    }
    conversion.type = format[pos];
    conversion.text = format.substr(start, pos + 1 - start);
    return conversion.type == 'c' || conversion.type == 's' ||
           NUMBER_CONVERSIONS.find(conversion.type) != std::string_view::npos;
}

// The character of a Windows-1251 code, as UTF-8.
std::string CharText(std::int32_t code) {
    const char byte = static_cast<char>(code & 0xFF);
    return byte == '\0' ? std::string() : Cp1251ToUtf8(std::string_view(&byte, 1));
}

bool Apply(const TConversion& conversion, const TFormatArg& arg, std::string& out) {
    const auto* number = std::get_if<std::int32_t>(&arg);
    const auto* text = std::get_if<std::string_view>(&arg);
    if (conversion.type == 's') {
        if (text == nullptr) {
            return false;
        }
        out += fmt::sprintf(conversion.text, *text);
        return true;
    }
    if (number == nullptr) {
        return false;
    }
    if (conversion.type == 'c') {
        const std::string format =
            fmt::format("%{}{}s", conversion.left ? "-" : "", conversion.width);
        out += fmt::sprintf(format, CharText(*number));
        return true;
    }
    out += fmt::sprintf(conversion.text, *number);
    return true;
}

} // namespace

bool FormatCatalogueText(std::string_view format, std::span<const TFormatArg> args,
                         std::string& out) {
    out.clear();
    std::size_t next_arg = 0;
    std::size_t pos = 0;
    try {
        while (pos < format.size()) {
            const std::size_t percent = format.find('%', pos);
            out.append(format.substr(pos, percent - pos));
            if (percent == std::string_view::npos) {
                break;
            }
            TConversion conversion;
            if (!ScanConversion(format, percent, conversion)) {
                out.clear();
                return false;
            }
            pos = percent + conversion.text.size();
            if (conversion.type == '%') {
                out += '%';
                continue;
            }
            if (next_arg >= args.size() || !Apply(conversion, args[next_arg++], out)) {
                out.clear();
                return false;
            }
        }
    } catch (const std::exception&) {
        // {fmt} refuses a combination of flags and conversion that C would take.
        out.clear();
        return false;
    }
    return true;
}

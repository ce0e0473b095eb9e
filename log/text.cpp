#include "log/text.h"

#include <cerrno>
#include <cstring>
#include <iconv.h>

namespace {

// One iconv descriptor per thread and direction: a descriptor must not be shared between
// threads, and opening one per call would cost more than the conversion.
class TConverter {
public:
    TConverter(const char* to, const char* from) : cd_(::iconv_open(to, from)) {}
    ~TConverter() {
        if (IsOpen()) {
            ::iconv_close(cd_);
        }
    }
    TConverter(const TConverter&) = delete;
    TConverter& operator=(const TConverter&) = delete;

    bool IsOpen() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t Get() const { return cd_; }

private:
    iconv_t cd_;
};

TConverter& ToCp1251() {
    thread_local TConverter converter("CP1251", "UTF-8");
    return converter;
}

TConverter& FromCp1251() {
    thread_local TConverter converter("UTF-8", "CP1251");
    return converter;
}

bool IsContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// Bytes taken by the UTF-8 character (or broken piece of one) at the start of `text`.
std::size_t SequenceLength(const char* text, std::size_t size) {
    const auto lead = static_cast<unsigned char>(text[0]);
    std::size_t expected = 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        expected = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        expected = 3;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        expected = 4;
    }
    std::size_t length = 1;
    while (length < expected && length < size &&
           IsContinuation(static_cast<unsigned char>(text[length]))) {
        ++length;
    }
    return length;
}

// Converts with `converter`, writing '?' for every input piece it cannot convert (and for
// everything but ASCII when the descriptor could not be opened); stops when `out` is full.
std::size_t Convert(TConverter& converter, std::string_view in, char* out, std::size_t capacity,
                    bool in_is_utf8) {
    char* in_ptr = const_cast<char*>(in.data());
    std::size_t in_left = in.size();
    char* out_ptr = out;
    std::size_t out_left = capacity;
    if (converter.IsOpen()) {
        ::iconv(converter.Get(), nullptr, nullptr, nullptr, nullptr);
    }
    while (in_left > 0 && out_left > 0) {
        if (converter.IsOpen()) {
            if (::iconv(converter.Get(), &in_ptr, &in_left, &out_ptr, &out_left) !=
                static_cast<std::size_t>(-1)) {
                break;
            }
            if (errno == E2BIG || in_left == 0 || out_left == 0) {
                break;
            }
        } else if (static_cast<unsigned char>(*in_ptr) < 0x80) {
            *out_ptr++ = *in_ptr++;
            --in_left;
            --out_left;
            continue;
        }
        const std::size_t skip = in_is_utf8 ? SequenceLength(in_ptr, in_left) : 1;
        *out_ptr++ = '?';
        --out_left;
        in_ptr += skip;
        in_left -= skip;
    }
    return static_cast<std::size_t>(out_ptr - out);
}

bool IsBlank(char c) {
    return static_cast<unsigned char>(c) <= 32;
}

// strerror_r comes in a GNU form (returns the text) and an XSI form (fills the buffer).
[[maybe_unused]] const char* ErrorMessage(const char* result, const char*) {
    return result;
}
[[maybe_unused]] const char* ErrorMessage(int result, const char* buffer) {
    return result == 0 ? buffer : "Unknown error";
}

} // namespace

std::string Cp1251ToUtf8(std::string_view cp1251) {
    // Every Windows-1251 character takes at most three bytes in UTF-8.
    std::string out(cp1251.size() * 3, '\0');
    out.resize(Convert(FromCp1251(), cp1251, out.data(), out.size(), false));
    return out;
}

std::string Utf8ToCp1251(std::string_view utf8) {
    std::string out(utf8.size(), '\0');
    out.resize(Utf8ToCp1251(utf8, out.data(), out.size()));
    return out;
}

std::size_t Utf8ToCp1251(std::string_view utf8, char* out, std::size_t capacity) {
    return Convert(ToCp1251(), utf8, out, capacity, true);
}

std::string_view Utf8Prefix(std::string_view utf8, std::size_t max_chars) {
    std::size_t pos = 0;
    for (std::size_t chars = 0; chars < max_chars && pos < utf8.size(); ++chars) {
        pos += SequenceLength(utf8.data() + pos, utf8.size() - pos);
    }
    return utf8.substr(0, pos);
}

std::size_t Utf8Length(std::string_view utf8) {
    std::size_t chars = 0;
    for (std::size_t pos = 0; pos < utf8.size(); ++chars) {
        pos += SequenceLength(utf8.data() + pos, utf8.size() - pos);
    }
    return chars;
}

std::string_view TrimRightView(std::string_view text) {
    std::size_t end = text.size();
    while (end > 0 && IsBlank(text[end - 1])) {
        --end;
    }
    return text.substr(0, end);
}

std::string_view TrimView(std::string_view text) {
    text = TrimRightView(text);
    std::size_t begin = 0;
    while (begin < text.size() && IsBlank(text[begin])) {
        ++begin;
    }
    return text.substr(begin);
}

std::string Trim(std::string_view text) {
    return std::string(TrimView(text));
}

std::string GetLastErrorText() {
    return GetLastErrorText(errno);
}

std::string GetLastErrorText(int code) {
    char buffer[256] = {};
    const char* message = ErrorMessage(::strerror_r(code, buffer, sizeof buffer), buffer);
    return fmt::format("[{}] {}", code, TrimView(message));
}

bool IsSaneFormat(std::string_view format) {
    // Four digits allow every width a text could want and keep a text below 10 KB per field.
    constexpr std::size_t max_digits = 4;
    constexpr std::string_view spec_chars = "-+ #.*$'hlLjzt";
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') {
            continue;
        }
        ++i;
        if (i < format.size() && format[i] == '%') {
            continue;
        }
        for (std::size_t digits = 0; i < format.size(); ++i) {
            const char c = format[i];
            if (c >= '0' && c <= '9') {
                if (++digits > max_digits) {
                    return false;
                }
                continue;
            }
            digits = 0;
            if (spec_chars.find(c) == std::string_view::npos) {
                break;
            }
        }
    }
    return true;
}

#include "common/text.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <iconv.h>
#include <utility>

namespace {

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

// The code point of a whole, well-formed sequence of `length` bytes; 0 for a broken piece, an
// overlong form or a surrogate (code 0 itself is the one-byte sequence and never gets here).
char32_t DecodeSequence(const unsigned char* bytes, std::size_t length) {
    static constexpr unsigned char lead_bits[] = {0, 0, 0x1F, 0x0F, 0x07};
    static constexpr char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    const std::size_t expected = bytes[0] < 0xE0 ? 2 : bytes[0] < 0xF0 ? 3 : 4;
    if (length != expected) {
        return 0;
    }
    char32_t code = bytes[0] & lead_bits[length];
    for (std::size_t i = 1; i < length; ++i) {
        code = (code << 6) | (bytes[i] & 0x3Fu);
    }
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return code < smallest[length] || surrogate || code > 0x10FFFF ? 0 : code;
}

std::size_t EncodeUtf8(char32_t code, char* out) {
    if (code < 0x80) {
        out[0] = static_cast<char>(code);
        return 1;
    }
    if (code < 0x800) {
        out[0] = static_cast<char>(0xC0 | (code >> 6));
        out[1] = static_cast<char>(0x80 | (code & 0x3F));
        return 2;
    }
    out[0] = static_cast<char>(0xE0 | (code >> 12));
    out[1] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (code & 0x3F));
    return 3;
}

// The upper half of Windows-1251 as iconv maps it, read once. Converting through this table
// needs no per-thread iconv descriptor (which a line logged from a static destructor would
// find already closed) and makes a conversion a lookup per character.
class TCodePage {
public:
    static const TCodePage& Instance() {
        static const TCodePage page;
        return page;
    }

    // 0 for a byte with no character (0x98), or for every byte when iconv is missing.
    char32_t ToUnicode(unsigned char byte) const {
        return byte < 0x80 ? byte : upper_[byte - 0x80];
    }

    // The Windows-1251 byte of a code point, or '?' when the code page lacks it.
    char FromUnicode(char32_t code) const {
        if (code < 0x80) {
            return static_cast<char>(code);
        }
        const auto it = std::lower_bound(
            reverse_.begin(), reverse_.begin() + reverse_count_, code,
            [](const std::pair<char32_t, char>& entry, char32_t key) { return entry.first < key; });
        return it != reverse_.begin() + reverse_count_ && it->first == code ? it->second : '?';
    }

private:
    TCodePage() {
        const iconv_t cd = ::iconv_open("UTF-32LE", "CP1251");
        if (cd == reinterpret_cast<iconv_t>(-1)) {
            return;
        }
        for (unsigned byte = 0x80; byte <= 0xFF; ++byte) {
            char in = static_cast<char>(byte);
            unsigned char out[4] = {};
            char* in_ptr = &in;
            char* out_ptr = reinterpret_cast<char*>(out);
            std::size_t in_left = 1;
            std::size_t out_left = sizeof out;
            if (::iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left) == 0 && out_left == 0) {
                const char32_t code =
                    out[0] | (out[1] << 8) | (out[2] << 16) | (static_cast<char32_t>(out[3]) << 24);
                // Windows-1251 maps into the first plane; EncodeUtf8 relies on it.
                if (code <= 0xFFFF) {
                    upper_[byte - 0x80] = code;
                    reverse_[reverse_count_++] = {code, static_cast<char>(byte)};
                }
            }
        }
        ::iconv_close(cd);
        std::sort(reverse_.begin(), reverse_.begin() + reverse_count_);
    }

    // Plain arrays: nothing to destroy, so static destructors that still log find it intact.
    std::array<char32_t, 128> upper_{};
    std::array<std::pair<char32_t, char>, 128> reverse_{};
    std::ptrdiff_t reverse_count_ = 0;
};

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
    const TCodePage& page = TCodePage::Instance();
    // Every Windows-1251 character takes at most three bytes in UTF-8.
    std::string out(cp1251.size() * 3, '\0');
    std::size_t length = 0;
    for (const char c : cp1251) {
        const char32_t code = page.ToUnicode(static_cast<unsigned char>(c));
        if (code == 0 && c != '\0') {
            out[length++] = '?';
        } else {
            length += EncodeUtf8(code, out.data() + length);
        }
    }
    out.resize(length);
    return out;
}

std::string Utf8ToCp1251(std::string_view utf8) {
    std::string out(utf8.size(), '\0');
    out.resize(Utf8ToCp1251(utf8, out.data(), out.size()));
    return out;
}

std::size_t Utf8ToCp1251(std::string_view utf8, char* out, std::size_t capacity) {
    const TCodePage& page = TCodePage::Instance();
    std::size_t written = 0;
    for (std::size_t pos = 0; pos < utf8.size() && written < capacity;) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(utf8.data() + pos);
        const std::size_t length = SequenceLength(utf8.data() + pos, utf8.size() - pos);
        if (bytes[0] < 0x80) {
            out[written++] = static_cast<char>(bytes[0]);
        } else {
            const char32_t code = DecodeSequence(bytes, length);
            out[written++] = code == 0 ? '?' : page.FromUnicode(code);
        }
        pos += length;
    }
    return written;
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

bool IsUtf8(std::string_view text) {
    for (std::size_t pos = 0; pos < text.size();) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(text.data() + pos);
        const std::size_t length = SequenceLength(text.data() + pos, text.size() - pos);
        if (bytes[0] >= 0x80 && DecodeSequence(bytes, length) == 0) {
            return false;
        }
        pos += length;
    }
    return true;
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
        // {fmt} 9.1 reads one byte past a format that ends in a lone '%'.
        if (i == format.size()) {
            return false;
        }
        if (format[i] == '%') {
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

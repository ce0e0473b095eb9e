#include "common/profile_file.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/text.h"

namespace {

// Case folding for name matching: Latin letters and the Cyrillic letters of Windows-1251
// (U+0400..U+042F and Ґ), on UTF-8 text; every change keeps the byte length.
std::string Fold(std::string_view name) {
    std::string folded(name);
    for (std::size_t i = 0; i < folded.size(); ++i) {
        auto& c = reinterpret_cast<unsigned char&>(folded[i]);
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<unsigned char>(c + 32);
        } else if ((c == 0xD0 || c == 0xD2) && i + 1 < folded.size()) {
            auto& next = reinterpret_cast<unsigned char&>(folded[i + 1]);
            if (c == 0xD2) {
                if (next == 0x90) {
                    next = 0x91;
                }
            } else if (next >= 0x80 && next <= 0x8F) {
                c = 0xD1;
                next = static_cast<unsigned char>(next + 0x10);
            } else if (next >= 0x90 && next <= 0x9F) {
                next = static_cast<unsigned char>(next + 0x20);
            } else if (next >= 0xA0 && next <= 0xAF) {
                c = 0xD1;
                next = static_cast<unsigned char>(next - 0x20);
            }
            ++i;
        }
    }
    return folded;
}

// A file that begins with it is UTF-8 if the rest is.
constexpr std::string_view Bom = "\xEF\xBB\xBF";

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    return (c | 0x20) - 'a' + 10;
}

bool ParseHex(std::string_view digits, std::int32_t& value) {
    if (digits.empty()) {
        return false;
    }
    std::uint64_t result = 0;
    for (const char c : digits) {
        if (!IsHexDigit(c)) {
            return false;
        }
        result = result * 16 + static_cast<std::uint64_t>(HexValue(c));
        if (result > 0xFFFFFFFFu) {
            return false;
        }
    }
    value = static_cast<std::int32_t>(static_cast<std::uint32_t>(result));
    return true;
}

// Names are written into lines the reader must read back as the same name.
bool IsValidName(std::string_view name, bool is_key) {
    const std::string_view trimmed = TrimView(name);
    if (trimmed.empty() || name.find_first_of("[]\r\n") != std::string_view::npos) {
        return false;
    }
    return !is_key || (name.find('=') == std::string_view::npos && trimmed[0] != ';');
}

bool WriteAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t written = ::write(fd, data.data() + done, data.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

} // namespace

bool ParseDecimal(std::string_view text, std::int32_t& value) {
    text = TrimView(text);
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) {
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return false;
    }
    std::int64_t result = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        result = result * 10 + (c - '0');
        if (result > 2147483648LL) {
            return false;
        }
    }
    result = negative ? -result : result;
    if (result > 2147483647LL) {
        return false;
    }
    value = static_cast<std::int32_t>(result);
    return true;
}

bool ParseInteger(std::string_view text, std::int32_t& value) {
    text = TrimView(text);
    if (text.starts_with('$')) {
        return ParseHex(text.substr(1), value);
    }
    if (text.size() > 2 && (text.starts_with("0x") || text.starts_with("0X"))) {
        return ParseHex(text.substr(2), value);
    }
    return ParseDecimal(text, value);
}

TProfileFile::TProfileFile(std::string path) : path_(std::move(path)) {
    Load();
}

bool TProfileFile::ReloadIfChanged() {
    if (FileStampOf(path_) == id_) {
        return false;
    }
    Load();
    return true;
}

bool TProfileFile::Load() {
    lines_.clear();
    ends_.clear();
    sections_.clear();
    loaded_ = false;
    readable_ = true;
    bom_ = false;
    utf8_ = false;
    id_ = FileStampOf(path_);
    if (!id_.exists) {
        return false;
    }
    readable_ = false;
    if (!id_.regular || id_.size > MaxFileSize) {
        return false;
    }
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    std::string data;
    char buffer[65536];
    bool ok = true;
    while (true) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 || data.size() + static_cast<std::size_t>(got) > MaxFileSize) {
            ok = false;
            break;
        }
        if (got == 0) {
            break;
        }
        data.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    if (!ok) {
        return false;
    }
    // A mark left there by an editor must not hide the first section.
    bom_ = data.starts_with(Bom);
    utf8_ = bom_ && IsUtf8(std::string_view(data).substr(Bom.size()));
    std::size_t begin = bom_ ? Bom.size() : 0;
    while (begin < data.size()) {
        std::size_t end = data.find_first_of("\r\n", begin);
        if (end == std::string::npos) {
            lines_.push_back(data.substr(begin));
            ends_.emplace_back();
            break;
        }
        const std::size_t end_length = data.compare(end, 2, "\r\n") == 0 ? 2 : 1;
        lines_.push_back(data.substr(begin, end - begin));
        ends_.push_back(data.substr(end, end_length));
        begin = end + end_length;
    }
    Parse();
    readable_ = true;
    loaded_ = true;
    return true;
}

void TProfileFile::Parse() {
    sections_.clear();
    TSection* current = nullptr;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        const std::string_view line = TrimView(lines_[i]);
        if (line.empty() || line[0] == ';') {
            continue;
        }
        if (line[0] == '[') {
            const std::size_t close = line.find(']');
            const std::string_view name = line.substr(
                1, close == std::string_view::npos ? std::string_view::npos : close - 1);
            const auto [it, inserted] =
                sections_.try_emplace(Fold(ToUtf8(TrimView(name))), TSection{i, {}});
            // A repeated section is ignored: the first one counts.
            current = inserted ? &it->second : nullptr;
            continue;
        }
        const std::size_t equals = line.find('=');
        if (current == nullptr || equals == std::string_view::npos) {
            continue;
        }
        std::string key = Fold(ToUtf8(TrimView(line.substr(0, equals))));
        if (key.empty()) {
            continue;
        }
        current->last_line = i;
        // Cut by characters before converting: a byte each in Windows-1251.
        const std::string_view value = TrimView(line.substr(equals + 1));
        const std::string_view raw =
            TrimView(utf8_ ? Utf8Prefix(value, MaxValueChars) : value.substr(0, MaxValueChars));
        current->keys.try_emplace(std::move(key), TKey{i, ToUtf8(raw)});
    }
}

const TProfileFile::TKey* TProfileFile::Find(std::string_view section, std::string_view key) const {
    const auto s = sections_.find(Fold(TrimView(section)));
    if (s == sections_.end()) {
        return nullptr;
    }
    const auto k = s->second.keys.find(Fold(TrimView(key)));
    return k == s->second.keys.end() ? nullptr : &k->second;
}

bool TProfileFile::SectionExists(std::string_view section) const {
    const auto s = sections_.find(Fold(TrimView(section)));
    return s != sections_.end() && !s->second.keys.empty();
}

bool TProfileFile::KeyExists(std::string_view section, std::string_view key) const {
    return Find(section, key) != nullptr;
}

std::string TProfileFile::ReadString(std::string_view section, std::string_view key,
                                     std::string_view def) const {
    const TKey* found = Find(section, key);
    return found != nullptr ? found->value : std::string(def);
}

std::int32_t TProfileFile::ReadInteger(std::string_view section, std::string_view key,
                                       std::int32_t def) const {
    const TKey* found = Find(section, key);
    std::int32_t value = def;
    if (found == nullptr || !ParseInteger(found->value, value)) {
        return def;
    }
    return value;
}

bool TProfileFile::ReadBool(std::string_view section, std::string_view key, bool def) const {
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

bool TProfileFile::WriteString(std::string_view section, std::string_view key,
                               std::string_view value) {
    const TProfileValue one[] = {{section, key, std::string(value)}};
    return WriteStrings(one);
}

bool TProfileFile::WriteStrings(std::span<const TProfileValue> values) {
    for (const TProfileValue& v : values) {
        if (!IsValidName(v.section, false) || !IsValidName(v.key, true)) {
            return false;
        }
    }
    ReloadIfChanged();
    if (!readable_) {
        return false;
    }
    std::vector<std::string> lines = lines_;
    std::vector<std::string> ends = ends_;
    for (const TProfileValue& v : values) {
        Put(v.section, v.key, v.value);
    }
    if (!Save()) {
        // The copy keeps what the file still holds.
        lines_ = std::move(lines);
        ends_ = std::move(ends);
        Parse();
        return false;
    }
    id_ = FileStampOf(path_);
    loaded_ = true;
    return true;
}

void TProfileFile::Put(std::string_view section, std::string_view key, std::string_view value) {
    std::string text = FromUtf8(value);
    for (char& c : text) {
        if (c == '\r' || c == '\n') {
            c = ' ';
        }
    }
    const auto s = sections_.find(Fold(TrimView(section)));
    if (s != sections_.end()) {
        const auto k = s->second.keys.find(Fold(TrimView(key)));
        if (k != s->second.keys.end()) {
            // Keep the key as the file spells it.
            const std::string_view line = TrimView(lines_[k->second.line]);
            lines_[k->second.line] =
                std::string(TrimView(line.substr(0, line.find('=')))) + "=" + text;
        } else {
            const std::size_t after = s->second.last_line;
            if (ends_[after].empty()) {
                ends_[after] = "\r\n";
            }
            lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(after + 1),
                          FromUtf8(TrimView(key)) + "=" + text);
            ends_.insert(ends_.begin() + static_cast<std::ptrdiff_t>(after + 1), "\r\n");
        }
    } else {
        if (!ends_.empty() && ends_.back().empty()) {
            ends_.back() = "\r\n";
        }
        lines_.push_back("[" + FromUtf8(TrimView(section)) + "]");
        ends_.emplace_back("\r\n");
        lines_.push_back(FromUtf8(TrimView(key)) + "=" + text);
        ends_.emplace_back("\r\n");
    }
    Parse();
}

bool TProfileFile::WriteInteger(std::string_view section, std::string_view key,
                                std::int32_t value) {
    return WriteString(section, key, std::to_string(value));
}

bool TProfileFile::WriteBool(std::string_view section, std::string_view key, bool value) {
    return WriteString(section, key, value ? "1" : "0");
}

bool TProfileFile::Save() const {
    std::string data(bom_ ? Bom : std::string_view());
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        data += lines_[i];
        data += ends_[i];
    }
    if (data.size() > MaxFileSize) {
        return false;
    }
    // Replaced whole, never cut in the middle: the new text goes to a file beside the old one
    // (beside the file a link names, so the link stays) and is renamed over it once it is on
    // the disk.
    std::string target = path_;
    if (char* real = ::realpath(path_.c_str(), nullptr)) {
        target = real;
        std::free(real);
    }
    struct stat st {};
    const mode_t mode = ::stat(target.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
    std::string temp = target + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool saved = ::fchmod(fd, mode) == 0 && WriteAll(fd, data) && ::fsync(fd) == 0;
    saved = ::close(fd) == 0 && saved;
    saved = saved && ::rename(temp.c_str(), target.c_str()) == 0;
    if (!saved) {
        ::unlink(temp.c_str());
    }
    return saved;
}

std::string TProfileFile::ToUtf8(std::string_view raw) const {
    return utf8_ ? std::string(raw) : Cp1251ToUtf8(raw);
}

std::string TProfileFile::FromUtf8(std::string_view text) const {
    return utf8_ ? std::string(text) : Utf8ToCp1251(text);
}

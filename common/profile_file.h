#pragma once

// Profile (INI) files: "[section]" lines and "key=value" lines, Windows-1251 on disk, UTF-8
// through this interface. A file that begins with a UTF-8 byte-order mark and is UTF-8 is read
// and written as UTF-8, its mark kept. Section and key names match without regard to case
// (Latin and Cyrillic letters). Values are trimmed (codes 0 to 32) and cut to 2047
// characters. When a section or key appears twice, the first one counts. Lines the reader does
// not understand are kept as they are when the file is written.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/file_stamp.h"

// A decimal integer with an optional minus sign, the whole (trimmed) text, in 32-bit range.
bool ParseDecimal(std::string_view text, std::int32_t& value);
// As ParseDecimal, or hexadecimal after "$", "0x" or "0X" (at least one digit, at most eight;
// 80000000 to FFFFFFFF give the negative numbers of the same bits).
bool ParseInteger(std::string_view text, std::int32_t& value);

// One key's value to write.
struct TProfileValue {
    std::string_view section;
    std::string_view key;
    std::string value;
};

// One file's parsed copy; not synchronised: its owner serialises the calls.
class TProfileFile {
public:
    static constexpr std::size_t MaxValueChars = 2047;
    // A bigger file is not read (and, so that it is not lost, never written).
    static constexpr long long MaxFileSize = 16 * 1024 * 1024;

    // Reads the file at once; a missing or unreadable file reads as empty.
    explicit TProfileFile(std::string path);

    const std::string& GetPath() const { return path_; }

    // Reads the file again when its size, time or identity changed since the last read;
    // returns true when it re-read it.
    bool ReloadIfChanged();
    // Whether the last read found the file (false also when it could not be read).
    bool IsLoaded() const { return loaded_; }

    // A section counts as present only when it holds at least one key.
    bool SectionExists(std::string_view section) const;
    bool KeyExists(std::string_view section, std::string_view key) const;

    // The value, or `def` when the key is missing. An empty value is a value.
    std::string ReadString(std::string_view section, std::string_view key,
                           std::string_view def) const;
    // ParseInteger of the value; `def` when the key is missing or not a number.
    std::int32_t ReadInteger(std::string_view section, std::string_view key,
                             std::int32_t def) const;
    // ReadInteger with the default 1 or 0; any value other than 0 is true.
    bool ReadBool(std::string_view section, std::string_view key, bool def) const;

    // Writes one key and saves the file at once: the key's line is replaced, or a line is
    // added at the end of its section, or the section is added at the end of the file. Every
    // other line stays as it was. False (and the file unchanged) when the file cannot be
    // written or read, or when a name is empty or holds "[", "]", "=" or a line end. Line
    // ends inside the value become blanks. The file is saved whole to a new file beside it,
    // flushed to the disk and renamed over the old one: a full disk or a crash leaves the old
    // file as it was, never a part of the new one.
    bool WriteString(std::string_view section, std::string_view key, std::string_view value);
    // WriteString for several keys in their order, with one save: all are written or none.
    bool WriteStrings(std::span<const TProfileValue> values);
    bool WriteInteger(std::string_view section, std::string_view key, std::int32_t value);
    bool WriteBool(std::string_view section, std::string_view key, bool value);

private:
    struct TKey {
        std::size_t line;
        std::string value; // UTF-8, trimmed and cut
    };
    struct TSection {
        std::size_t last_line; // the header, or the last key line of the section
        std::unordered_map<std::string, TKey> keys;
    };

    bool Load();
    void Parse();
    // Sets one key in the lines (names checked by the caller).
    void Put(std::string_view section, std::string_view key, std::string_view value);
    bool Save() const;
    // Between the file's bytes and UTF-8: Windows-1251, unless the file is UTF-8.
    std::string ToUtf8(std::string_view raw) const;
    std::string FromUtf8(std::string_view text) const;
    const TKey* Find(std::string_view section, std::string_view key) const;

    std::string path_;
    bool loaded_ = false;
    bool readable_ = true; // false: the file exists but was not read, so it must not be written
    bool bom_ = false;     // the file begins with a UTF-8 byte-order mark (kept on writing)
    bool utf8_ = false;    // ... and the rest is UTF-8, read and written as such
    TFileStamp id_;
    std::vector<std::string> lines_; // raw Windows-1251 lines without their ends
    std::vector<std::string> ends_;  // each line's end as found: "\r\n", "\n", "\r" or ""
    std::unordered_map<std::string, TSection> sections_; // by case-folded UTF-8 name
};

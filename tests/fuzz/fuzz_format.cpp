// The catalogue formatter with arbitrary formats and values: alone, with arguments of either
// kind in any order, and through the record messages of a catalogue whose fields come from the
// input, as an operator's edit of the file could make them.
//
// Input: the record type (1 byte), the value (4 bytes), the arguments' kinds (1 byte), then
// fields separated by line ends, as Windows-1251 text: record_format, device_format, color,
// the code text, the remote text. What follows is more catalogue lines, put between the
// fuzzed section and the shipped catalogue.
#include "common/program_path.h"
#include "common/text.h"
#include "log/log.h"
#include "records/message_format.h"
#include "records/record.h"
#include "support/temp_dir.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int FIELDS = 5;
constexpr std::size_t MAX_ARGS = 6;

std::string ReadAll(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

class TFormatRun {
public:
    TFormatRun()
        : shipped_(ReadAll(ProgramDir() + "/" + std::string(TRecord::CATALOGUE_FILE_NAME))),
          path_(dir_.file(std::string(TRecord::CATALOGUE_FILE_NAME))) {
        Write(shipped_);
        record_ = std::make_unique<TRecord>(TRecordLinks{&log_, nullptr, dir_.path()});
    }

    // FormatCatalogueText on its own: on failure nothing is left in `out`, and a format
    // without a conversion comes out as it is.
    static void Format(std::string_view format, std::uint8_t kinds, std::int32_t value,
                       std::string_view text_a, std::string_view text_b) {
        const std::array<std::int32_t, MAX_ARGS> numbers = {
            value,
            ~value,
            std::numeric_limits<std::int32_t>::min(),
            std::numeric_limits<std::int32_t>::max(),
            0,
            value >> 16};
        std::vector<TFormatArg> args;
        const std::size_t count = std::min<std::size_t>(kinds & 7, MAX_ARGS);
        for (std::size_t i = 0; i < count; ++i) {
            if ((kinds >> (3 + i) & 1) != 0) {
                args.emplace_back(i % 2 == 0 ? text_a : text_b);
            } else {
                args.emplace_back(numbers[i]);
            }
        }
        std::string out;
        const bool ok = FormatCatalogueText(format, args, out);
        if (!ok && !out.empty()) {
            __builtin_trap();
        }
        if (format.find('%') == std::string_view::npos && (!ok || out != format)) {
            __builtin_trap();
        }
        CheckText(out);
    }

    // Everything a message is made of came from Windows-1251: the text must go back to it
    // whole, with no character cut by a width or a precision.
    static void CheckText(const std::string& text) {
        if (Cp1251ToUtf8(Utf8ToCp1251(text)) != text) {
            __builtin_trap();
        }
    }

    // The record messages of one type and value over a catalogue whose section for the type
    // holds the fields.
    void Message(std::uint8_t type, std::int32_t value, const std::vector<std::string>& fields,
                 std::string_view extra) {
        const std::string_view section = RecordTypeName(type % RECORD_TYPE_COUNT);
        std::string text = "[" + std::string(section) + "]\nname=Fuzz\nrecord_format=" + fields[0] +
                           "\ndevice_format=" + fields[1] + "\ncolor=" + fields[2] + "\n";
        // Every key a type may look its code up by, signed and unsigned.
        const int code = static_cast<std::int8_t>(value & 0xFF);
        for (const char* key : {"state_", "power_", "battery_", "type_", "control_", "mode_"}) {
            text += key + std::to_string(code) + "=" + fields[3] + "\n";
            text += key + std::to_string(value & 0xFF) + "=" + fields[3] + "\n";
        }
        text += "remote_" + std::to_string(static_cast<std::int8_t>(value >> 8 & 0xFF)) + "=" +
                fields[4] + "\n";
        text.append(extra);
        text += "\n" + shipped_;
        Write(text);
        for (const bool for_record : {true, false}) {
            TMessageStyle style;
            std::string message;
            record_->GetRecordMessage(type, value, for_record, style, message);
            CheckText(message);
            if (style.font_color > TMessageStyle::COLOR_MASK ||
                style.bg_color > TMessageStyle::COLOR_MASK) {
                __builtin_trap();
            }
        }
        log_.Flush();
    }

private:
    // A new file each time (written aside, then renamed over), so the catalogue's change
    // check always sees it.
    void Write(const std::string& text) const {
        const std::string aside = path_ + ".new";
        if (FILE* file = std::fopen(aside.c_str(), "wb")) {
            std::fwrite(text.data(), 1, text.size(), file);
            std::fclose(file);
            std::rename(aside.c_str(), path_.c_str());
        }
    }

    TempDir dir_;
    TLog log_{nullptr, nullptr, "/dev/null"};
    std::string shipped_;
    std::string path_;
    std::unique_ptr<TRecord> record_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t HEADER = 6;
    if (size < HEADER) {
        return 0;
    }
    static TFormatRun run;
    const std::uint8_t type = data[0];
    const auto value = static_cast<std::int32_t>(
        static_cast<std::uint32_t>(data[1]) | static_cast<std::uint32_t>(data[2]) << 8 |
        static_cast<std::uint32_t>(data[3]) << 16 | static_cast<std::uint32_t>(data[4]) << 24);
    const std::uint8_t kinds = data[5];
    const std::string_view rest(reinterpret_cast<const char*>(data + HEADER), size - HEADER);

    std::vector<std::string> fields;
    std::size_t pos = 0;
    for (int i = 0; i < FIELDS; ++i) {
        if (pos >= rest.size()) {
            fields.emplace_back();
            continue;
        }
        const std::size_t end = std::min(rest.find('\n', pos), rest.size());
        fields.emplace_back(rest.substr(pos, end - pos));
        pos = end + 1;
    }
    const std::string_view extra = pos < rest.size() ? rest.substr(pos) : std::string_view();

    // The formatter sees UTF-8, as the catalogue reader gives it.
    const std::string format = Cp1251ToUtf8(fields[0]);
    TFormatRun::Format(format, kinds, value, Cp1251ToUtf8(fields[3]), Cp1251ToUtf8(fields[4]));
    run.Message(type, value, fields, extra);
    return 0;
}

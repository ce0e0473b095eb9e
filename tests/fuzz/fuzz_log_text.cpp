// Arbitrary bytes as a log text, as a printf format with the catalogue's kinds of arguments, and
// through both code-page conversions.
#include "log/log.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static TLog log(nullptr, nullptr, "/dev/null");
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    log.IsLogDebug = size % 2 == 0;
    log.Add(text, static_cast<std::uint8_t>(size % 7));
    TLog::Addf(&log, LOG_TYPE_ERROR, text, 12, "Имя", 'c', -1);
    log.Flush();
    if (log.GetQueuePos() != 0) {
        __builtin_trap();
    }

    const std::string cp1251 = Utf8ToCp1251(text);
    if (cp1251.size() > text.size() || Utf8Length(Cp1251ToUtf8(cp1251)) != cp1251.size()) {
        __builtin_trap();
    }
    const std::string utf8 = Cp1251ToUtf8(text);
    if (Utf8ToCp1251(utf8).size() != text.size()) {
        __builtin_trap();
    }
    return 0;
}

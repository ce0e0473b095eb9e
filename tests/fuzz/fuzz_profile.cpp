// Feeds arbitrary bytes to the profile file reader as a file on disk, reads keys named by the
// input's own lines, then writes one key and checks that it reads back.
#include "common/profile_file.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "common/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = "/tmp/ktev-fuzz-profile-" + std::to_string(::getpid()) + ".ini";
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (FILE* file = std::fopen(path.c_str(), "wb")) {
        std::fwrite(text.data(), 1, text.size(), file);
        std::fclose(file);
    }
    TProfileFile ini(path);
    // Names taken from the input itself reach the sections and keys it holds.
    const std::string name = Cp1251ToUtf8(text.substr(0, text.find('\n')));
    const std::string value = ini.ReadString(name, name, "");
    if (Utf8Length(value) > TProfileFile::MaxValueChars || TrimView(value) != value) {
        __builtin_trap();
    }
    std::int32_t parsed = 0;
    ParseInteger(value, parsed);
    ini.SectionExists(name);
    if (ini.WriteInteger("Setup", "ComNum", 7) &&
        TProfileFile(path).ReadInteger("setup", "comnum", -1) != 7) {
        __builtin_trap();
    }
    return 0;
}

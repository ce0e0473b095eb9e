// ktev-ini: reads or sets keys of the workstation's settings file through the same profile-file
// code the program uses, so scripts keep its encoding, line ends and other keys as it would.

#include "common/profile_file.h"

#include <iostream>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr const char* USAGE =
    "usage: ktev-ini FILE get SECTION KEY\n"
    "       ktev-ini FILE set SECTION KEY VALUE [KEY VALUE]...\n"
    "get prints the key's value (UTF-8); set writes the keys of one section with one save of\n"
    "the file (created when missing), keeping every other line. Exit status: 0 done, 1 the\n"
    "key is missing or the file cannot be read or written, 2 bad arguments.\n";

int Usage(std::string_view error) {
    std::cerr << "ktev-ini: " << error << "\n" << USAGE;
    return 2;
}

int Get(const TProfileFile& file, std::string_view section, std::string_view key) {
    if (!file.IsLoaded()) {
        std::cerr << "ktev-ini: " << file.GetPath() << ": missing or not readable\n";
        return 1;
    }
    if (!file.KeyExists(section, key)) {
        std::cerr << "ktev-ini: " << file.GetPath() << ": no key " << key << " in [" << section
                  << "]\n";
        return 1;
    }
    std::cout << file.ReadString(section, key, "") << "\n";
    return 0;
}

int Set(TProfileFile& file, std::string_view section, const std::vector<std::string_view>& pairs) {
    std::vector<TProfileValue> values;
    for (std::size_t i = 0; i + 1 < pairs.size(); i += 2) {
        values.push_back({section, pairs[i], std::string(pairs[i + 1])});
    }
    if (!file.WriteStrings(values)) {
        std::cerr << "ktev-ini: " << file.GetPath() << " not written: it cannot be read or "
                  << "written, or a name is empty or holds '[', ']', '=' or a line end\n";
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::cout << USAGE;
        return 0;
    }
    if (args.size() < 4) {
        return Usage("too few arguments");
    }
    const std::string_view command = args[1];
    const std::string_view section = args[2];
    if (command == "get") {
        if (args.size() != 4) {
            return Usage("get takes one SECTION and one KEY");
        }
        return Get(TProfileFile(std::string(args[0])), section, args[3]);
    }
    if (command == "set") {
        const std::vector<std::string_view> pairs(args.begin() + 3, args.end());
        if (pairs.size() % 2 != 0) {
            return Usage("set takes a VALUE after each KEY");
        }
        TProfileFile file{std::string(args[0])};
        return Set(file, section, pairs);
    }
    return Usage("unknown command '" + std::string(command) + "'");
}

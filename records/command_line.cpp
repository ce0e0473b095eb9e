#include "records/command_line.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>

#include "common/profile_file.h"
#include "common/settings.h"

const char* const COMMAND_LINE_USAGE =
    "ktev [--home DIR]\n"
    "ktev --export csv|xlsx|pdf --db FILE --out FILE [--from YYYY-MM-DDTHH:MM] "
    "[--to YYYY-MM-DDTHH:MM] [--device HEX_ID] [--types MASK] [--home DIR]\n"
    "ktev --backup --db FILE --out FILE\n"
    "--home DIR (or KTEV_HOME): the folder of ktev.ini, ktev.log, default.db and ports/, and of a "
    "site's own TevMessages.ini and sound/; without it the program's folder\n";

namespace {

// "YYYY-MM-DDTHH:MM" or "YYYY-MM-DDTHH:MM:SS" in local time.
bool ParseLocalTime(const std::string& text, std::int64_t& utime) {
    std::tm tm{};
    int consumed = 0;
    const int fields =
        std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d%n:%2d%n", &tm.tm_year, &tm.tm_mon,
                    &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &consumed, &tm.tm_sec, &consumed);
    if (fields < 5 || static_cast<std::size_t>(consumed) != text.size() || tm.tm_mon < 1 ||
        tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 ||
        tm.tm_sec > 59) {
        return false;
    }
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    const int day = tm.tm_mday;
    const std::time_t time = std::mktime(&tm);
    // mktime carries 31 February into March: such a date is not one.
    if (time == static_cast<std::time_t>(-1) || tm.tm_mday != day) {
        return false;
    }
    utime = time;
    return true;
}

bool ParseDeviceId(const std::string& text, std::uint32_t& id) {
    const bool hex =
        !text.empty() && text.size() <= 8 && std::all_of(text.begin(), text.end(), [](char c) {
            return std::isxdigit(static_cast<unsigned char>(c)) != 0;
        });
    if (hex) {
        id = static_cast<std::uint32_t>(std::stoul(text, nullptr, 16));
    }
    return hex;
}

} // namespace

bool ParseCommandLine(std::span<const std::string> args, TCommandLine& line, std::string& error) {
    line = TCommandLine{};
    const auto asked = [&](const char* name) {
        return std::find(args.begin(), args.end(), name) != args.end();
    };
    if (asked("--help")) {
        line.action = TCommandLine::TAction::Help;
        return true;
    }
    const auto home = std::find(args.begin(), args.end(), "--home");
    if (home != args.end()) {
        if (home + 1 == args.end() || home[1].empty()) {
            error = "--home: нет значения";
            return false;
        }
        line.home = home[1];
    }
    const bool do_export = asked("--export");
    if (!do_export && !asked("--backup")) {
        return true;
    }
    if (do_export && asked("--backup")) {
        error = "--export и --backup не совмещаются";
        return false;
    }
    line.action = do_export ? TCommandLine::TAction::Export : TCommandLine::TAction::Backup;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& name = args[i];
        if (name == "--backup") {
            continue;
        }
        const bool filter_option =
            name == "--from" || name == "--to" || name == "--device" || name == "--types";
        const bool known = name == "--export" || name == "--db" || name == "--out" ||
                           name == "--home" || filter_option;
        if (!known) {
            error = "неизвестный аргумент: " + name;
            return false;
        }
        if (filter_option && !do_export) {
            error = name + " задаётся только с --export";
            return false;
        }
        if (i + 1 == args.size()) {
            error = name + ": нет значения";
            return false;
        }
        const std::string& value = args[++i];
        std::int64_t utime = 0;
        std::uint32_t device = 0;
        std::int32_t mask = 0;
        bool valid = true;
        if (name == "--home") {
            continue;
        }
        if (name == "--export") {
            valid = ParseExportFormat(value, line.format);
        } else if (name == "--db") {
            line.db = value;
        } else if (name == "--out") {
            line.out = value;
        } else if (name == "--from" || name == "--to") {
            valid = ParseLocalTime(value, utime);
            (name == "--from" ? line.filter.from : line.filter.to) = utime;
        } else if (name == "--device") {
            valid = ParseDeviceId(value, device);
            line.filter.device_id = device;
        } else {
            valid = ParseInteger(value, mask);
            line.filter.records_mask = mask;
        }
        if (!valid || value.empty()) {
            error = name + ": неверное значение \"" + value + "\"";
            return false;
        }
    }
    if (line.db.empty() || line.out.empty()) {
        error = line.db.empty() ? "не задан --db" : "не задан --out";
        return false;
    }
    if (do_export && !line.filter.records_mask) {
        line.filter.records_mask = RECORDS_MASK_ALL;
    }
    error = RecordFilterError(line.filter);
    return error.empty();
}

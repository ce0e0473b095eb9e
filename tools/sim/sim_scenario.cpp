#include "sim/sim_scenario.h"

#include "common/text.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <set>
#include <sstream>

namespace {

constexpr int MAX_NOISE = 4096;
// Ids of generated devices start here (the letters "KT" in the high bytes).
constexpr std::uint32_t GENERATED_ID_BASE = 0x4B540000;

std::string Quote(std::string_view word) {
    return "'" + std::string(word) + "'";
}

// Splits a line into words; a text in double quotes is one word, '#' starts a comment.
bool Tokenize(std::string_view line, std::vector<std::string>& words, std::string& error) {
    std::size_t i = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
        } else if (c == '#') {
            break;
        } else if (c == '"') {
            const std::size_t end = line.find('"', i + 1);
            if (end == std::string_view::npos) {
                error = "a text in double quotes is not closed";
                return false;
            }
            words.emplace_back(line.substr(i + 1, end - i - 1));
            i = end + 1;
        } else {
            std::size_t end = i;
            while (end < line.size() && line[end] != ' ' && line[end] != '\t' &&
                   line[end] != '\r' && line[end] != '"' && line[end] != '#') {
                ++end;
            }
            words.emplace_back(line.substr(i, end - i));
            i = end;
        }
    }
    return true;
}

// Reads the words of one line in order; every read names what it expected on failure.
class TWords {
public:
    explicit TWords(std::vector<std::string> words) : words_(std::move(words)) {}

    bool Done() const { return next_ >= words_.size(); }
    const std::string& Peek() const { return words_[next_]; }

    bool Word(std::string& out, const char* what) {
        if (Done()) {
            error = std::string("expected ") + what + " at the end of the line";
            return false;
        }
        out = words_[next_++];
        return true;
    }

    bool Number(std::uint32_t& out, const char* what, std::uint32_t min = 0,
                std::uint32_t max = UINT32_MAX) {
        std::string word;
        if (!Word(word, what)) {
            return false;
        }
        const bool hex = word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
        const char* first = word.data() + (hex ? 2 : 0);
        const char* last = word.data() + word.size();
        std::uint64_t value = 0;
        const auto [end, ec] = std::from_chars(first, last, value, hex ? 16 : 10);
        if (ec != std::errc() || end != last || value > UINT32_MAX) {
            error = std::string("expected ") + what + ", got " + Quote(word);
            return false;
        }
        if (value < min || value > max) {
            error = std::string(what) + " must be " + std::to_string(min) + ".." +
                    std::to_string(max) + ", got " + word;
            return false;
        }
        out = static_cast<std::uint32_t>(value);
        return true;
    }

    bool Seconds(double& out, const char* what) {
        std::string word;
        if (!Word(word, what)) {
            return false;
        }
        const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), out);
        if (ec != std::errc() || end != word.data() + word.size() || !(out >= 0) || out > 1e9) {
            error = std::string("expected ") + what + " (seconds, 0 or more), got " + Quote(word);
            return false;
        }
        return true;
    }

    // A 1-based element number as a 0-based index.
    bool Element(int& index, const char* what) {
        std::uint32_t number = 0;
        if (!Number(number, what, 1, 65535)) {
            return false;
        }
        index = static_cast<int>(number) - 1;
        return true;
    }

    bool End() {
        if (!Done()) {
            error = "unexpected " + Quote(Peek());
            return false;
        }
        return true;
    }

    std::string error;

private:
    std::vector<std::string> words_;
    std::size_t next_ = 0;
};

bool ParseName(TWords& words, std::string& out, const char* what) {
    if (!words.Word(out, what)) {
        return false;
    }
    if (Utf8Length(out) > static_cast<std::size_t>(simlimits::NAME_CHARS)) {
        words.error = std::string(what) + " " + Quote(out) + " is longer than " +
                      std::to_string(simlimits::NAME_CHARS) + " characters";
        return false;
    }
    return true;
}

// A numeric device setting: its word, its largest value and the field it fills.
template <typename T>
struct TSetting {
    const char* name;
    std::uint32_t max;
    T TSimDeviceConfig::*field;
};

constexpr TSetting<std::uint16_t> COUNT_SETTINGS[] = {
    {"loops", simlimits::MAX_LINES, &TSimDeviceConfig::lines},
    {"sensors", simlimits::MAX_SENSORS, &TSimDeviceConfig::sensors},
    {"relays", simlimits::MAX_RELAYS, &TSimDeviceConfig::relays},
    {"archives", 0xFFFF, &TSimDeviceConfig::archives},
    {"remote", 0xFFFF, &TSimDeviceConfig::remote},
};

constexpr TSetting<std::uint8_t> STATE_SETTINGS[] = {
    {"state", 3, &TSimDeviceConfig::state},
    {"power", 1, &TSimDeviceConfig::power},
    {"battery", 3, &TSimDeviceConfig::battery},
    {"summary", 255, &TSimDeviceConfig::summary},
};

template <typename T, std::size_t N>
const TSetting<T>* FindSetting(const TSetting<T> (&settings)[N], const std::string& word) {
    for (const TSetting<T>& setting : settings) {
        if (word == setting.name) {
            return &setting;
        }
    }
    return nullptr;
}

bool ParseDevice(TWords& words, TSimDeviceConfig& device) {
    std::uint32_t key = 0;
    if (!words.Number(key, "a device number", 1, 65535)) {
        return false;
    }
    device.key = static_cast<int>(key);
    device.address = static_cast<std::uint8_t>(std::min<std::uint32_t>(key, 254));
    device.id = GENERATED_ID_BASE | key;
    while (!words.Done()) {
        std::string word;
        words.Word(word, "");
        if (word == "silent") {
            device.silent = true;
            continue;
        }
        if (word == "factory" || word == "name") {
            if (!ParseName(words, word == "factory" ? device.factory_name : device.user_name,
                           word == "factory" ? "factory name" : "user name")) {
                return false;
            }
            continue;
        }
        std::uint32_t value = 0;
        if (word == "address") {
            if (!words.Number(value, "address", 1, 254)) {
                return false;
            }
            device.address = static_cast<std::uint8_t>(value);
        } else if (word == "id" || word == "whois-id") {
            if (!words.Number(value, word.c_str(), 1)) {
                return false;
            }
            (word == "id" ? device.id : device.whois_id) = value;
        } else if (const auto* count = FindSetting(COUNT_SETTINGS, word)) {
            if (!words.Number(value, count->name, 0, count->max)) {
                return false;
            }
            device.*(count->field) = static_cast<std::uint16_t>(value);
        } else if (const auto* state = FindSetting(STATE_SETTINGS, word)) {
            if (!words.Number(value, state->name, 0, state->max)) {
                return false;
            }
            device.*(state->field) = static_cast<std::uint8_t>(value);
        } else {
            words.error = "unknown device setting " + Quote(word);
            return false;
        }
    }
    return true;
}

bool ParseCorruption(TWords& words, TSimEvent& event) {
    event.value = static_cast<std::uint32_t>(TSimCorruption::Crc);
    if (words.Done()) {
        return true;
    }
    std::string kind;
    words.Word(kind, "");
    if (kind == "crc" || kind == "escape" || kind == "truncate") {
        event.value = static_cast<std::uint32_t>(kind == "crc"      ? TSimCorruption::Crc
                                                 : kind == "escape" ? TSimCorruption::Escape
                                                                    : TSimCorruption::Truncate);
        return true;
    }
    words.error = "expected crc, escape or truncate, got " + Quote(kind);
    return false;
}

bool ParseDeviceEvent(TWords& words, TSimEvent& event) {
    std::uint32_t key = 0;
    if (!words.Number(key, "a device number", 1, 65535)) {
        return false;
    }
    event.device = static_cast<int>(key);
    std::string what;
    if (!words.Word(what, "what changes")) {
        return false;
    }
    std::string word;
    if (what == "loop" || what == "sensor") {
        event.action = what == "loop" ? TSimAction::Loop : TSimAction::Sensor;
        if (!words.Element(event.index, what == "loop" ? "a loop number" : "a sensor number") ||
            !words.Word(word, "'state'")) {
            return false;
        }
        if (word != "state") {
            words.error = "expected 'state', got " + Quote(word);
            return false;
        }
        return words.Number(event.value, "a state");
    }
    if (what == "relay") {
        event.action = TSimAction::Relay;
        if (!words.Element(event.index, "a relay number") ||
            !words.Word(word, "state, control, type or mode")) {
            return false;
        }
        if (word == "state" || word == "control" || word == "type" || word == "mode") {
            event.field = word == "state"     ? simbits::TRelayField::State
                          : word == "control" ? simbits::TRelayField::Control
                          : word == "type"    ? simbits::TRelayField::Type
                                              : simbits::TRelayField::Mode;
            return words.Number(event.value, word.c_str());
        }
        words.error = "expected state, control, type or mode, got " + Quote(word);
        return false;
    }
    if (what == "state" || what == "power" || what == "battery" || what == "summary") {
        event.action = what == "state"     ? TSimAction::DeviceState
                       : what == "power"   ? TSimAction::Power
                       : what == "battery" ? TSimAction::Battery
                                           : TSimAction::Summary;
        return words.Number(event.value, what.c_str());
    }
    if (what == "silent" || what == "back") {
        event.action = what == "silent" ? TSimAction::Silent : TSimAction::Back;
        return true;
    }
    if (what == "set-address") {
        event.action = TSimAction::SetAddress;
        return words.Number(event.value, "address");
    }
    if (what == "set-name") {
        event.action = TSimAction::SetName;
        return ParseName(words, event.text, "user name");
    }
    if (what == "sync-time") {
        event.action = TSimAction::SyncTime;
        return words.Done() || words.Number(event.value, "a time (seconds since 1970)");
    }
    if (what == "corrupt") {
        event.action = TSimAction::Corrupt;
        return ParseCorruption(words, event);
    }
    words.error = "unknown device event " + Quote(what);
    return false;
}

bool ParseEvent(TWords& words, TSimEvent& event) {
    if (!words.Seconds(event.at, "a time")) {
        return false;
    }
    std::string what;
    if (!words.Word(what, "an event")) {
        return false;
    }
    if (what == "device") {
        return ParseDeviceEvent(words, event);
    }
    if (what == "noise") {
        event.action = TSimAction::Noise;
        return words.Number(event.value, "a byte count");
    }
    if (what == "burst") {
        event.action = TSimAction::Burst;
        return true;
    }
    if (what == "goto") {
        event.action = TSimAction::Goto;
        double target = 0;
        if (!words.Seconds(target, "a time to go back to")) {
            return false;
        }
        event.value = static_cast<std::uint32_t>(target * 1000.0 + 0.5);
        return true;
    }
    words.error = "unknown event " + Quote(what);
    return false;
}

const TSimDeviceConfig* FindDevice(const std::vector<TSimDeviceConfig>& devices, int key) {
    const auto it = std::find_if(devices.begin(), devices.end(),
                                 [key](const TSimDeviceConfig& d) { return d.key == key; });
    return it == devices.end() ? nullptr : &*it;
}

bool CheckRange(std::uint32_t value, std::uint32_t max, const char* what, std::string& error) {
    if (value > max) {
        error = std::string(what) + " must be 0.." + std::to_string(max) + ", got " +
                std::to_string(value);
        return false;
    }
    return true;
}

bool CheckElement(int index, int count, const char* what, int key, std::string& error) {
    if (index < 0 || index >= count) {
        error = "device " + std::to_string(key) + " has " + std::to_string(count) + " " + what +
                "s, no " + what + " " + std::to_string(index + 1);
        return false;
    }
    return true;
}

} // namespace

bool CheckDevices(const std::vector<TSimDeviceConfig>& devices, std::string& error) {
    std::set<int> keys;
    std::set<std::uint32_t> ids;
    std::set<int> addresses;
    for (const TSimDeviceConfig& d : devices) {
        const std::string name = "device " + std::to_string(d.key);
        if (d.key < 1) {
            error = name + ": device numbers start at 1";
        } else if (!keys.insert(d.key).second) {
            error = name + " is declared twice";
        } else if (d.address == 0 || d.address == 255) {
            error = name + ": address " + std::to_string(d.address) + " is reserved";
        } else if (!addresses.insert(d.address).second) {
            error = name + ": address " + std::to_string(d.address) + " is taken";
        } else if (!ids.insert(d.id).second) {
            error = name + ": id " + std::to_string(d.id) + " is taken";
        } else if (d.lines > simlimits::MAX_LINES || d.relays > simlimits::MAX_RELAYS ||
                   d.sensors > simlimits::MAX_SENSORS) {
            error = name + ": at most 256 loops, 128 relays and 255 sensors";
        } else if (Utf8Length(d.factory_name) > simlimits::NAME_CHARS ||
                   Utf8Length(d.user_name) > simlimits::NAME_CHARS) {
            error = name + ": names are at most 18 characters";
        } else {
            continue;
        }
        return false;
    }
    return true;
}

bool CheckEvent(const TSimEvent& event, const std::vector<TSimDeviceConfig>& devices,
                std::string& error) {
    const bool line_wide = event.action == TSimAction::Noise || event.action == TSimAction::Burst ||
                           event.action == TSimAction::Goto;
    const TSimDeviceConfig* device = line_wide ? nullptr : FindDevice(devices, event.device);
    if (!line_wide && device == nullptr) {
        error = "unknown device " + std::to_string(event.device);
        return false;
    }
    switch (event.action) {
    case TSimAction::Loop:
        return CheckElement(event.index, device->lines, "loop", device->key, error) &&
               CheckRange(event.value, statecode::LOOP_BYTE_MASK, "a loop state", error);
    case TSimAction::Sensor:
        return CheckElement(event.index, device->sensors, "sensor", device->key, error) &&
               CheckRange(event.value, 255, "a sensor state", error);
    case TSimAction::Relay: {
        const bool bit =
            event.field == simbits::TRelayField::State || event.field == simbits::TRelayField::Mode;
        return CheckElement(event.index, device->relays, "relay", device->key, error) &&
               CheckRange(event.value, bit ? 1 : 7, "a relay field", error);
    }
    case TSimAction::DeviceState:
    case TSimAction::Battery:
        return CheckRange(event.value, 3, "a device or battery state", error);
    case TSimAction::Power:
        return CheckRange(event.value, 1, "power", error);
    case TSimAction::Summary:
        return CheckRange(event.value, 255, "a summary state", error);
    case TSimAction::SetAddress:
        if (event.value == 0 || event.value > 254) {
            error = "address must be 1..254, got " + std::to_string(event.value);
            return false;
        }
        return true;
    case TSimAction::SetName:
        return Utf8Length(event.text) <= simlimits::NAME_CHARS ||
               (error = "a user name is at most 18 characters", false);
    case TSimAction::Corrupt:
        if (event.value < static_cast<std::uint32_t>(TSimCorruption::Crc) ||
            event.value > static_cast<std::uint32_t>(TSimCorruption::Truncate)) {
            error = "unknown kind of damage " + std::to_string(event.value);
            return false;
        }
        return true;
    case TSimAction::Noise:
        if (event.value == 0 || event.value > MAX_NOISE) {
            error = "noise must be 1.." + std::to_string(MAX_NOISE) + " bytes, got " +
                    std::to_string(event.value);
            return false;
        }
        return true;
    case TSimAction::Goto:
        if (event.value >= static_cast<std::uint32_t>(event.at * 1000.0)) {
            error = "goto must go back to an earlier time";
            return false;
        }
        return true;
    case TSimAction::Silent:
    case TSimAction::Back:
    case TSimAction::SyncTime:
    case TSimAction::Burst:
        return true;
    }
    return true;
}

bool ParseScenario(std::string_view text, TSimScenario& out, std::string& error) {
    // A line that starts with a blank continues the one before; errors name the first line.
    std::vector<std::pair<int, std::string>> lines;
    int number = 0;
    for (std::size_t start = 0; start <= text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;
        ++number;
        const bool continued = !line.empty() && (line[0] == ' ' || line[0] == '\t');
        if (continued && !lines.empty()) {
            lines.back().second.append(" ").append(line);
        } else {
            lines.emplace_back(number, std::string(line));
        }
    }
    TSimScenario scenario;
    for (const auto& [line_number, line] : lines) {
        const std::string where = "line " + std::to_string(line_number) + ": ";
        std::vector<std::string> tokens;
        if (!Tokenize(line, tokens, error)) {
            error = where + error;
            return false;
        }
        if (tokens.empty()) {
            continue;
        }
        TWords words(std::vector<std::string>(tokens.begin() + 1, tokens.end()));
        bool ok = false;
        if (tokens[0] == "device") {
            scenario.devices.emplace_back();
            ok = ParseDevice(words, scenario.devices.back());
        } else if (tokens[0] == "at") {
            TSimEvent event;
            event.line = line_number;
            ok = ParseEvent(words, event) && words.End();
            scenario.events.push_back(std::move(event));
        } else {
            words.error = "expected 'device' or 'at', got " + Quote(tokens[0]);
        }
        if (!ok) {
            error = where + words.error;
            return false;
        }
    }
    if (!CheckDevices(scenario.devices, error)) {
        return false;
    }
    for (const TSimEvent& event : scenario.events) {
        if (!CheckEvent(event, scenario.devices, error)) {
            error = "line " + std::to_string(event.line) + ": " + error;
            return false;
        }
    }
    std::stable_sort(scenario.events.begin(), scenario.events.end(),
                     [](const TSimEvent& a, const TSimEvent& b) { return a.at < b.at; });
    out = std::move(scenario);
    return true;
}

bool LoadScenario(const std::string& path, TSimScenario& out, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = path + ": " + GetLastErrorText(errno);
        return false;
    }
    std::ostringstream text;
    text << file.rdbuf();
    if (!ParseScenario(text.str(), out, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

bool AddGeneratedDevices(TSimScenario& scenario, int count, std::string& error) {
    std::set<int> addresses;
    std::set<std::uint32_t> ids;
    int key = 0;
    for (const TSimDeviceConfig& d : scenario.devices) {
        addresses.insert(d.address);
        ids.insert(d.id);
        key = std::max(key, d.key);
    }
    if (count < 0 || static_cast<std::size_t>(count) + addresses.size() > 254) {
        error =
            "at most " + std::to_string(254 - addresses.size()) + " more devices fit on the bus";
        return false;
    }
    int address = 1;
    for (int i = 0; i < count; ++i) {
        while (addresses.count(address) != 0) {
            ++address;
        }
        ++key;
        TSimDeviceConfig d;
        d.key = key;
        d.address = static_cast<std::uint8_t>(address);
        d.id = GENERATED_ID_BASE | static_cast<std::uint32_t>(key);
        while (ids.count(d.id) != 0) {
            d.id += 0x10000;
        }
        d.factory_name = "ППК-256/128";
        d.user_name = "Объект " + std::to_string(key);
        d.lines = simlimits::MAX_LINES;
        d.relays = simlimits::MAX_RELAYS;
        d.archives = 1000;
        d.remote = 0x2FF;
        addresses.insert(address);
        ids.insert(d.id);
        scenario.devices.push_back(std::move(d));
    }
    return true;
}

namespace {

std::uint32_t Pick(std::mt19937& rng, std::uint32_t below) {
    return std::uniform_int_distribution<std::uint32_t>(0, below - 1)(rng);
}

} // namespace

TSimEvent DeviceEvent(TSimAction action, int device, std::uint32_t value, int index) {
    TSimEvent event;
    event.action = action;
    event.device = device;
    event.value = value;
    event.index = index;
    return event;
}

TSimEvent RandomChange(std::mt19937& rng, const std::vector<TSimDeviceConfig>& devices) {
    const TSimDeviceConfig& d = devices[Pick(rng, static_cast<std::uint32_t>(devices.size()))];
    const std::uint32_t roll = Pick(rng, 100);
    if (roll < 55 && d.lines > 0) {
        const auto index = static_cast<int>(Pick(rng, d.lines));
        const std::uint8_t state =
            simbits::RANDOM_LOOP_STATES[Pick(rng, std::size(simbits::RANDOM_LOOP_STATES))];
        return DeviceEvent(TSimAction::Loop, d.key, state, index);
    }
    if (roll < 85 && d.relays > 0) {
        TSimEvent event =
            DeviceEvent(TSimAction::Relay, d.key, 0, static_cast<int>(Pick(rng, d.relays)));
        const bool control = Pick(rng, 4) == 0;
        event.field = control ? simbits::TRelayField::Control : simbits::TRelayField::State;
        event.value = Pick(rng, control ? 8 : 2);
        return event;
    }
    switch (Pick(rng, 4)) {
    case 0:
        return DeviceEvent(TSimAction::DeviceState, d.key, Pick(rng, 4));
    case 1:
        return DeviceEvent(TSimAction::Power, d.key, Pick(rng, 2));
    case 2:
        return DeviceEvent(TSimAction::Battery, d.key, Pick(rng, 4));
    default:
        return DeviceEvent(TSimAction::Summary, d.key, Pick(rng, 6));
    }
}

#include "sim/sim_device.h"

#include "buslink/commands.h"
#include "common/text.h"

#include <algorithm>

namespace simbits {

std::uint16_t RelayWith(std::uint16_t word, TRelayField field, std::uint32_t value) {
    int shift = 0;
    unsigned mask = 1;
    switch (field) {
    case TRelayField::State:
        break;
    case TRelayField::Control:
        shift = 1;
        mask = 7;
        break;
    case TRelayField::Type:
        shift = 4;
        mask = 7;
        break;
    case TRelayField::Mode:
        shift = 7;
        break;
    }
    const unsigned cleared = word & ~(mask << shift);
    return static_cast<std::uint16_t>(cleared | ((value & mask) << shift));
}

} // namespace simbits

namespace {

// Elements per bit of the "changed" fields of a state answer.
constexpr int LOOPS_PER_BIT = 16;
constexpr int SENSORS_PER_BIT = 8;
constexpr int RELAYS_PER_BIT = 4;
constexpr int NAME_FIELD = simlimits::NAME_CHARS + 1;

std::string NameField(const std::string& utf8) {
    char buffer[simlimits::NAME_CHARS];
    const std::size_t n = Utf8ToCp1251(utf8, buffer, sizeof buffer);
    return std::string(buffer, n);
}

void PutLe(TBytes& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

void PutName(TBytes& out, const std::string& cp1251) {
    const std::size_t at = out.size();
    out.insert(out.end(), cp1251.begin(), cp1251.end());
    out.resize(at + NAME_FIELD, 0);
}

std::uint32_t NameValue(const std::string& cp1251) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4 && i < cp1251.size(); ++i) {
        value |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(cp1251[i])) << (8 * i);
    }
    return value;
}

bool IsAlarm(std::uint8_t code) {
    return (code & statecode::LOOP_CODE_MASK) > statecode::LAST_QUIET_CODE;
}

} // namespace

const char* ItemName(TSimItem item) {
    switch (item) {
    case TSimItem::None:
        return "-";
    case TSimItem::DeviceState:
        return "state";
    case TSimItem::Power:
        return "power";
    case TSimItem::Battery:
        return "battery";
    case TSimItem::Summary:
        return "summary";
    case TSimItem::Loop:
        return "loop";
    case TSimItem::Sensor:
        return "sensor";
    case TSimItem::Relay:
        return "relay";
    case TSimItem::Address:
        return "address";
    case TSimItem::UserName:
        return "name";
    case TSimItem::Clock:
        return "clock";
    case TSimItem::Online:
        return "online";
    }
    return "?";
}

TSimDevice::TSimDevice(const TSimDeviceConfig& config)
    : key_(config.key), id_(config.id),
      whois_id_(config.whois_id != 0 ? config.whois_id : config.id), address_(config.address),
      factory_name_(NameField(config.factory_name)), user_name_(NameField(config.user_name)),
      archives_(config.archives), remote_(config.remote), state_(config.state & 3),
      power_(config.power & 1), battery_(config.battery & 3), summary_(config.summary),
      silent_(config.silent),
      loops_(std::min<std::size_t>(config.lines, simlimits::MAX_LINES), statecode::LOOP_NORMAL),
      sensors_(std::min<std::size_t>(config.sensors, simlimits::MAX_SENSORS),
               statecode::SENSOR_NORMAL),
      relays_(std::min<std::size_t>(config.relays, simlimits::MAX_RELAYS), 0) {}

bool TSimDevice::Handle(const TSimFrame& request, TBytes& answer, std::string& reason) {
    answer.clear();
    if (request.answer) {
        reason = "an answer, not a request";
        return false;
    }
    if (silent_) {
        reason = "the device is silent";
        return false;
    }
    if (request.dst_address != address_) {
        reason = "sent to address " + std::to_string(request.dst_address) + ", the device is at " +
                 std::to_string(address_);
        return false;
    }
    switch (request.command) {
    case GET_WHOIS:
        answer = WhoisPayload();
        config_changed_ = false;
        return true;
    case GET_STATE:
        answer = StatePayload();
        return true;
    case GET_LINES:
        answer.assign(loops_.begin(), loops_.end());
        loops_changed_ = 0;
        return true;
    case GET_SENSORS:
        answer.assign(sensors_.begin(), sensors_.end());
        sensors_changed_ = 0;
        return true;
    case GET_RELAYS:
        for (const std::uint16_t word : relays_) {
            PutLe(answer, word, 2);
        }
        relays_changed_ = 0;
        return true;
    default:
        break;
    }
    if (!HandleRemote(request, reason)) {
        return false;
    }
    // Acknowledgements echo the request's payload; the workstation does not read it.
    answer = request.payload;
    return true;
}

bool TSimDevice::HandleRemote(const TSimFrame& request, std::string& reason) {
    const std::uint8_t command = request.command;
    const TBytes& p = request.payload;
    const bool remote = command >= REMOTE_RESET_DEVICE && command <= REMOTE_SYNCHRO_TIME;
    if (remote && (remote_ >> (command - REMOTE_RESET_DEVICE) & 1) == 0) {
        reason = std::string(CommandName(command)) + " is not in the remote mask";
        return false;
    }
    // Commands 17..23 carry a 16-bit element number; all but the resets add a value byte.
    const bool indexed = command > REMOTE_RESET_DEVICE && command <= REMOTE_RELAY_MODE;
    const bool resets = command == REMOTE_RESET_LINE || command == REMOTE_RESET_SENSOR;
    const std::size_t needed = indexed                                     ? (resets ? 2 : 3)
                               : command == SET_ADR || command == SET_NAME ? 1
                               : command == REMOTE_SYNCHRO_TIME            ? 4
                                                                           : 0;
    if (p.size() < needed) {
        reason = "payload of " + std::to_string(p.size()) + " bytes, " + std::to_string(needed) +
                 " needed";
        return false;
    }
    const int index = indexed ? p[0] | (p[1] << 8) : 0;
    const std::uint8_t value = indexed && !resets ? p[2] : 0;
    const bool on_loop = command == REMOTE_RESET_LINE || command == REMOTE_LINE_STATE;
    const bool on_sensor = command == REMOTE_RESET_SENSOR || command == REMOTE_SENSOR_STATE;
    const std::size_t count = on_loop     ? loops_.size()
                              : on_sensor ? sensors_.size()
                                          : relays_.size();
    if (indexed && static_cast<std::size_t>(index) >= count) {
        reason = "element " + std::to_string(index) + " of " + std::to_string(count);
        return false;
    }
    switch (command) {
    case SET_ADR:
        if (p[0] == 0 || p[0] == 255) {
            reason = "address " + std::to_string(p[0]) + " is reserved";
            return false;
        }
        Note(TSimItem::Address, -1, address_, p[0]);
        address_ = p[0];
        return true;
    case SET_NAME: {
        const auto end = std::find(
            p.begin(), p.begin() + std::min<std::size_t>(p.size(), simlimits::NAME_CHARS), 0);
        SetUserName(std::string(p.begin(), end));
        return true;
    }
    case REMOTE_SYNCHRO_TIME: {
        const std::uint32_t time =
            p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
        Note(TSimItem::Clock, -1, clock_, time);
        clock_ = time;
        return true;
    }
    case REMOTE_RESET_DEVICE:
        for (std::size_t i = 0; i < loops_.size(); ++i) {
            ResetLoop(static_cast<int>(i));
        }
        for (std::size_t i = 0; i < sensors_.size(); ++i) {
            ResetSensor(static_cast<int>(i));
        }
        if (state_ == 3) {
            SetState(0);
        }
        SettleSummary();
        return true;
    case REMOTE_RESET_LINE:
        ResetLoop(index);
        SettleSummary();
        return true;
    case REMOTE_RESET_SENSOR:
        ResetSensor(index);
        SettleSummary();
        return true;
    case REMOTE_LINE_STATE:
        SetLoop(index, static_cast<std::uint8_t>(
                           (loops_[static_cast<std::size_t>(index)] & statecode::LOOP_TYPE_MASK) |
                           (value != 0 ? statecode::LOOP_NORMAL : statecode::LOOP_OFF)));
        SettleSummary();
        return true;
    case REMOTE_SENSOR_STATE:
        SetSensor(index, value != 0 ? statecode::SENSOR_NORMAL : statecode::SENSOR_OFF);
        SettleSummary();
        return true;
    case REMOTE_RELAY_STATE:
    case REMOTE_RELAY_CONTROL:
    case REMOTE_RELAY_MODE: {
        const auto field = command == REMOTE_RELAY_STATE     ? simbits::TRelayField::State
                           : command == REMOTE_RELAY_CONTROL ? simbits::TRelayField::Control
                                                             : simbits::TRelayField::Mode;
        SetRelay(index, simbits::RelayWith(relays_[static_cast<std::size_t>(index)], field, value));
        return true;
    }
    default:
        reason = std::string(CommandName(command)) + " is not served";
        return false;
    }
}

void TSimDevice::ResetLoop(int index) {
    const std::uint8_t code = loops_[static_cast<std::size_t>(index)];
    if (IsAlarm(code)) {
        SetLoop(index, static_cast<std::uint8_t>((code & statecode::LOOP_TYPE_MASK) |
                                                 statecode::LOOP_NORMAL));
    }
}

void TSimDevice::ResetSensor(int index) {
    if (IsAlarm(sensors_[static_cast<std::size_t>(index)])) {
        SetSensor(index, statecode::SENSOR_NORMAL);
    }
}

// A reset or a switch-off clears the summary alarm once no loop or sensor is left in alarm.
void TSimDevice::SettleSummary() {
    if (std::none_of(loops_.begin(), loops_.end(), IsAlarm) &&
        std::none_of(sensors_.begin(), sensors_.end(), IsAlarm)) {
        SetSummary(0);
    }
}

void TSimDevice::SetUserName(const std::string& cp1251) {
    if (cp1251 != user_name_) {
        changes_.push_back({TSimItem::UserName, -1, NameValue(user_name_), NameValue(cp1251),
                            Cp1251ToUtf8(cp1251)});
        config_changed_ = true;
        user_name_ = cp1251;
    }
}

void TSimDevice::Note(TSimItem item, int index, std::uint32_t old_value, std::uint32_t new_value) {
    if (old_value == new_value) {
        return;
    }
    changes_.push_back({item, index, old_value, new_value, {}});
    switch (item) {
    case TSimItem::Loop:
        loops_changed_ |= static_cast<std::uint16_t>(1u << (index / LOOPS_PER_BIT));
        break;
    case TSimItem::Sensor:
        sensors_changed_ |= std::uint64_t{1} << (index / SENSORS_PER_BIT);
        break;
    case TSimItem::Relay:
        relays_changed_ |= 1u << (index / RELAYS_PER_BIT);
        break;
    case TSimItem::Address:
        config_changed_ = true;
        break;
    default:
        break;
    }
}

void TSimDevice::SetState(std::uint8_t value) {
    Note(TSimItem::DeviceState, -1, state_, value & 3u);
    state_ = value & 3;
}

void TSimDevice::SetPower(std::uint8_t value) {
    Note(TSimItem::Power, -1, power_, value & 1u);
    power_ = value & 1;
}

void TSimDevice::SetBattery(std::uint8_t value) {
    Note(TSimItem::Battery, -1, battery_, value & 3u);
    battery_ = value & 3;
}

void TSimDevice::SetSummary(std::uint8_t value) {
    Note(TSimItem::Summary, -1, summary_, value);
    summary_ = value;
}

void TSimDevice::SetLoop(int index, std::uint8_t value) {
    std::uint8_t& loop = loops_[static_cast<std::size_t>(index)];
    Note(TSimItem::Loop, index, loop, value & statecode::LOOP_BYTE_MASK);
    loop = value & statecode::LOOP_BYTE_MASK;
}

void TSimDevice::SetSensor(int index, std::uint8_t value) {
    std::uint8_t& sensor = sensors_[static_cast<std::size_t>(index)];
    Note(TSimItem::Sensor, index, sensor, value);
    sensor = value;
}

void TSimDevice::SetRelay(int index, std::uint16_t word) {
    std::uint16_t& relay = relays_[static_cast<std::size_t>(index)];
    Note(TSimItem::Relay, index, relay, word & 0xFFu);
    relay = word & 0xFF;
}

void TSimDevice::SetSilent(bool silent) {
    Note(TSimItem::Online, -1, silent_ ? 0u : 1u, silent ? 0u : 1u);
    silent_ = silent;
}

std::vector<TSimChange> TSimDevice::TakeChanges() {
    std::vector<TSimChange> out;
    out.swap(changes_);
    return out;
}

TSimCorruption TSimDevice::TakeCorruption() {
    const TSimCorruption corruption = corruption_;
    corruption_ = TSimCorruption::None;
    return corruption;
}

TBytes TSimDevice::WhoisPayload() const {
    TBytes out;
    out.push_back(0);
    out.push_back(address_);
    PutLe(out, whois_id_, 4);
    PutName(out, factory_name_);
    PutName(out, user_name_);
    PutLe(out, loops_.size(), 2);
    PutLe(out, sensors_.size(), 2);
    PutLe(out, relays_.size(), 2);
    PutLe(out, archives_, 2);
    PutLe(out, remote_, 2);
    return out;
}

TBytes TSimDevice::StatePayload() const {
    TBytes out;
    out.push_back(static_cast<std::uint8_t>(state_ | (power_ << 2) | (battery_ << 3)));
    out.push_back(config_changed_ ? 1 : 0);
    PutLe(out, loops_changed_, 2);
    PutLe(out, sensors_changed_, 6);
    PutLe(out, relays_changed_, 4);
    out.push_back(summary_);
    return out;
}

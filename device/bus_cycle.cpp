#include "audio/sound.h"
#include "buslink/kordeya32.h"
#include "common/settings.h"
#include "database/sqlite.h"
#include "device/device.h"
#include "device/device_views.h"
#include "log/log.h"
#include "records/record.h"

#include <chrono>
#include <cstring>

bool TDevice::PassGate() {
    std::unique_lock<std::mutex> lock(core_lock_);
    if (!core_run_ && !core_quit_) {
        core_idle_ = true;
        core_changed_.notify_all();
        core_changed_.wait(lock, [this] { return core_run_ || core_quit_; });
    }
    core_idle_ = core_quit_;
    core_changed_.notify_all();
    return !core_quit_;
}

void TDevice::RunCoreThread(bool run) {
    std::unique_lock<std::mutex> lock(core_lock_);
    core_run_ = run;
    core_changed_.notify_all();
    if (!run) {
        core_changed_.wait(lock, [this] { return core_idle_; });
    }
}

void TDevice::EndCoreThread() {
    if (!core_thread_.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(core_lock_);
        core_quit_ = true;
        core_changed_.notify_all();
    }
    core_thread_.join();
}

bool TDevice::ReadBus(TBusState& bus, int& got) {
    got = 0;
    if (!port_failed_) {
        if (port_.Read(bus.receive + bus.held, RECEIVE_SIZE - bus.held, READ_TIMEOUT_MS, got)) {
            return true;
        }
        if (!port_.IsFailed()) {
            return false;
        }
        // The adapter went away: say so once and keep trying to open it again.
        const int error = port_.LastError();
        TLog::Addf(log_, LOG_TYPE_ERROR, "Ошибка чтения COM порта COM%d (%s): %s",
                   opened_with_.com_num,
                   port_.PortPathText(static_cast<std::uint8_t>(opened_with_.com_num)),
                   GetLastErrorText(error));
        port_.Close();
        port_failed_ = true;
        port_error_ = error;
        SetPortStatus(false, error);
        return false;
    }
    // The port the start took, with the line control it took, until the service is restarted.
    if (OpenPort()) {
        port_failed_ = false;
        return false;
    }
    // Nothing to read from: the read's time passes all the same, unless the service stops.
    std::unique_lock<std::mutex> lock(core_lock_);
    core_changed_.wait_for(lock, std::chrono::milliseconds(READ_TIMEOUT_MS),
                           [this] { return !core_run_ || core_quit_; });
    return false;
}

void TDevice::DeviceThreadCoreFunction() {
    // The bus state lives as long as the thread and survives a service stop and start.
    auto bus = std::make_unique<TBusState>();
    while (PassGate()) {
        const std::uint64_t t0 = TComp32::GetMsTime();
        int got = 0;
        const bool flush = !ReadBus(*bus, got);
        const std::uint64_t t1 = TComp32::GetMsTime();
        CheckOnline(static_cast<std::int32_t>(t1 - t0));
        bus->held += got;
        WatchLine(TakeFrames(*bus, flush) > 0, t1);
        // What this pass stored reaches the disk before the bus is read again.
        tracker_.Check(clock_->NowMs());
        sqlite_.Sync();
        RetryDatabase(t1);
    }
}

void TDevice::WatchLine(bool heard, std::uint64_t now_ms) {
    if (line_watch_restart_.exchange(false)) {
        heard_ms_ = now_ms;
        line_silent_ = false;
    }
    const int port = opened_with_.com_num;
    if (heard) {
        heard_ms_ = now_ms;
        if (line_silent_.exchange(false)) {
            TLog::Addf(log_, LOG_TYPE_INFO, "Обмен по линии COM%d восстановлен", port);
            views_.StatusBarUpdate();
        }
        return;
    }
    if (line_silent_ || now_ms - heard_ms_ < static_cast<std::uint64_t>(LINE_SILENCE_MS)) {
        return;
    }
    // Panels in alarm may be shouting into a cut cable: the operator must hear that nothing
    // is heard.
    line_silent_ = true;
    TLog::Addf(log_, LOG_TYPE_ERROR, "%s COM%d (%s)", LINE_SILENT_TEXT, port,
               port_.PortPathText(static_cast<std::uint8_t>(port)));
    record_.AskSound(SOUND_FAILURE);
    views_.StatusBarUpdate();
}

int TDevice::TakeFrames(TBusState& bus, bool flush) {
    int frames = 0;
    while (bus.held > 0) {
        int consumed = 0;
        const bool frame = port_.Parse(bus.receive, bus.held, consumed, flush);
        if (consumed == 0) {
            break;
        }
        bus.held -= consumed;
        std::memmove(bus.receive, bus.receive + consumed, static_cast<std::size_t>(bus.held));
        if (frame && Dispatch(bus)) {
            ++frames;
        }
    }
    return frames;
}

bool TDevice::Dispatch(TBusState& bus) {
    const std::uint8_t* f = port_.Frame();
    const std::uint8_t* payload = f + frame::OFS_PAYLOAD;
    const int length = port_.FrameLength() - frame::MIN_LENGTH;
    const std::uint8_t command = f[frame::OFS_COMMAND];
    const std::uint32_t source = frame::ReadDword(f + frame::OFS_SRC_ID);
    // Only the PC sends with its own id: this is our own frame heard back (an adapter that
    // hears its own transmission), neither a request of the bus nor an answer.
    if (f[frame::OFS_SRC_ADDRESS] == port_.OwnAddress() && source == port_.OwnId()) {
        return false;
    }

    if (f[frame::OFS_ANSWER] == 0) {
        const std::uint32_t target = frame::ReadDword(f + frame::OFS_DST_ID);
        switch (command) {
        case FIND_DEVICE:
            // A turn read late, after a stall, is over once more of the line is queued behind
            // it: a frame sent now would meet the master's traffic, and answers already heard
            // would stand between a command and its acknowledgement. A pending command waits.
            if (bus.held == 0 && port_.QueuedBytes() == 0) {
                PcTurn(bus);
            }
            break;
        case SET_ADR:
            if (length >= 1) {
                bus.seen_target = target;
                bus.seen_address = payload[0];
            }
            break;
        case SET_NAME: {
            bus.seen_target = target;
            const int n = std::min(length, static_cast<int>(DeviceNameLength));
            std::memset(bus.seen_name, 0, sizeof bus.seen_name);
            std::memcpy(bus.seen_name, payload, static_cast<std::size_t>(n));
            break;
        }
        case REMOTE_SYNCHRO_TIME:
            if (length >= 4) {
                bus.seen_target = target;
                bus.seen_time = frame::ReadDword(payload);
            }
            break;
        default:
            break;
        }
        return true;
    }

    // An acknowledgement counts only as the first answer after the request it belongs to.
    const bool matched = bus.seen_target == source;
    const auto index = static_cast<std::uint16_t>(remote_command.index & 0xFFFF);
    const auto value = static_cast<std::uint8_t>(remote_command.value & 0xFF);
    switch (command) {
    case GET_WHOIS:
        CmdCoreGetWhois(source, payload, length);
        break;
    case GET_STATE:
        CmdCoreGetState(source, f[frame::OFS_SRC_ADDRESS], payload, length);
        break;
    case GET_LINES:
        CmdCoreGetLines(source, payload, length);
        break;
    case GET_SENSORS:
        CmdCoreGetSensors(source);
        break;
    case GET_RELAYS:
        CmdCoreGetRelays(source, payload, length);
        break;
    default:
        if (!matched) {
            break;
        }
        switch (command) {
        case SET_ADR:
            CmdCoreSetAdr(source, bus.seen_address);
            break;
        case SET_NAME:
            CmdCoreSetName(source, bus.seen_name);
            break;
        case REMOTE_SYNCHRO_TIME:
            CmdCoreSynchroTime(source, bus.seen_time);
            break;
        case REMOTE_RESET_DEVICE:
            CmdCoreRemoteResetDevice(source);
            break;
        case REMOTE_RESET_LINE:
            CmdCoreRemoteResetLine(source, index);
            break;
        case REMOTE_RESET_SENSOR:
            CmdCoreRemoteResetSensor(source, index);
            break;
        case REMOTE_LINE_STATE:
            CmdCoreRemoteLineState(source, index, value);
            break;
        case REMOTE_SENSOR_STATE:
            CmdCoreRemoteSensorState(source, index, value);
            break;
        case REMOTE_RELAY_STATE:
            CmdCoreRemoteRelayState(source, index, value);
            break;
        case REMOTE_RELAY_CONTROL:
            CmdCoreRemoteRelayControl(source, index, value);
            break;
        case REMOTE_RELAY_MODE:
            CmdCoreRemoteRelayMode(source, index, value);
            break;
        default:
            break;
        }
        tracker_.Answered(command, source);
    }
    bus.seen_target.reset();
    bus.seen_address = 0;
    bus.seen_time = 0;
    bus.seen_name[0] = 0;
    return true;
}

namespace {

// The request that reads what the entry still lacks; 0 when nothing is left to read. A device
// with both loops and relays to read takes them in turn, as relays_next says.
std::uint8_t NextRead(const TDeviceEntry& e, bool relays_next) {
    const bool lines = e.LinesToRead();
    const bool relays = e.RelaysToRead();
    if (!e.whois_read) {
        return GET_WHOIS;
    }
    if (lines && (!relays || !relays_next)) {
        return GET_LINES;
    }
    return relays ? GET_RELAYS : 0;
}

} // namespace

void TDevice::PcTurn(TBusState& bus) {
    if (remote_command.pending.load(std::memory_order_acquire)) {
        std::uint8_t payload[TRemoteCommand::PAYLOAD_SIZE];
        const int length =
            std::clamp(static_cast<int>(remote_command.length), 0, TRemoteCommand::PAYLOAD_SIZE);
        for (int i = 0; i < length; ++i) {
            payload[i] = remote_command.payload[i];
        }
        bus.seen_target = remote_command.device_id;
        const std::uint8_t command = remote_command.command;
        const std::uint32_t device_id = remote_command.device_id;
        port_.Send(command, static_cast<std::uint8_t>(remote_command.address), device_id, payload,
                   length);
        // Tracked before the popup may take the next one.
        const int i = FindDevice(device_id);
        TDeviceRecord target = i >= 0 ? devices_[i].record.Get() : TDeviceRecord{};
        target.device_id = device_id;
        target.address = remote_command.address;
        std::string user;
        {
            std::lock_guard<std::mutex> guard(command_lock_);
            user = command_user_;
        }
        tracker_.Sent(command, static_cast<std::uint8_t>(remote_command.value & 0xFF), target,
                      remote_command.index, clock_->NowMs(), user);
        remote_command.pending.store(false, std::memory_order_release);
        return;
    }
    static constexpr std::uint8_t ZERO = 0;
    const int count = GetCount();
    // Each turn looks from the device after the last one read: loops that keep changing must not
    // keep the panels after it, or its own relays, from ever being read.
    for (int k = 0; k < count; ++k) {
        const int i = (bus.turn_from + k) % count;
        const std::uint8_t command = NextRead(devices_[i], bus.relays_next[i]);
        if (command == 0) {
            continue;
        }
        if (command != GET_WHOIS) {
            bus.relays_next[i] = command == GET_LINES;
        }
        const TDeviceRecord r = devices_[i].record.Get();
        const auto address = static_cast<std::uint8_t>(r.address);
        if (command == GET_WHOIS) {
            port_.Send(command, address, r.device_id, nullptr, 0);
        } else {
            port_.Send(command, address, r.device_id, &ZERO, 1);
        }
        bus.turn_from = i + 1;
        return;
    }
}

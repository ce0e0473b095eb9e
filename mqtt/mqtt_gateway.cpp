#include "mqtt/mqtt_gateway.h"

#include "buslink/commands.h"
#include "device/command_tracker.h"
#include "device/device.h"
#include "device/device_tree.h"
#include "log/log.h"
#include "mqtt/mqtt_client.h"
#include "mqtt/state_changes.h"
#include "records/cell_text.h"

#include <fmt/format.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <system_error>

namespace {

constexpr int POLL_MS = 100;
constexpr int FEED_RETRY_MS = 10000;
constexpr std::size_t COMMAND_MAX_BYTES = 4096;
constexpr std::string_view COMMAND_TOPIC = "/command/set";

std::uint64_t NowMs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

TMqttDeviceState ReadState(const TDeviceEntry& e) {
    TMqttDeviceState s;
    const TDeviceRecord r = e.record.Get();
    s.device_id = r.device_id;
    s.online = e.online;
    s.address = r.address;
    s.name = DeviceNameText(r.const_name);
    s.user_name = DeviceNameText(r.user_name);
    s.state = e.state;
    s.power = e.power;
    s.battery = e.battery;
    s.summary = e.max_state;
    const int lines = e.LineCount();
    for (int i = 0; i < lines; ++i) {
        s.line_state.push_back(e.line[i].state);
        s.line_type.push_back(e.line[i].type);
    }
    const int relays = e.RelayCount();
    for (int k = 0; k < relays; ++k) {
        const TRelayEntry& relay = e.relay[k];
        s.relay.push_back(static_cast<std::uint32_t>(relay.state) |
                          static_cast<std::uint32_t>(relay.control) << 8 |
                          static_cast<std::uint32_t>(relay.type) << 16 |
                          static_cast<std::uint32_t>(relay.mode) << 24);
    }
    return s;
}

bool SameDevice(const TMqttDeviceState& a, const TMqttDeviceState& b) {
    return a.online == b.online && a.address == b.address && a.name == b.name &&
           a.user_name == b.user_name && a.state == b.state && a.power == b.power &&
           a.battery == b.battery && a.summary == b.summary &&
           a.line_state.size() == b.line_state.size() && a.relay.size() == b.relay.size();
}

} // namespace

TMqttGateway::TMqttGateway(TLog* log, const TRecord& record, TDevice& device,
                           TStateChanges& changes, std::function<std::string()> database_path)
    : log_(log), record_(record), device_(device), changes_(changes),
      database_path_(std::move(database_path)), json_(record),
      wake_fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

TMqttGateway::~TMqttGateway() {
    Stop();
    if (wake_fd_ >= 0) {
        close(wake_fd_);
    }
}

bool TMqttGateway::Start(const TMqttSettings& settings) {
    if (thread_.joinable() && settings == settings_) {
        return true;
    }
    Stop();
    settings_ = settings;
    if (!settings_.enabled) {
        return false;
    }
    broker_ = fmt::format("{}:{}", settings_.host, settings_.port);
    quit_ = false;
    next_attempt_ = 0;
    backoff_ms_ = BACKOFF_FIRST_MS;
    ever_connected_ = false;
    outage_logged_ = false;
    feed_failed_path_.clear();
    feed_error_logged_.clear();
    TLog::Addf(log_, LOG_TYPE_INFO, "MQTT: брокер %s%s, префикс \"%s\", клиент \"%s\"%s", broker_,
               settings_.tls ? " (TLS)" : "", settings_.prefix, settings_.client_id,
               settings_.commands ? ", команды разрешены" : "");
    try {
        thread_ = std::thread(&TMqttGateway::Run, this);
    } catch (const std::system_error& e) {
        TLog::Add(log_, "MQTT: " + GetLastErrorText(e.code().value()), LOG_TYPE_ERROR);
        return false;
    }
    return true;
}

void TMqttGateway::Stop() {
    if (!thread_.joinable()) {
        return;
    }
    quit_.store(true, std::memory_order_release);
    if (wake_fd_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(wake_fd_, &one, sizeof one);
    }
    thread_.join();
}

std::string TMqttGateway::Topic(std::uint32_t device_id, std::string_view what) const {
    return fmt::format("{}/{:08X}/{}", settings_.prefix, device_id, what);
}

void TMqttGateway::Run() {
    while (!quit_.load(std::memory_order_acquire)) {
        std::uint64_t now = NowMs();
        FollowDatabase(now);
        if (!client_ && now >= next_attempt_) {
            Connect(now);
        }
        if (client_ && !connected_ && now >= connect_deadline_) {
            Lost("брокер не ответил за " + std::to_string(CONNECT_TIMEOUT_MS / 1000) + " с", now);
        }
        if (connected_ && greet_) {
            Greet(now);
        }
        if (connected_) {
            PublishRecords(now);
            PublishStates(now);
        }
        SaveMark(now, false);
        int wait = POLL_MS;
        if (!client_) {
            wait = static_cast<int>(std::clamp<std::int64_t>(
                static_cast<std::int64_t>(next_attempt_) - static_cast<std::int64_t>(now), 0,
                POLL_MS));
        }
        if (!Pump(wait)) {
            Lost(refused_.empty() && client_ ? client_->Error() : refused_, NowMs());
        }
    }
    Close();
}

bool TMqttGateway::Pump(int wait_ms) {
    // The changes are taken only while connected: until then they wait, and must not wake.
    pollfd fds[3] = {
        {wake_fd_, POLLIN, 0}, {connected_ ? changes_.Fd() : -1, POLLIN, 0}, {-1, 0, 0}};
    nfds_t count = 2;
    if (client_ && client_->Socket() >= 0) {
        fds[2] = {client_->Socket(),
                  static_cast<short>(POLLIN | (client_->WantWrite() ? POLLOUT : 0)), 0};
        count = 3;
    }
    poll(fds, count, wait_ms);
    if ((fds[0].revents & POLLIN) != 0) {
        std::uint64_t drained = 0;
        [[maybe_unused]] const ssize_t got = read(wake_fd_, &drained, sizeof drained);
    }
    if (!client_) {
        return true;
    }
    // Read at every turn: TLS may hold bytes that the socket no longer shows.
    return client_->Read() && client_ && (!client_->WantWrite() || client_->Write()) &&
           client_->Misc();
}

void TMqttGateway::Connect(std::uint64_t now) {
    refused_.clear();
    TMqttClient::THandlers handlers;
    handlers.connected = [this](int code) { Connected(code); };
    handlers.published = [this](int mid) { Published(mid); };
    handlers.message = [this](std::string_view topic, std::string_view payload) {
        Message(topic, payload);
    };
    client_ = std::make_unique<TMqttClient>(settings_, std::move(handlers),
                                            settings_.prefix + "/status", "offline");
    if (!client_->Valid() || !client_->Connect()) {
        Lost(client_->Error(), now);
        return;
    }
    connect_deadline_ = now + CONNECT_TIMEOUT_MS;
}

void TMqttGateway::Connected(int code) {
    if (code != 0) {
        refused_ = "брокер отказал в подключении: " + TMqttClient::ConnackText(code);
        return;
    }
    connected_.store(true, std::memory_order_release);
    backoff_ms_ = BACKOFF_FIRST_MS;
    if (outage_logged_) {
        TLog::Addf(log_, LOG_TYPE_INFO, "MQTT: связь с брокером %s восстановлена", broker_);
    } else if (!ever_connected_) {
        TLog::Addf(log_, LOG_TYPE_INFO, "MQTT: подключено к брокеру %s", broker_);
    }
    ever_connected_ = true;
    outage_logged_ = false;
    // Said from the loop, not from inside the library's callback, which holds its own locks.
    greet_ = true;
}

void TMqttGateway::Greet(std::uint64_t now) {
    greet_ = false;
    int mid = 0;
    if (!Publish(settings_.prefix + "/status", "online", true, &mid, now)) {
        return;
    }
    if (!client_->Subscribe(settings_.prefix + "/+" + std::string(COMMAND_TOPIC))) {
        Lost(client_->Error(), now);
        return;
    }
    // The broker may have lost what it retained: every device is said again.
    published_.clear();
    changes_.All();
}

void TMqttGateway::Published(int mid) {
    const auto it = std::find_if(window_.begin(), window_.end(),
                                 [mid](const TInFlight& f) { return f.mid == mid; });
    if (it == window_.end()) {
        return;
    }
    it->confirmed = true;
    while (!window_.empty() && window_.front().confirmed) {
        mark_ = window_.front().id;
        window_.pop_front();
    }
    confirmed_.store(mark_, std::memory_order_release);
}

void TMqttGateway::Lost(std::string why, std::uint64_t now) {
    client_.reset();
    connected_.store(false, std::memory_order_release);
    greet_ = false;
    window_.clear();
    SaveMark(now, true);
    if (!outage_logged_) {
        outage_logged_ = true;
        TLog::Addf(log_, LOG_TYPE_ERROR, "MQTT: брокер %s недоступен: %s", broker_, why);
    }
    next_attempt_ = now + static_cast<std::uint64_t>(backoff_ms_);
    backoff_ms_ = std::min(backoff_ms_ * 2, BACKOFF_MAX_MS);
}

void TMqttGateway::Close() {
    if (client_ && connected_) {
        int mid = -1;
        if (client_->Publish(settings_.prefix + "/status", "offline", true, &mid)) {
            // Its acknowledgement ends the wait as a record's would, leaving the mark as it is;
            // the records still in flight are sent again next time.
            window_.assign(1, TInFlight{mark_, mid, false});
            const std::uint64_t end = NowMs() + CLOSE_TIMEOUT_MS;
            while (client_ && !window_.empty() && NowMs() < end && Pump(POLL_MS)) {
            }
        }
        client_->Disconnect();
    }
    client_.reset();
    connected_.store(false, std::memory_order_release);
    window_.clear();
    SaveMark(NowMs(), true);
    feed_.Close();
}

void TMqttGateway::FollowDatabase(std::uint64_t now) {
    const std::string path = database_path_();
    if (path.empty() || (feed_.IsOpen() && path == feed_.Path())) {
        return;
    }
    if (path == feed_failed_path_ && now < feed_retry_at_) {
        return;
    }
    SaveMark(now, true);
    // The records in flight belong to the file left: their acknowledgements move no mark.
    window_.clear();
    if (!feed_.Open(path)) {
        feed_failed_path_ = path;
        feed_retry_at_ = now + FEED_RETRY_MS;
        LogFeedError();
        return;
    }
    feed_failed_path_.clear();
    bool found = false;
    std::int64_t mark = 0;
    if (!feed_.ReadMark(mark, found) ||
        (!found && (!feed_.LastId(mark) || !feed_.WriteMark(mark)))) {
        LogFeedError();
        feed_.Close();
        feed_failed_path_ = path;
        feed_retry_at_ = now + FEED_RETRY_MS;
        return;
    }
    mark_ = stored_mark_ = mark;
    confirmed_.store(mark_, std::memory_order_release);
    TLog::Addf(log_, LOG_TYPE_INFO, "MQTT: записи базы %s публикуются с id %lld%s", path,
               static_cast<long long>(mark + 1),
               found ? "" : " (отметки отправленных ещё не было: публикуются новые записи)");
}

void TMqttGateway::LogFeedError() {
    // One line per distinct failure, not one per retry.
    if (feed_.Error() != feed_error_logged_) {
        feed_error_logged_ = feed_.Error();
        TLog::Add(log_, "MQTT: " + feed_.Error(), LOG_TYPE_ERROR);
    }
}

void TMqttGateway::SaveMark(std::uint64_t now, bool force) {
    if (!feed_.IsOpen() || mark_ == stored_mark_ ||
        (!force && now < mark_saved_at_ + MARK_SAVE_MS)) {
        return;
    }
    mark_saved_at_ = now;
    if (feed_.WriteMark(mark_)) {
        stored_mark_ = mark_;
        feed_error_logged_.clear();
    } else {
        LogFeedError();
    }
}

bool TMqttGateway::Publish(const std::string& topic, std::string_view payload, bool retain,
                           int* mid, std::uint64_t now) {
    if (!client_ || !connected_) {
        return false;
    }
    if (!client_->Publish(topic, payload, retain, mid)) {
        Lost(client_->Error(), now);
        return false;
    }
    return true;
}

void TMqttGateway::PublishRecords(std::uint64_t now) {
    while (feed_.IsOpen() && connected_ && window_.size() < static_cast<std::size_t>(WINDOW)) {
        const std::int64_t after = window_.empty() ? mark_ : window_.back().id;
        if (!feed_.ReadAfter(after, WINDOW - static_cast<int>(window_.size()), batch_)) {
            LogFeedError();
            return;
        }
        if (batch_.empty()) {
            return;
        }
        for (const TEventRecord& r : batch_) {
            int mid = 0;
            if (!Publish(Topic(r.device_id, "record"), json_.Record(r), false, &mid, now)) {
                return;
            }
            window_.push_back({r.id, mid, false});
        }
    }
}

void TMqttGateway::PublishStates(std::uint64_t now) {
    const std::uint64_t changed = changes_.Take();
    const int count = std::min(device_.GetCount(), TDevice::MAX_DEVICES);
    for (int i = 0; i < count && connected_; ++i) {
        if (((changed >> i) & 1) != 0) {
            PublishDevice(i, now);
        }
    }
}

void TMqttGateway::PublishDevice(int index, std::uint64_t now) {
    const TDeviceEntry* entry = device_.GetItem(index);
    if (entry == nullptr) {
        return;
    }
    TMqttDeviceState s = ReadState(*entry);
    const auto it = published_.find(s.device_id);
    const TMqttDeviceState* before = it != published_.end() ? &it->second : nullptr;
    int mid = 0;
    if ((before == nullptr || !SameDevice(*before, s)) &&
        !Publish(Topic(s.device_id, "state"), json_.Device(s), true, &mid, now)) {
        return;
    }
    const auto lines = static_cast<int>(s.line_state.size());
    for (int i = 0; i < lines; ++i) {
        const auto at = static_cast<std::size_t>(i);
        const bool same = before != nullptr && at < before->line_state.size() &&
                          before->line_state[at] == s.line_state[at] &&
                          before->line_type[at] == s.line_type[at];
        if (!same && !Publish(Topic(s.device_id, fmt::format("line/{}", i + 1)), json_.Line(s, i),
                              true, &mid, now)) {
            return;
        }
    }
    const auto relays = static_cast<int>(s.relay.size());
    for (int k = 0; k < relays; ++k) {
        const auto at = static_cast<std::size_t>(k);
        const bool same =
            before != nullptr && at < before->relay.size() && before->relay[at] == s.relay[at];
        if (!same && !Publish(Topic(s.device_id, fmt::format("relay/{}", k + 1)), json_.Relay(s, k),
                              true, &mid, now)) {
            return;
        }
    }
    if (settings_.discovery &&
        (before == nullptr || before->line_state.size() != s.line_state.size() ||
         before->name != s.name || before->user_name != s.user_name)) {
        const std::string node = fmt::format("{}_{:08X}", settings_.prefix, s.device_id);
        if (!Publish("homeassistant/sensor/" + node + "/summary/config",
                     TMqttJson::SummaryDiscovery(s, settings_.prefix), true, &mid, now)) {
            return;
        }
        for (int i = 0; i < lines; ++i) {
            if (!Publish(fmt::format("homeassistant/binary_sensor/{}/line_{}/config", node, i + 1),
                         TMqttJson::LineDiscovery(s, i, settings_.prefix), true, &mid, now)) {
                return;
            }
        }
    }
    published_[s.device_id] = std::move(s);
}

void TMqttGateway::Message(std::string_view topic, std::string_view payload) {
    const std::string why = Command(topic, payload);
    if (!why.empty()) {
        // The topic's device part is cut, as anyone may publish there.
        TLog::Addf(log_, LOG_TYPE_ERROR, "MQTT: команда отклонена (%s): %s",
                   std::string(topic.substr(0, 120)), why);
    }
}

std::string TMqttGateway::Command(std::string_view topic, std::string_view payload) {
    if (!settings_.commands) {
        return "команды по MQTT выключены (Commands=0)";
    }
    // <Prefix>/<8 hex digits>/command/set
    const std::string head = settings_.prefix + "/";
    std::uint32_t device_id = 0;
    const std::string_view hex =
        topic.size() == head.size() + 8 + COMMAND_TOPIC.size() ? topic.substr(head.size(), 8) : "";
    const auto parsed = std::from_chars(hex.data(), hex.data() + hex.size(), device_id, 16);
    if (hex.empty() || parsed.ec != std::errc() || parsed.ptr != hex.data() + hex.size()) {
        return "код устройства не из 8 шестнадцатеричных цифр";
    }
    if (payload.size() > COMMAND_MAX_BYTES) {
        return fmt::format("тело команды длиннее {} байт", COMMAND_MAX_BYTES);
    }
    TMqttCommand command;
    std::string why;
    if (!TMqttJson::ParseCommand(payload, command, why)) {
        return why;
    }
    const int item = DevicePopupItem(command.command);
    if (item < 0) {
        return "неизвестная команда \"" + command.command.substr(0, 40) + "\"";
    }
    const TDeviceEntry* entry = nullptr;
    const int count = device_.GetCount();
    for (int i = 0; i < count && entry == nullptr; ++i) {
        const TDeviceEntry* e = device_.GetItem(i);
        entry = e != nullptr && e->record.Get().device_id == device_id ? e : nullptr;
    }
    if (entry == nullptr) {
        return fmt::format("устройство {:08X} не найдено", device_id);
    }
    why = DevicePopupRefusal(*entry, item, command.number - 1);
    if (!why.empty()) {
        return why;
    }
    const TDevicePopupItem& popup = DEVICE_POPUP_ITEMS[static_cast<std::size_t>(item)];
    // A device's own command names no element, whatever number came with it.
    const int index = popup.command == REMOTE_RESET_DEVICE ? 0 : command.number - 1;
    const TDeviceRecord target = entry->record.Get();
    if (!device_.QueueRemoteCommand(target, index, popup.command, popup.length, popup.value,
                                    "MQTT " + settings_.client_id)) {
        return "предыдущая команда ещё не обработана";
    }
    std::string element = TCommandTracker::ElementText(popup.command, index);
    TLog::Addf(log_, LOG_TYPE_INFO, "MQTT: команда «%s» принята: %s%s",
               TCommandTracker::CommandText(popup.command, popup.value), DeviceTargetText(target),
               element.empty() ? std::string() : ", " + element);
    return {};
}

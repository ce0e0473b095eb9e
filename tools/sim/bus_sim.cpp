#include "sim/bus_sim.h"

#include "buslink/commands.h"
#include "common/text.h"

#include <algorithm>
#include <cmath>
#include <ctime>

namespace {

// 9600 baud, ten bits a byte.
constexpr std::int64_t REALTIME_BYTE_US = 1042;
// A panel starts its answer a few milliseconds after the request ends.
constexpr std::int64_t REALTIME_GAP_US = 3000;
// The longest a panel may take to begin its answer to the workstation.
constexpr double MAX_ANSWER_DELAY_MS = 10;
// The master gives up on a panel that does not answer.
constexpr std::int64_t REALTIME_NO_ANSWER_US = 30000;
constexpr int REALTIME_TURN_MS = 60;
constexpr int FAST_TURN_MS = 10;
// A partial frame of the workstation is given up after this much quiet.
constexpr int QUIET_INPUT_MS = 200;

TSimFrame Frame(bool answer, std::uint8_t command, std::uint8_t dst_address, std::uint32_t dst_id,
                std::uint8_t src_address, std::uint32_t src_id, TBytes payload) {
    TSimFrame frame;
    frame.answer = answer;
    frame.command = command;
    frame.dst_address = dst_address;
    frame.dst_id = dst_id;
    frame.src_address = src_address;
    frame.src_id = src_id;
    frame.payload = std::move(payload);
    return frame;
}

const char* CorruptionName(TSimCorruption corruption) {
    switch (corruption) {
    case TSimCorruption::Crc:
        return "a wrong checksum";
    case TSimCorruption::Escape:
        return "a bad escape";
    case TSimCorruption::Truncate:
        return "its end cut off";
    case TSimCorruption::None:
        break;
    }
    return "nothing";
}

TBytes Le32(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

} // namespace

TBusSim::~TBusSim() {
    Stop();
}

bool TBusSim::Start(const TSimOptions& options, const TSimScenario& scenario, std::string& error) {
    if (Running()) {
        error = "the simulator is already running";
        return false;
    }
    if (!CheckDevices(scenario.devices, error)) {
        return false;
    }
    for (const TSimEvent& event : scenario.events) {
        if (!CheckEvent(event, scenario.devices, error)) {
            return false;
        }
    }
    if (options.rate < 0 || options.rate_after_s < 0 || options.rate_for_s < 0 ||
        (options.rate > 0 && scenario.devices.empty())) {
        error = "random changes need a positive rate and at least one device";
        return false;
    }
    if (!(options.answer_delay_ms >= 0 && options.answer_delay_ms <= MAX_ANSWER_DELAY_MS)) {
        error = "the answer delay must be 0..10 ms";
        return false;
    }
    if (!line_.Open(options.ports_dir, options.com, error)) {
        return false;
    }
    const bool realtime = options.pace == TSimPace::Realtime;
    line_.SetPace(realtime ? REALTIME_BYTE_US : 0, options.chunk);
    line_.SetEcho(options.echo);
    options_ = options;
    byte_us_ = realtime ? REALTIME_BYTE_US : 0;
    gap_us_ = realtime ? REALTIME_GAP_US : 0;
    answer_delay_us_ = std::llround(options.answer_delay_ms * 1000);
    no_answer_us_ = realtime ? REALTIME_NO_ANSWER_US : 0;
    const int turn_ms = options.turn_ms >= 0 ? options.turn_ms
                        : realtime           ? REALTIME_TURN_MS
                                             : FAST_TURN_MS;
    turn_us_ = std::int64_t{turn_ms} * 1000;
    journal_.Clear(options.journal_limit);
    configs_ = scenario.devices;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        devices_.clear();
        for (const TSimDeviceConfig& config : scenario.devices) {
            devices_.emplace_back(config);
        }
        injected_.clear();
    }
    timeline_ = scenario.events;
    next_event_ = 0;
    timeline_base_ = 0;
    random_credit_ = 0;
    random_checked_ = 0;
    rng_.seed(options.seed);
    for (auto* counter : {&cycles_, &turns_, &polls_, &frames_, &received_}) {
        *counter = 0;
    }
    stop_ = false;
    start_ = std::chrono::steady_clock::now();
    thread_ = std::thread(&TBusSim::Run, this);
    return true;
}

void TBusSim::Stop() {
    if (!thread_.joinable()) {
        return;
    }
    stop_ = true;
    line_.Interrupt();
    thread_.join();
    line_.Close();
}

bool TBusSim::Inject(const TSimEvent& event, std::string& error) {
    if (!Running()) {
        error = "the simulator is not running";
        return false;
    }
    if (event.action == TSimAction::Goto) {
        error = "goto belongs in a scenario";
        return false;
    }
    if (!CheckEvent(event, configs_, error)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    injected_.push_back(event);
    return true;
}

std::vector<TSimDevice> TBusSim::Devices() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return devices_;
}

TSimStats TBusSim::Stats() const {
    TSimStats stats;
    stats.cycles = cycles_;
    stats.turns = turns_;
    stats.polls = polls_;
    stats.frames = frames_;
    stats.bytes = line_.BytesSent();
    stats.received = received_;
    return stats;
}

double TBusSim::Elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void TBusSim::Run() {
    std::size_t next_device = 0;
    std::size_t polls_since_turn = 0;
    bool turn_due = true;
    while (!stop_) {
        RunDueEvents();
        if (stop_) {
            break;
        }
        if (turn_due || devices_.empty()) {
            PcTurn();
            turn_due = false;
            polls_since_turn = 0;
        } else {
            if (next_device == 0) {
                ++cycles_;
            }
            ++polls_;
            Exchange(next_device, GET_STATE, {}, false);
            next_device = (next_device + 1) % devices_.size();
            ++polls_since_turn;
            const std::size_t every = options_.turn_every > 0
                                          ? static_cast<std::size_t>(options_.turn_every)
                                          : devices_.size();
            turn_due = polls_since_turn >= every;
        }
        line_.FlushQuietInput(QUIET_INPUT_MS);
        DispatchInput();
    }
}

void TBusSim::RunDueEvents() {
    std::vector<TSimEvent> injected;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        injected.swap(injected_);
    }
    for (const TSimEvent& event : injected) {
        Apply(event);
    }
    while (next_event_ < timeline_.size() && !stop_ &&
           timeline_[next_event_].at <= Elapsed() - timeline_base_) {
        Apply(timeline_[next_event_++]);
    }
    if (options_.rate > 0) {
        const double from = options_.rate_after_s;
        const double until = options_.rate_for_s > 0 ? from + options_.rate_for_s : 1e300;
        const double now = std::min(Elapsed(), until);
        random_credit_ += options_.rate * std::max(0.0, now - std::max(random_checked_, from));
        random_checked_ = std::max(random_checked_, now);
        for (; random_credit_ >= 1 && !stop_; random_credit_ -= 1) {
            Apply(RandomChange(rng_, configs_));
        }
    }
}

std::size_t TBusSim::IndexOfKey(int key) const {
    const auto it = std::find_if(configs_.begin(), configs_.end(),
                                 [key](const TSimDeviceConfig& d) { return d.key == key; });
    return static_cast<std::size_t>(it - configs_.begin());
}

TSimDevice* TBusSim::FindByKey(int key) {
    const std::size_t i = IndexOfKey(key);
    return i < devices_.size() ? &devices_[i] : nullptr;
}

void TBusSim::Apply(const TSimEvent& event) {
    switch (event.action) {
    case TSimAction::SetAddress:
        Exchange(IndexOfKey(event.device), SET_ADR, {static_cast<std::uint8_t>(event.value)}, true);
        return;
    case TSimAction::SetName: {
        TBytes name(simlimits::NAME_CHARS + 1, 0);
        Utf8ToCp1251(event.text, reinterpret_cast<char*>(name.data()), simlimits::NAME_CHARS);
        Exchange(IndexOfKey(event.device), SET_NAME, name, true);
        return;
    }
    case TSimAction::SyncTime: {
        const auto now = static_cast<std::uint32_t>(std::time(nullptr));
        Exchange(IndexOfKey(event.device), REMOTE_SYNCHRO_TIME,
                 Le32(event.value != 0 ? event.value : now), true);
        return;
    }
    case TSimAction::Noise: {
        TBytes noise(event.value);
        std::uniform_int_distribution<int> byte(0, 255);
        for (std::uint8_t& b : noise) {
            b = static_cast<std::uint8_t>(byte(rng_));
        }
        TSimJournalEntry entry;
        entry.kind = TSimEntryKind::Line;
        entry.text = std::to_string(noise.size()) + " bytes of noise";
        entry.bytes = noise;
        AddEntry(std::move(entry));
        line_.Transmit(noise);
        return;
    }
    case TSimAction::Burst:
        Burst();
        return;
    case TSimAction::Goto:
        timeline_base_ = Elapsed() - event.value / 1000.0;
        next_event_ = static_cast<std::size_t>(
            std::lower_bound(timeline_.begin(), timeline_.end(), event.value / 1000.0,
                             [](const TSimEvent& e, double at) { return e.at < at; }) -
            timeline_.begin());
        return;
    default:
        ApplyToDevice(event);
        return;
    }
}

void TBusSim::ApplyToDevice(const TSimEvent& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    TSimDevice* d = FindByKey(event.device);
    if (d == nullptr) {
        return;
    }
    const auto value = static_cast<std::uint8_t>(event.value);
    switch (event.action) {
    case TSimAction::Loop:
        d->SetLoop(event.index, value);
        break;
    case TSimAction::Sensor:
        d->SetSensor(event.index, value);
        break;
    case TSimAction::Relay:
        d->SetRelay(event.index,
                    simbits::RelayWith(d->Relays()[static_cast<std::size_t>(event.index)],
                                       event.field, event.value));
        break;
    case TSimAction::DeviceState:
        d->SetState(value);
        break;
    case TSimAction::Power:
        d->SetPower(value);
        break;
    case TSimAction::Battery:
        d->SetBattery(value);
        break;
    case TSimAction::Summary:
        d->SetSummary(value);
        break;
    case TSimAction::Silent:
    case TSimAction::Back:
        d->SetSilent(event.action == TSimAction::Silent);
        break;
    case TSimAction::Corrupt:
        d->CorruptNextAnswer(static_cast<TSimCorruption>(event.value));
        break;
    default:
        break;
    }
    JournalChanges(*d);
}

// Every loop takes another state, every relay switches and the summary state moves.
void TBusSim::Burst() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::uniform_int_distribution<std::size_t> pick(0, std::size(simbits::RANDOM_LOOP_STATES) - 1);
    for (TSimDevice& d : devices_) {
        for (std::size_t i = 0; i < d.Loops().size(); ++i) {
            const std::uint8_t old = d.Loops()[i];
            std::uint8_t code = old;
            while ((code & statecode::LOOP_CODE_MASK) == (old & statecode::LOOP_CODE_MASK)) {
                code = static_cast<std::uint8_t>((old & statecode::LOOP_TYPE_MASK) |
                                                 simbits::RANDOM_LOOP_STATES[pick(rng_)]);
            }
            d.SetLoop(static_cast<int>(i), code);
        }
        for (std::size_t k = 0; k < d.Relays().size(); ++k) {
            d.SetRelay(static_cast<int>(k), static_cast<std::uint16_t>(d.Relays()[k] ^ 1));
        }
        d.SetSummary(static_cast<std::uint8_t>(d.Summary() == 0 ? 4 : 0));
        JournalChanges(d);
    }
}

void TBusSim::PcTurn() {
    ++turns_;
    Send(simwire::Encode(Frame(false, FIND_DEVICE, PC_ADDRESS, 0, MASTER_ADDRESS, MASTER_ID, {})));
    line_.Idle(turn_us_, true);
}

// Answers what the workstation sent. Called before every frame the simulator puts on the line,
// so the answer to the workstation's request is the next answer on the bus.
void TBusSim::DispatchInput() {
    TSimDecoded input;
    while (!stop_ && line_.NextInput(input)) {
        ++received_;
        TSimJournalEntry entry;
        entry.kind = TSimEntryKind::Received;
        entry.bytes = input.bytes;
        if (input.kind != TSimDecoded::Frame) {
            entry.text = DecodedKindName(input.kind);
            AddEntry(std::move(entry));
            continue;
        }
        const TSimFrame& request = input.frame;
        entry.command = request.command;
        entry.device_id = request.dst_id;
        TSimFrame answer;
        TSimCorruption corruption = TSimCorruption::None;
        std::unique_lock<std::mutex> lock(mutex_);
        const auto it = std::find_if(devices_.begin(), devices_.end(),
                                     [&](const TSimDevice& d) { return d.Id() == request.dst_id; });
        if (it == devices_.end()) {
            entry.text = "no device with this id";
            AddEntry(std::move(entry));
            continue;
        }
        entry.device_key = it->Key();
        TBytes payload;
        entry.answered = it->Handle(request, payload, entry.text);
        if (entry.answered) {
            answer = Frame(true, request.command, request.src_address, request.src_id,
                           it->Address(), it->Id(), std::move(payload));
            corruption = it->TakeCorruption();
        }
        const bool answered = entry.answered;
        AddEntry(std::move(entry));
        JournalChanges(*it);
        const int key = it->Key();
        lock.unlock();
        if (answered) {
            // The pseudo-terminal hands the request over at once; on the wire its last byte
            // leaves after the request's own time.
            line_.Idle(static_cast<std::int64_t>(input.bytes.size()) * byte_us_ + answer_delay_us_);
            SendAnswer(answer, corruption, key);
        }
    }
}

void TBusSim::Exchange(std::size_t device, std::uint8_t command, const TBytes& payload,
                       bool journal) {
    if (device >= devices_.size()) {
        return;
    }
    DispatchInput();
    TSimFrame request;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const TSimDevice& d = devices_[device];
        request = Frame(false, command, d.Address(), d.Id(), MASTER_ADDRESS, MASTER_ID, payload);
    }
    Send(simwire::Encode(request));
    line_.Idle(gap_us_);
    DispatchInput();
    std::unique_lock<std::mutex> lock(mutex_);
    TSimDevice& d = devices_[device];
    TBytes answer_payload;
    std::string reason;
    const bool answered = d.Handle(request, answer_payload, reason);
    const TSimCorruption corruption = answered ? d.TakeCorruption() : TSimCorruption::None;
    if (journal) {
        TSimJournalEntry entry;
        entry.kind = TSimEntryKind::Exchange;
        entry.device_key = d.Key();
        entry.device_id = d.Id();
        entry.command = command;
        entry.answered = answered;
        entry.text = std::move(reason);
        entry.bytes = simwire::Serialize(request);
        AddEntry(std::move(entry));
    }
    JournalChanges(d);
    const TSimFrame answer = Frame(true, command, MASTER_ADDRESS, MASTER_ID, d.Address(), d.Id(),
                                   std::move(answer_payload));
    const int key = d.Key();
    lock.unlock();
    if (answered) {
        SendAnswer(answer, corruption, key);
    } else {
        line_.Idle(no_answer_us_);
    }
}

void TBusSim::SendAnswer(const TSimFrame& answer, TSimCorruption corruption, int key) {
    const TBytes encoded = simwire::Encode(answer, corruption);
    if (corruption != TSimCorruption::None) {
        TSimJournalEntry entry;
        entry.kind = TSimEntryKind::Line;
        entry.device_key = key;
        entry.device_id = answer.src_id;
        entry.command = answer.command;
        entry.answered = true;
        entry.text = std::string("sent with ") + CorruptionName(corruption);
        entry.bytes = encoded;
        AddEntry(std::move(entry));
    }
    Send(encoded);
}

void TBusSim::Send(const TBytes& encoded) {
    ++frames_;
    line_.Transmit(encoded);
}

void TBusSim::JournalChanges(TSimDevice& device) {
    for (TSimChange& change : device.TakeChanges()) {
        TSimJournalEntry entry;
        entry.kind = TSimEntryKind::Change;
        entry.device_key = device.Key();
        entry.device_id = device.Id();
        entry.text = change.text;
        entry.change = std::move(change);
        AddEntry(std::move(entry));
    }
}

void TBusSim::AddEntry(TSimJournalEntry entry) {
    journal_.Add(std::move(entry), Elapsed());
}

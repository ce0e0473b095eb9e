#include "buslink/kordeya32.h"
#include "common/settings.h"
#include "database/sqlite.h"
#include "device/device.h"
#include "device/device_views.h"
#include "log/log.h"
#include "records/audit.h"

#include <chrono>
#include <filesystem>
#include <system_error>
#include <thread>

namespace {

constexpr int RELEASE_PROBES = 50;
constexpr auto RELEASE_STEP = std::chrono::milliseconds(50);

} // namespace

void TDevice::SetService(bool start) {
    std::lock_guard<std::mutex> guard(service_lock_);
    TLog::Addf(log_, LOG_TYPE_DEBUG, "%s, %d", "TDevice::SetService", start ? 1 : 0);
    const bool was_running = running_;
    if (start) {
        StartService();
        if (!was_running) {
            AuditService(true, running_ ? audit::DONE : audit::FAILED);
        }
    } else {
        if (was_running) {
            AuditService(false, audit::DONE);
        }
        StopService();
    }
    views_.StatusBarUpdate();
}

void TDevice::SetAudit(TAudit* audit) {
    audit_ = audit;
    tracker_.SetAudit(audit);
}

void TDevice::AuditService(bool start, const char* outcome) {
    if (audit_ == nullptr) {
        return;
    }
    // A start names what it took from the settings, a stop what the service ran with.
    const TStartSettings taken = start && !running_ ? ReadStartSettings() : opened_with_;
    audit_->Add(start ? audit::SERVICE_START : audit::SERVICE_STOP,
                fmt::format("COM{}", taken.com_num), taken.db_file, outcome);
}

void TDevice::StartService() {
    if (running_) {
        return;
    }
    TLog::Add(log_, "Запуск сервиса...", LOG_TYPE_INFO);
    if (!core_thread_.joinable()) {
        TLog::Add(log_, "Инициализация процесса", LOG_TYPE_INFO);
        try {
            core_thread_ = std::thread(&TDevice::DeviceThreadCoreFunction, this);
        } catch (const std::system_error& e) {
            TLog::Add(log_, GetLastErrorText(e.code().value()), LOG_TYPE_FATAL);
            return;
        }
    }
    if (!port_.IsOpen()) {
        TLog::Add(log_, "Инициализация COM порта", LOG_TYPE_INFO);
        const TStartSettings start = ReadStartSettings();
        if (start.com_num <= 0) {
            TLog::Add(log_, "COM порт не выбран", LOG_TYPE_ERROR);
            return;
        }
        opened_with_ = start;
        port_was_open_ = false;
        port_error_ = -1;
        // A port that is absent or busy now is waited for: the service runs and the bus thread
        // opens it at each read's time, as it does with a port lost during a run. Said once.
        port_failed_ = !OpenPort();
        if (port_failed_) {
            const auto com = static_cast<std::uint8_t>(start.com_num);
            TLog::Addf(log_, LOG_TYPE_ERROR,
                       "Ошибка открытия COM порта COM%d (%s): %s, %s; порт будет открыт, как "
                       "только станет доступен",
                       start.com_num, port_.PortPathText(com),
                       TComp32::StateText(TComp32::StateOfError(port_error_)),
                       GetLastErrorText(port_error_));
        }
    }
    if (!sqlite_.IsActive()) {
        TLog::Add(log_, "Инициализация SQLite", LOG_TYPE_INFO);
        const std::string file = settings_.GetDBFile();
        std::error_code ec;
        if (!file.empty() && std::filesystem::exists(file, ec)) {
            TLog::Add(log_, "SQLite файл: " + file, LOG_TYPE_INFO);
        } else {
            views_.FileNew();
        }
        const std::string chosen = settings_.GetDBFile();
        opened_with_.db_file = chosen;
        if (!sqlite_.Init(chosen)) {
            // The bus is listened to all the same: alarms sound, and a change that could not
            // be recorded is met again at the next answer, once the file can take it.
            db_waiting_ = true;
            db_retry_at_ms_ = TComp32::GetMsTime() + static_cast<std::uint64_t>(db_retry_ms_);
            TLog::Addf(log_, LOG_TYPE_ERROR, "%s: SQLite файл %s не открыт, попытка каждые %g с",
                       NOT_STORED_TEXT, chosen, db_retry_ms_ / 1000.0);
        }
    }
    if (!db_waiting_) {
        StoreDevices();
    }
    TLog::Add(log_, "Запуск ядра Кордея-ТЛ", LOG_TYPE_INFO);
    line_watch_restart_ = true;
    RunCoreThread(true);
    if (!db_waiting_) {
        views_.RecordListSetTimer(true);
    }
    views_.ListViewUpdate();
    views_.TreeViewUpdate();
    running_ = true;
    TLog::Add(log_, "...OK", LOG_TYPE_INFO);
}

void TDevice::StoreDevices() {
    // The table outlives a change of the database file, and a record shows only joined with its
    // device's row: the file in use gets each device before the bus thread can record an event
    // of it. A row it has is kept unless the device itself told us its data since. A device
    // that cannot be stored is logged by the database and tried again at the next start: the
    // bus is listened to all the same, and its records are kept.
    const int count = GetCount();
    TLog::Addf(log_, LOG_TYPE_DEBUG, "%s, %d", "TDevice::StoreDevices", count);
    for (int i = 0; i < count; ++i) {
        const TDeviceEntry& entry = devices_[i];
        const TDeviceRecord device = entry.record.Get();
        if (sqlite_.InsertDevice(device) && entry.whois_read) {
            sqlite_.UpdateDevice(device);
        }
    }
}

void TDevice::RetryDatabase(std::uint64_t now_ms) {
    if (!db_waiting_.load(std::memory_order_acquire) || now_ms < db_retry_at_ms_) {
        return;
    }
    db_retry_at_ms_ = now_ms + static_cast<std::uint64_t>(db_retry_ms_);
    if (!sqlite_.Init(opened_with_.db_file, true)) {
        return;
    }
    // As at a start, and before this thread can record an event of them.
    StoreDevices();
    db_waiting_ = false;
    if (audit_ != nullptr) {
        audit_->Flush();
    }
    TLog::Addf(log_, LOG_TYPE_INFO, "SQLite файл %s открыт, события сохраняются",
               opened_with_.db_file);
    views_.RecordListSetTimer(true);
    views_.ListViewUpdate();
    views_.TreeViewUpdate();
    views_.StatusBarUpdate();
}

void TDevice::StopService() {
    if (!running_) {
        return;
    }
    TLog::Add(log_, "Остановка сервиса...", LOG_TYPE_INFO);
    if (core_thread_.joinable()) {
        TLog::Add(log_, "Остановка ядра Кордея-ТЛ", LOG_TYPE_INFO);
        RunCoreThread(false);
    }
    if (sqlite_.IsActive()) {
        TLog::Add(log_, "Остановка SQLite", LOG_TYPE_INFO);
        sqlite_.Close();
    }
    if (port_.IsOpen()) {
        TLog::Add(log_, "Остановка COM порта", LOG_TYPE_INFO);
        // The port that was held, whatever the settings name by now.
        const auto port = static_cast<std::uint8_t>(port_.HeldPort());
        port_.Close();
        bool released = port_.Probe(port);
        for (int i = 0; i < RELEASE_PROBES && !released; ++i) {
            std::this_thread::sleep_for(RELEASE_STEP);
            released = port_.Probe(port);
        }
        if (!released) {
            TLog::Add(log_, "Ошибка освобождения COM порта", LOG_TYPE_ERROR);
        }
    }
    port_failed_ = false;
    {
        std::lock_guard<std::mutex> guard(port_status_lock_);
        port_status_ = TPortStatus{};
    }
    views_.RecordListSetTimer(false);
    line_silent_ = false;
    db_waiting_ = false;
    running_ = false;
    TLog::Add(log_, "...остановлен", LOG_TYPE_INFO);
}

bool TDevice::OpenPort() {
    const TStartSettings& start = opened_with_;
    const auto com = static_cast<std::uint8_t>(start.com_num);
    port_.SetOptions(start.ctrl_dtr, start.ctrl_rts, start.ctrl_inv, start.ctrl_rs485);
    if (port_.Open(com)) {
        TLog::Addf(log_, LOG_TYPE_INFO, "%s: COM%d (%s)",
                   port_was_open_ ? "COM порт снова доступен" : "COM порт открыт", start.com_num,
                   port_.PortPathText(com));
        if (!port_was_open_) {
            ReportKernelMode();
        }
        port_was_open_ = true;
        port_error_ = 0;
        SetPortStatus(true, 0);
        return true;
    }
    // The views follow why it does not open; the log has said it once.
    const int error = port_.LastError();
    if (error != port_error_) {
        port_error_ = error;
        SetPortStatus(false, error);
    }
    return false;
}

void TDevice::ReportKernelMode() {
    const int com = opened_with_.com_num;
    switch (port_.KernelMode()) {
    case TRs485::TKernelMode::Off:
        break;
    case TRs485::TKernelMode::On: {
        const TKernelRs485& k = port_.KernelConfig();
        TLog::Addf(log_, LOG_TYPE_INFO,
                   "COM%d: линию переключает драйвер порта (RS-485 ядра), RTS при передаче: %s, "
                   "задержки до и после передачи: %u и %u мс",
                   com, k.rts_on_send ? "вкл." : "выкл.", k.delay_before_ms, k.delay_after_ms);
        break;
    }
    case TRs485::TKernelMode::Refused: {
        std::string fallback = "направление линии не переключается";
        if (port_.CtrlDtr() || port_.CtrlRts()) {
            fallback = std::string("линию переключает программа (") +
                       (port_.CtrlDtr() && port_.CtrlRts() ? "DTR и RTS"
                        : port_.CtrlDtr()                  ? "DTR"
                                                           : "RTS") +
                       ")";
        }
        TLog::Addf(log_, LOG_TYPE_ERROR,
                   "COM%d: драйвер порта не поддерживает RS-485 ядра (TIOCSRS485): %s; %s", com,
                   GetLastErrorText(port_.KernelError()), fallback);
        break;
    }
    }
}

void TDevice::SetPortStatus(bool open, int error) {
    TPortStatus status;
    status.port = opened_with_.com_num;
    status.open = open;
    status.path = port_.PortPathText(static_cast<std::uint8_t>(status.port));
    status.problem = open ? std::string() : TComp32::StateText(TComp32::StateOfError(error));
    status.kernel = open ? port_.KernelMode() : TRs485::TKernelMode::Off;
    {
        std::lock_guard<std::mutex> guard(port_status_lock_);
        port_status_ = std::move(status);
    }
    views_.StatusBarUpdate();
}

TDevice::TPortStatus TDevice::GetPortStatus() const {
    std::lock_guard<std::mutex> guard(port_status_lock_);
    return port_status_;
}

std::string TDevice::GetPortProblemText() const {
    const TPortStatus status = GetPortStatus();
    if (status.port == 0 || status.open) {
        return {};
    }
    return "Порт COM" + std::to_string(status.port) + " не открыт: " + status.problem;
}

std::string TDevice::GetPortText() const {
    const TPortStatus status = GetPortStatus();
    if (status.port == 0) {
        return {};
    }
    const std::string port = "COM" + std::to_string(status.port);
    switch (status.kernel) {
    case TRs485::TKernelMode::On:
        return port + " RS-485";
    case TRs485::TKernelMode::Refused:
        return port + " без RS-485";
    case TRs485::TKernelMode::Off:
        break;
    }
    return port;
}

TDevice::TStartSettings TDevice::ReadStartSettings() const {
    TStartSettings start;
    start.com_num = settings_.GetComNum();
    start.ctrl_dtr = settings_.GetCtrlDtr();
    start.ctrl_rts = settings_.GetCtrlRts();
    start.ctrl_inv = settings_.GetCtrlInv();
    start.ctrl_rs485 = settings_.GetCtrlRs485();
    start.db_file = settings_.GetDBFile();
    return start;
}

bool TDevice::StartSettingsChanged() const {
    std::lock_guard<std::mutex> guard(service_lock_);
    return running_ && ReadStartSettings() != opened_with_;
}

bool TDevice::SetCommandTarget(const TDeviceRecord& target, int index) {
    std::lock_guard<std::mutex> guard(command_lock_);
    if (remote_command.pending.load(std::memory_order_acquire) || IsCommandAwaited()) {
        return false;
    }
    remote_command.device_id = target.device_id;
    remote_command.address = target.address;
    remote_command.index = index;
    return true;
}

void TDevice::SetRemoteCommand(std::uint8_t command, std::uint8_t length, std::uint8_t value) {
    std::lock_guard<std::mutex> guard(command_lock_);
    command_user_.clear();
    QueueCommand(command, length, value);
}

bool TDevice::QueueRemoteCommand(const TDeviceRecord& target, int index, std::uint8_t command,
                                 std::uint8_t length, std::uint8_t value, const std::string& user) {
    std::lock_guard<std::mutex> guard(command_lock_);
    if (remote_command.pending.load(std::memory_order_acquire) || IsCommandAwaited()) {
        return false;
    }
    command_user_ = user;
    remote_command.device_id = target.device_id;
    remote_command.address = target.address;
    remote_command.index = index;
    QueueCommand(command, length, value);
    return true;
}

void TDevice::QueueCommand(std::uint8_t command, std::uint8_t length, std::uint8_t value) {
    // The bus cycle reads the slot only once it sees `pending`: fill everything first.
    const auto index = static_cast<std::uint16_t>(remote_command.index & 0xFFFF);
    remote_command.command = command;
    remote_command.length = length;
    remote_command.value = value;
    remote_command.payload[0] = static_cast<std::uint8_t>(index & 0xFF);
    remote_command.payload[1] = static_cast<std::uint8_t>(index >> 8);
    remote_command.payload[2] = value;
    remote_command.pending.store(true, std::memory_order_release);
}

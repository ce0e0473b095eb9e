#include "buslink/kordeya32.h"
#include "database/sqlite.h"
#include "device/device.h"
#include "device/device_views.h"
#include "log/log.h"
#include "ui/settings/settings.h"

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
    if (start) {
        StartService();
    } else {
        StopService();
    }
    views_.StatusBarUpdate();
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
        port_.SetOptions(start.ctrl_dtr, start.ctrl_rts, start.ctrl_inv);
        if (!port_.Open(static_cast<std::uint8_t>(start.com_num))) {
            TLog::Add(log_, GetLastErrorText(port_.LastError()), LOG_TYPE_ERROR);
            return;
        }
        port_failed_ = false;
        opened_with_ = start;
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
        port_.Close();
        const auto port = static_cast<std::uint8_t>(settings_.GetComNum());
        bool released = port_.Probe(port);
        for (int i = 0; i < RELEASE_PROBES && !released; ++i) {
            std::this_thread::sleep_for(RELEASE_STEP);
            released = port_.Probe(port);
        }
        if (!released) {
            TLog::Add(log_, "Ошибка освобождения COM порта", LOG_TYPE_ERROR);
        }
    }
    views_.RecordListSetTimer(false);
    line_silent_ = false;
    db_waiting_ = false;
    running_ = false;
    TLog::Add(log_, "...остановлен", LOG_TYPE_INFO);
}

TDevice::TStartSettings TDevice::ReadStartSettings() const {
    TStartSettings start;
    start.com_num = settings_.GetComNum();
    start.ctrl_dtr = settings_.GetCtrlDtr();
    start.ctrl_rts = settings_.GetCtrlRts();
    start.ctrl_inv = settings_.GetCtrlInv();
    start.db_file = settings_.GetDBFile();
    return start;
}

bool TDevice::StartSettingsChanged() const {
    std::lock_guard<std::mutex> guard(service_lock_);
    return running_ && ReadStartSettings() != opened_with_;
}

void TDevice::SetRemoteCommand(std::uint8_t command, std::uint8_t length, std::uint8_t value) {
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

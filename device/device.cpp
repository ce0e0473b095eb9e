#include "device/device.h"

#include "database/record_types.h"
#include "database/sqlite.h"
#include "device/device_views.h"
#include "log/log.h"
#include "records/record.h"

#include <algorithm>

TDevice::TDevice(TLog* log, TRecord& record, TSQLite& sqlite, TDeviceViews& views, TKordeya32& port,
                 const TSettings& settings, int db_retry_ms)
    : log_(log), record_(record), sqlite_(sqlite), views_(views), port_(port), settings_(settings),
      db_retry_ms_(db_retry_ms), devices_(std::make_unique<TDeviceEntry[]>(MAX_DEVICES)) {
    TLog::Add(log_, "TDevice::TDevice", LOG_TYPE_DEBUG);
    const TDeviceRecord empty{};
    for (int i = 0; i < MAX_DEVICES; ++i) {
        devices_[i].Reset(empty);
    }
}

TDevice::~TDevice() {
    TLog::Addf(log_, LOG_TYPE_DEBUG, "%s, ThreadsCount: %d, ThreadsMaxCount: %d",
               "TDevice::~TDevice", 0, 0);
    SetService(false);
    EndCoreThread();
}

TDeviceEntry* TDevice::GetItem(int i) {
    return i >= 0 && i < GetCount() ? &devices_[i] : nullptr;
}

const TDeviceEntry* TDevice::GetItem(int i) const {
    return i >= 0 && i < GetCount() ? &devices_[i] : nullptr;
}

int TDevice::FindDevice(std::uint32_t device_id) {
    const int count = GetCount();
    for (int i = 0; i < count; ++i) {
        if (devices_[i].record.Get().device_id == device_id) {
            return i;
        }
    }
    TDeviceRecord stored{};
    bool found = false;
    if (!sqlite_.SelectDevice(device_id, stored, &found) || !found) {
        return -1;
    }
    return AddDevice(stored);
}

int TDevice::AddDevice(const TDeviceRecord& device) {
    const int i = GetCount();
    if (i >= MAX_DEVICES) {
        ReportTableFull(device.device_id);
        return -1;
    }
    devices_[i].Reset(device);
    count_.store(i + 1, std::memory_order_release);
    return i;
}

void TDevice::ReportTableFull(std::uint32_t device_id) {
    if (std::find(refused_, refused_ + refused_count_, device_id) != refused_ + refused_count_) {
        return;
    }
    if (refused_count_ < MAX_DEVICES) {
        refused_[refused_count_++] = device_id;
    }
    TLog::Addf(log_, LOG_TYPE_ERROR,
               "Таблица устройств заполнена (%d): ответы устройства %08X не принимаются",
               MAX_DEVICES, device_id);
}

bool TDevice::SetOnline(TDeviceEntry& entry, bool& recorded) {
    recorded = false;
    if (!entry.online) {
        TStyleCell scratch;
        if (!record_.AddRecord(entry.record.Get().device_id, RECOVERY_DEVICE, scratch, 0)) {
            return false;
        }
        recorded = true;
    }
    entry.online = true;
    entry.silence_ms = 0;
    return true;
}

void TDevice::CheckOnline(int elapsed_ms) {
    bool changed = false;
    const int count = GetCount();
    for (int i = 0; i < count; ++i) {
        TDeviceEntry& e = devices_[i];
        e.silence_ms = e.silence_ms + static_cast<std::int64_t>(elapsed_ms);
        if (e.online && e.silence_ms > LOSS_TIME_MS) {
            TStyleCell scratch;
            if (!record_.AddRecord(e.record.Get().device_id, LOSS_DEVICE, scratch, 0)) {
                return;
            }
            e.online = false;
            changed = true;
            NoteChange(e);
        }
    }
    if (changed) {
        views_.StatusBarUpdate();
        views_.TreeViewUpdate();
        views_.ListViewUpdate();
    }
}

int TDevice::GetOnlineCount() const {
    int online = 0;
    const int count = GetCount();
    for (int i = 0; i < count; ++i) {
        online += devices_[i].online ? 1 : 0;
    }
    return online;
}

std::string TDevice::GetMaxStateText(TMessageStyle* style) const {
    // Compared as signed bytes: states of 128 and more never win.
    std::int8_t highest = 0;
    const int count = GetCount();
    for (int i = 0; i < count; ++i) {
        highest = std::max(highest, static_cast<std::int8_t>(devices_[i].max_state));
    }
    TMessageStyle drawn;
    std::string text;
    record_.GetRecordMessage(MAX_STATE, highest, true, drawn, text);
    if (style != nullptr) {
        *style = drawn;
    }
    return text;
}

#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "common/settings.h"

// Settings a test sets directly; safe to change while other threads read them.
class FakeSettings : public TSettings {
public:
    std::string GetDBFile() const override {
        std::lock_guard lock(db_file_lock_);
        return db_file_;
    }
    void SetDBFile(std::string path) {
        std::lock_guard lock(db_file_lock_);
        db_file_ = std::move(path);
    }
    int GetShowLines() const override { return show_lines; }
    int GetComNum() const override { return com_num; }
    bool GetCtrlDtr() const override { return ctrl_dtr; }
    bool GetCtrlRts() const override { return ctrl_rts; }
    bool GetCtrlInv() const override { return ctrl_inv; }
    bool GetCtrlRs485() const override { return ctrl_rs485; }
    bool GetIsSound() const override { return is_sound; }
    bool GetSoundUntilAck() const override { return sound_until_ack; }
    bool GetIsAutoRun() const override { return is_auto_run; }
    int GetRecordsMask() const override { return records_mask; }

    std::atomic<int> show_lines{SHOW_LINES_DEFAULT};
    std::atomic<int> com_num{0};
    std::atomic<bool> ctrl_dtr{false};
    std::atomic<bool> ctrl_rts{false};
    std::atomic<bool> ctrl_inv{false};
    std::atomic<bool> ctrl_rs485{false};
    std::atomic<bool> is_sound{true};
    std::atomic<bool> sound_until_ack{false};
    std::atomic<bool> is_auto_run{true};
    std::atomic<int> records_mask{RECORDS_MASK_ALL};

private:
    mutable std::mutex db_file_lock_;
    std::string db_file_;
};

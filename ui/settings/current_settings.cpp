#include "ui/settings/current_settings.h"

#include <algorithm>

#include "common/profile_file.h"
#include "common/program_path.h"

std::string TCurrentSettings::DefaultDBFile() {
    return ProgramDir() + "/default.db";
}

std::string TCurrentSettings::GetDBFile() const {
    std::lock_guard lock(lock_);
    return db_file_;
}

int TCurrentSettings::GetShowLines() const {
    std::lock_guard lock(lock_);
    std::int32_t value = SHOW_LINES_KEY.fallback;
    return ParseDecimal(show_lines_, value) ? value : SHOW_LINES_KEY.fallback;
}

int TCurrentSettings::GetComNum() const {
    std::lock_guard lock(lock_);
    return com_num_;
}

bool TCurrentSettings::GetCtrlDtr() const {
    std::lock_guard lock(lock_);
    return ctrl_dtr_;
}

bool TCurrentSettings::GetCtrlRts() const {
    std::lock_guard lock(lock_);
    return ctrl_rts_;
}

bool TCurrentSettings::GetCtrlInv() const {
    std::lock_guard lock(lock_);
    return ctrl_inv_;
}

bool TCurrentSettings::GetCtrlRs485() const {
    std::lock_guard lock(lock_);
    return ctrl_rs485_;
}

bool TCurrentSettings::GetIsSound() const {
    std::lock_guard lock(lock_);
    return is_sound_;
}

bool TCurrentSettings::GetSoundUntilAck() const {
    std::lock_guard lock(lock_);
    return sound_until_ack_;
}

bool TCurrentSettings::GetIsAutoRun() const {
    std::lock_guard lock(lock_);
    return is_auto_run_;
}

int TCurrentSettings::GetRecordsMask() const {
    std::lock_guard lock(lock_);
    return records_mask_;
}

void TCurrentSettings::SetDBFile(std::string_view path) {
    std::lock_guard lock(lock_);
    db_file_ = path;
}

void TCurrentSettings::SetShowLines(int value) {
    std::lock_guard lock(lock_);
    show_lines_ = std::to_string(Clamped(SHOW_LINES_KEY, value));
}

void TCurrentSettings::SetShowLinesText(std::string_view text) {
    std::lock_guard lock(lock_);
    show_lines_ = text;
}

std::string TCurrentSettings::GetShowLinesText() const {
    std::lock_guard lock(lock_);
    return show_lines_;
}

void TCurrentSettings::SetComPorts(const std::vector<int>& ports) {
    std::lock_guard lock(lock_);
    com_ports_.clear();
    std::copy_if(ports.begin(), ports.end(), std::back_inserter(com_ports_),
                 [](int port) { return InRange(COM_NUM_KEY, port); });
}

std::vector<int> TCurrentSettings::GetComPorts() const {
    std::lock_guard lock(lock_);
    return com_ports_;
}

void TCurrentSettings::SetComNum(int number) {
    std::lock_guard lock(lock_);
    com_num_ = InRange(COM_NUM_KEY, number) ? number : 0;
}

void TCurrentSettings::SetCtrlDtr(bool on) {
    std::lock_guard lock(lock_);
    ctrl_dtr_ = on;
}

void TCurrentSettings::SetCtrlRts(bool on) {
    std::lock_guard lock(lock_);
    ctrl_rts_ = on;
}

void TCurrentSettings::SetCtrlInv(bool on) {
    std::lock_guard lock(lock_);
    ctrl_inv_ = on;
}

void TCurrentSettings::SetCtrlRs485(bool on) {
    std::lock_guard lock(lock_);
    ctrl_rs485_ = on;
}

void TCurrentSettings::SetIsSound(bool on) {
    std::lock_guard lock(lock_);
    is_sound_ = on;
}

void TCurrentSettings::SetSoundUntilAck(bool on) {
    std::lock_guard lock(lock_);
    sound_until_ack_ = on;
}

void TCurrentSettings::SetIsAutoRun(bool on) {
    std::lock_guard lock(lock_);
    is_auto_run_ = on;
}

void TCurrentSettings::SetRecordsMask(int mask) {
    std::lock_guard lock(lock_);
    records_mask_ = mask;
}

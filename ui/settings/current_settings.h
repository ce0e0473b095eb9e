#pragma once

// The current service and record settings: one holder per setting, written on the GUI thread
// (the settings file's load, the settings dialog) and read by any thread at the moment of use.
// The settings dialog keeps its controls and this object in step.

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/settings.h"
#include "ui/settings/setup_options.h"

class TCurrentSettings final : public TSettings {
public:
    // As the dialog is built, before the settings file is read: empty path and records-per-page
    // text, no port listed or selected, every box clear, the records mask's default.
    TCurrentSettings() = default;

    // "<program folder>/default.db": the database file when the settings file names none.
    static std::string DefaultDBFile();

    std::string GetDBFile() const override;
    int GetShowLines() const override;
    int GetComNum() const override;
    bool GetCtrlDtr() const override;
    bool GetCtrlRts() const override;
    bool GetCtrlInv() const override;
    bool GetCtrlRs485() const override;
    bool GetIsSound() const override;
    bool GetSoundUntilAck() const override;
    bool GetIsAutoRun() const override;
    int GetRecordsMask() const override;

    void SetDBFile(std::string_view path);
    // Clamps to the ShowLines range and holds the value as decimal text.
    void SetShowLines(int value);
    // The records-per-page text as the operator typed it.
    void SetShowLinesText(std::string_view text);
    std::string GetShowLinesText() const;

    // The ports found by the last scan (numbers outside the ComNum range are left out). The
    // configured port stays what it is, whatever the scan found: a port absent or busy for a while
    // is waited for by the service, and the settings file keeps its number.
    void SetComPorts(const std::vector<int>& ports);
    std::vector<int> GetComPorts() const;
    // The configured port, in the ComNum range, listed or not; any other number means none (0).
    void SetComNum(int number);

    void SetCtrlDtr(bool on);
    void SetCtrlRts(bool on);
    void SetCtrlInv(bool on);
    void SetCtrlRs485(bool on);
    void SetIsSound(bool on);
    void SetSoundUntilAck(bool on);
    void SetIsAutoRun(bool on);
    void SetRecordsMask(int mask);

private:
    mutable std::mutex lock_;
    std::string db_file_;
    std::string show_lines_;
    std::vector<int> com_ports_;
    int com_num_ = 0; // 0: none selected
    bool ctrl_dtr_ = false;
    bool ctrl_rts_ = false;
    bool ctrl_inv_ = false;
    bool ctrl_rs485_ = false;
    bool is_sound_ = false;
    bool sound_until_ack_ = false;
    bool is_auto_run_ = false;
    int records_mask_ = RECORDS_MASK_KEY.fallback;
};

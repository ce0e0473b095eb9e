#pragma once

// The service and record settings as the core reads them: each read gives one setting's
// current value at the moment of use, from any thread. The window side implements it
// (TCurrentSettings); tests give the core a fake. The tenth setting, IsLogDebug, has one
// holder, the log's own flag (TLog::IsLogDebug).

#include <string>

// Records per page: the range the setting is kept in, and the value it has when none is given.
// The record list's row cache holds the largest page.
constexpr int SHOW_LINES_MIN = 10;
constexpr int SHOW_LINES_MAX = 300;
constexpr int SHOW_LINES_DEFAULT = 50;
// The records mask with every record type listed.
constexpr int RECORDS_MASK_ALL = 0x7FFFFFFF;

class TSettings {
public:
    virtual ~TSettings() = default;

    // Path of the record database file (UTF-8).
    virtual std::string GetDBFile() const = 0;
    // Records per page; SHOW_LINES_DEFAULT when the held text is not a number (not clamped by
    // the read).
    virtual int GetShowLines() const = 0;
    // The selected COM port number; 0 when none is selected.
    virtual int GetComNum() const = 0;
    virtual bool GetCtrlDtr() const = 0;
    virtual bool GetCtrlRts() const = 0;
    virtual bool GetCtrlInv() const = 0;
    // Let the UART driver switch the line direction (the kernel's RS-485 mode) where it can.
    virtual bool GetCtrlRs485() const = 0;
    virtual bool GetIsSound() const = 0;
    // A looped alarm sound goes on past its hold while an alarm of its level or above waits for
    // the operator's acknowledgement.
    virtual bool GetSoundUntilAck() const = 0;
    virtual bool GetIsAutoRun() const = 0;
    // Bit n set: records of type code n are listed and counted.
    virtual int GetRecordsMask() const = 0;
};

#pragma once

#include "database/device_record.h"

#include <atomic>
#include <cstdint>
#include <string>

class TAudit;
class TLog;

// Follows the operator's remote command from its sending to the device's acknowledgement. A
// command that no acknowledgement follows within ANSWER_TIMEOUT_MS is reported as failed (an
// Error line and an audit row), and the popup takes the next command again.
// The bus cycle thread calls Sent, Answered and Check; IsAwaiting is for any thread.
class TCommandTracker {
public:
    static constexpr std::uint64_t ANSWER_TIMEOUT_MS = 10000;

    explicit TCommandTracker(TLog* log) : log_(log) {}
    TCommandTracker(const TCommandTracker&) = delete;
    TCommandTracker& operator=(const TCommandTracker&) = delete;

    // The audit trail the commands go to (null: none); set while the bus thread waits.
    void SetAudit(TAudit* audit) { audit_ = audit; }

    // A command went out to element `index` of `device`; `user` is who its audit rows name
    // (empty: the operator). One still awaited can no longer be acknowledged and is reported
    // as failed first.
    void Sent(std::uint8_t command, std::uint8_t value, const TDeviceRecord& device, int index,
              std::uint64_t now_ms, const std::string& user = {});
    // A device acknowledged `command`; only the awaited command of that device counts.
    void Answered(std::uint8_t command, std::uint32_t device_id);
    // Reports the awaited command as failed once its time is up.
    void Check(std::uint64_t now_ms);
    bool IsAwaiting() const { return awaiting_.load(std::memory_order_acquire); }

    // "Включить ШС" for command 19 with value 1: the popup item's caption without its mark.
    static std::string CommandText(std::uint8_t command, std::uint8_t value);
    // "ШС 3" for index 2 of a loop command; empty for a command to the whole device.
    static std::string ElementText(std::uint8_t command, int index);

private:
    void Fail();

    TLog* log_;
    TAudit* audit_ = nullptr;
    std::atomic<bool> awaiting_{false};
    // The awaited command: the bus cycle thread's own.
    std::uint8_t command_ = 0;
    std::uint32_t device_id_ = 0;
    std::uint64_t sent_ms_ = 0;
    std::string command_text_;
    std::string target_text_;
    std::string user_;
};

#include "device/command_tracker.h"

#include "buslink/commands.h"
#include "device/device_tree.h"
#include "log/log.h"
#include "records/audit.h"

#include <fmt/format.h>

void TCommandTracker::Sent(std::uint8_t command, std::uint8_t value, const TDeviceRecord& device,
                           int index, std::uint64_t now_ms, const std::string& user) {
    if (IsAwaiting()) {
        Fail();
    }
    command_ = command;
    device_id_ = device.device_id;
    sent_ms_ = now_ms;
    user_ = user;
    command_text_ = CommandText(command, value);
    const std::string element = ElementText(command, index);
    target_text_ = DeviceTargetText(device);
    if (!element.empty()) {
        target_text_ += ", " + element;
    }
    awaiting_.store(true, std::memory_order_release);
    if (audit_ != nullptr) {
        audit_->Add(audit::COMMAND, target_text_, command_text_, audit::COMMAND_SENT, user_);
    }
}

void TCommandTracker::Answered(std::uint8_t command, std::uint32_t device_id) {
    if (!IsAwaiting() || command != command_ || device_id != device_id_) {
        return;
    }
    awaiting_.store(false, std::memory_order_release);
    if (audit_ != nullptr) {
        audit_->Add(audit::COMMAND, target_text_, command_text_, audit::COMMAND_CONFIRMED, user_);
    }
}

void TCommandTracker::Check(std::uint64_t now_ms) {
    if (IsAwaiting() && now_ms - sent_ms_ >= ANSWER_TIMEOUT_MS) {
        Fail();
    }
}

void TCommandTracker::Fail() {
    awaiting_.store(false, std::memory_order_release);
    TLog::Addf(log_, LOG_TYPE_ERROR, "Команда «%s» не подтверждена за %d с: %s", command_text_,
               static_cast<int>(ANSWER_TIMEOUT_MS / 1000), target_text_);
    if (audit_ != nullptr) {
        audit_->Add(audit::COMMAND, target_text_, command_text_, audit::COMMAND_NO_ANSWER, user_);
    }
}

std::string TCommandTracker::CommandText(std::uint8_t command, std::uint8_t value) {
    for (const TDevicePopupItem& item : DEVICE_POPUP_ITEMS) {
        // The resets carry no value: their one item stands for the command.
        if (item.command == command && (item.length < 3 || item.value == value)) {
            std::string_view caption = item.caption;
            for (const std::string_view mark : {"-- ", "+ "}) {
                if (caption.starts_with(mark)) {
                    caption.remove_prefix(mark.size());
                }
            }
            return std::string(caption);
        }
    }
    return fmt::format("{} ({})", CommandName(command), value);
}

std::string TCommandTracker::ElementText(std::uint8_t command, int index) {
    switch (command) {
    case REMOTE_RESET_LINE:
    case REMOTE_LINE_STATE:
        return fmt::format("ШС {}", index + 1);
    case REMOTE_RESET_SENSOR:
    case REMOTE_SENSOR_STATE:
        return fmt::format("АПИ {}", index + 1);
    case REMOTE_RELAY_STATE:
    case REMOTE_RELAY_CONTROL:
    case REMOTE_RELAY_MODE:
        return fmt::format("РЕЛЕ {}", index + 1);
    default:
        return {};
    }
}

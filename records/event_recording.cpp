#include "audio/sound.h"
#include "database/event_record.h"
#include "database/sqlite.h"
#include "records/record.h"
#include "records/style_cell.h"

#include <ctime>

int TRecord::SoundLevelFor(std::uint8_t type, std::int32_t value) const {
    const std::uint8_t code = RecordCode(value);
    switch (type) {
    case FIND_NEW_DEVICE:
        return SOUND_NEW_DEVICE;
    case RECOVERY_DEVICE:
        return SOUND_RECOVERY_DEVICE;
    case LOSS_DEVICE:
        return SOUND_LOSS_DEVICE;
    case MAX_STATE:
        // The summary scale: 3 is attention, only 4 and 5 are alarms.
        return code == 2                ? SOUND_FAILURE
               : code == 3              ? SOUND_ATTENTION
               : code == 4 || code == 5 ? SOUND_ALARM
                                        : -1;
    case DEVICE_STATE:
        return code == 2 ? SOUND_FAILURE : code == 3 ? SOUND_ALARM : -1;
    case DEVICE_POWER:
        return code == 0 ? SOUND_FAILURE : -1;
    case DEVICE_BATTERY:
        return code == 3 ? SOUND_ALERT : -1;
    case LINE_STATE:
    case SENSOR_STATE:
        // A second fire on a panel already in alarm changes no summary state: the loop's own
        // state must be heard.
        switch (GetAlarmClass(type, value)) {
        case TAlarmClass::Alarm:
            return SOUND_ALARM;
        case TAlarmClass::Attention:
            return SOUND_ATTENTION;
        case TAlarmClass::Fault:
            return SOUND_FAILURE;
        case TAlarmClass::Normal:
            break;
        }
        return -1;
    default:
        return -1;
    }
}

bool TRecord::AddRecord(std::uint32_t device_id, std::uint8_t type, TStyleCell& style,
                        std::int32_t value) {
    TEventRecord event;
    event.device_id = device_id;
    event.utime = static_cast<std::int32_t>(std::time(nullptr));
    event.type = static_cast<std::int8_t>(type);
    event.value = value;
    const bool stored = links_.sqlite != nullptr && links_.sqlite->InsertRecord(event);
    if (stored) {
        TMessageStyle message_style;
        std::string text;
        // A catalogue broken while the program runs costs the text and colours (the formatter
        // logs why), never the event: it is stored, counted and sounded as any other, and
        // reported as taken in so the caller does not store it again at the next answer.
        GetRecordMessage(type, value, true, message_style, text);
        // The caller's cell is drawn from by other threads: one store moves the whole style.
        style.Store(message_style);
        links_.sqlite->RecountRecordsMaskCount();
    }
    // An event the database cannot take yet (a full disk, a locked file) is retried at every
    // answer of the device, maybe for hours: its alarm must be heard meanwhile all the same.
    AskSound(SoundLevelFor(type, value));
    return stored;
}

void TRecord::AskSound(int level) const {
    if (level >= 0) {
        TSound::SetSound(links_.sound, static_cast<TSoundLevel>(level));
    }
}

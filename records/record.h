#pragma once

// The event-record component: the message catalogue that gives every record type its display
// name, message texts and display styles, and the formatter that makes a record's message.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/program_path.h"
#include "common/style.h"
#include "database/record_types.h"
#include "records/alarm_class.h"
#include "records/catalogue.h"

class TAppControl;
class TLog;
class TSQLite;
class TSound;
class TStyleCell;

// The collaborators of TRecord, filled in by the main window. Each may be null.
struct TRecordLinks {
    TLog* log = nullptr;
    TAppControl* app = nullptr;
    // The folder that holds the catalogue: the program's own.
    std::string catalogue_dir = ProgramDir();
    // Where events are stored, and who sounds them.
    TSQLite* sqlite = nullptr;
    TSound* sound = nullptr;
};

class TRecord {
public:
    static constexpr std::string_view CATALOGUE_FILE_NAME = "TevMessages.ini";

    // Loads and checks the catalogue: a missing file, a missing type section or a type without
    // a name is logged, shown in a message box, and the program is asked to end.
    explicit TRecord(TRecordLinks links);
    TRecord(const TRecord&) = delete;
    TRecord& operator=(const TRecord&) = delete;

    const std::string& GetCataloguePath() const { return catalogue_.GetPath(); }

    // The display name of a type code, as read at start; empty for a code outside 0..27 and
    // for the types after a section that failed to load.
    const std::string& GetTypeName(int type) const;

    // Makes the message of a record (forRecord: the record list's form) or of a tree node
    // (the device form, for the types that have one) and its style. True when a text was made
    // and the style it names was found; on false the reason is logged, the text is what was
    // made before the failure (often empty) and the style the default. Any thread may call it.
    bool GetRecordMessage(std::uint8_t type, std::int32_t value, bool forRecord,
                          TMessageStyle& style, std::string& text) const;

    // Records an event: stores it with the current time, makes its message into the caller's
    // style cell, renews the count of listed records and asks for the sound the event calls
    // for. False only when it was not stored: then only the sound is asked for; a message that
    // fails leaves the default style. Logs nothing of its own.
    bool AddRecord(std::uint32_t device_id, std::uint8_t type, TStyleCell& style,
                   std::int32_t value);

    // A style section of the catalogue by name ("Fault"); false (and logged) when missing.
    bool GetStyle(const std::string& name, TMessageStyle& style) const;

    // How grave the state a value's code byte stands for is, by the style the catalogue draws
    // its text in; Normal for a type without codes and for a code without a style of its own.
    TAlarmClass GetAlarmClass(std::uint8_t type, std::int32_t value) const;

    // Asks the player for the sound of an event that has no record of its own (a silent line).
    void AskSound(int level) const;

    // The sound level an event asks for, or -1 when it leaves the current sound alone.
    int SoundLevelFor(std::uint8_t type, std::int32_t value) const;

    // The text of a catalogue value "text;style": the trimmed part before the first semicolon.
    // styleName becomes the trimmed rest, and is left alone when there is no semicolon.
    static std::string SplitValue(std::string_view value, std::string& styleName);

private:
    void LoadCatalogue();
    void Fail(const std::string& text) const;
    bool ReadStyle(const TProfileFile& file, const std::string& name, TMessageStyle& style) const;
    void LogMissingSection(std::string_view section) const;

    TRecordLinks links_;
    TCatalogueFile catalogue_;
    std::array<std::string, RECORD_TYPE_COUNT> type_names_;
};

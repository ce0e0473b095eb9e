#include "support/device_fixture.h"

#include <cstring>
#include <sqlite3.h>

std::string RecordingViews::Take() {
    std::lock_guard<std::mutex> guard(lock_);
    std::string calls;
    calls.swap(calls_);
    return calls;
}

void RecordingViews::Note(char c) {
    std::lock_guard<std::mutex> guard(lock_);
    calls_.push_back(c);
}

DeviceFixture::DeviceFixture(const std::string& catalogue_dir, int busy_timeout_ms,
                             ISerialSys& serial)
    : db_path(dir.file("test.db")), port(dir.path(), serial) {
    settings.SetDBFile(db_path);
    log = std::make_unique<TLog>(&pane, nullptr, dir.file("test.log"));
    log->IsLogDebug = false;
    sqlite = std::make_unique<TSQLite>(log.get(), settings, busy_timeout_ms);
    sound = std::make_unique<TSound>(log.get(), &settings, &sound_output);
    TRecordLinks links;
    links.log = log.get();
    links.catalogue_dir = catalogue_dir;
    links.sqlite = sqlite.get();
    links.sound = sound.get();
    record = std::make_unique<TRecord>(links);
    sqlite->Init(db_path);
    device = std::make_unique<TDevice>(log.get(), *record, *sqlite, views, port, settings);
}

DeviceFixture::~DeviceFixture() {
    device.reset();
    sqlite->Close();
}

std::vector<StoredRecord> DeviceFixture::Records() const {
    std::vector<StoredRecord> out;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT device_id, type, value, utime FROM record ORDER BY id",
                               -1, &stmt, nullptr) == SQLITE_OK) {
            while (sqlite3_step(stmt) == SQLITE_ROW) {
                out.push_back({static_cast<std::uint32_t>(sqlite3_column_int64(stmt, 0)),
                               sqlite3_column_int(stmt, 1), sqlite3_column_int(stmt, 2),
                               sqlite3_column_int64(stmt, 3)});
            }
        }
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return out;
}

std::vector<StoredRecord> DeviceFixture::NewRecords() {
    const std::vector<StoredRecord> all = Records();
    std::vector<StoredRecord> fresh(all.begin() + static_cast<long>(std::min(seen_, all.size())),
                                    all.end());
    seen_ = all.size();
    return fresh;
}

std::vector<std::string> DeviceFixture::LogLines(std::uint8_t level) {
    log->Flush();
    std::vector<std::string> out;
    const std::string label = LogLabel(level);
    for (const auto& line : pane.lines) {
        if (line.text.find("  " + label + "  ") != std::string::npos) {
            out.push_back(line.text);
        }
    }
    return out;
}

std::vector<std::uint8_t> StatePayload(std::uint8_t flags, std::uint8_t max_state) {
    std::vector<std::uint8_t> p(15, 0);
    p[0] = flags;
    p[14] = max_state;
    return p;
}

std::vector<std::uint8_t> WhoisPayload(std::uint32_t device_id, std::uint8_t address,
                                       const char* const_name, const char* user_name, int lines,
                                       int sensors, int relays, int remote) {
    std::vector<std::uint8_t> p(54, 0);
    p[1] = address;
    for (int i = 0; i < 4; ++i) {
        p[2 + i] = static_cast<std::uint8_t>(device_id >> (8 * i));
    }
    std::memcpy(p.data() + 6, const_name, std::min<std::size_t>(std::strlen(const_name), 19));
    std::memcpy(p.data() + 25, user_name, std::min<std::size_t>(std::strlen(user_name), 19));
    const int counts[5] = {lines, sensors, relays, 0, remote};
    for (int i = 0; i < 5; ++i) {
        p[44 + 2 * i] = static_cast<std::uint8_t>(counts[i]);
        p[45 + 2 * i] = static_cast<std::uint8_t>(counts[i] >> 8);
    }
    return p;
}

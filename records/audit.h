#pragma once

#include "database/audit_row.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

class TLog;
class TSQLite;

// What the audit trail calls the operator's actions and their outcomes (the `action` and
// `outcome` columns of the table `audit`).
namespace audit {
inline constexpr const char* PROGRAM_START = "Запуск программы";
inline constexpr const char* PROGRAM_END = "Завершение программы";
inline constexpr const char* SERVICE_START = "Запуск сервиса";
inline constexpr const char* SERVICE_STOP = "Остановка сервиса";
inline constexpr const char* SOUND_OFF = "Отбой звука";
inline constexpr const char* SETTINGS_SAVED = "Сохранение настроек";
inline constexpr const char* DATABASE_SWITCHED = "Смена базы данных";
inline constexpr const char* COMMAND = "Команда";
inline constexpr const char* ACKNOWLEDGE = "Квитирование";
inline constexpr const char* EXPORT = "Экспорт";
inline constexpr const char* BACKUP = "Резервная копия";

inline constexpr const char* DONE = "Выполнено";
inline constexpr const char* FAILED = "Ошибка";
inline constexpr const char* CANCELLED = "Отменено";
inline constexpr const char* COMMAND_SENT = "Отправлена";
inline constexpr const char* COMMAND_CONFIRMED = "Подтверждена";
inline constexpr const char* COMMAND_NO_ANSWER = "Нет ответа";
} // namespace audit

// The operator's audit trail: every action the operator takes is appended to the table `audit`
// of the record database, never changed or removed. Rows made while the database is closed
// (the program's start, a service waiting for its file) wait in memory, at most MAX_WAITING of
// them, and are written in their order by the next row or Flush once it is open. A database
// that refuses a row is logged once until it takes one again; recording events goes on.
// Any thread may call any method; rows are written on the caller's thread.
class TAudit {
public:
    static constexpr std::size_t MAX_WAITING = 1000;

    // `log` may be null; `sqlite` outlives the object.
    TAudit(TLog* log, TSQLite& sqlite);
    TAudit(const TAudit&) = delete;
    TAudit& operator=(const TAudit&) = delete;

    // The operator's name from the settings; empty: the user the program runs as.
    void SetOperatorName(std::string name);
    std::string GetOperatorName() const;
    // Who the rows name now.
    std::string GetOperator() const;
    // The login name of the user the program runs as ("uid N" when it has none).
    static std::string GetSystemUser();

    // Appends one row with the current time and operator (or `user` when given: a client of
    // the MQTT gateway); texts are stored intact, whatever their length or characters. True
    // when it is stored; false when it waits or was lost.
    bool Add(std::string_view action, std::string_view target, std::string_view detail,
             std::string_view outcome, std::string_view user = {});
    // An alarm acknowledged by the operator: `target` names the item, `comment` is the
    // operator's own text (may be empty).
    bool Acknowledge(std::string_view target, std::string_view comment);
    // Writes the rows that waited for the database; true when none is left waiting.
    bool Flush();
    // Called on the writing thread after rows were stored, outside the audit's lock; set once
    // before any row is added.
    void SetOnStored(std::function<void()> on_stored) { on_stored_ = std::move(on_stored); }

private:
    // Under lock_; `stored` tells whether any row went in.
    bool WriteWaiting(bool& stored);

    TLog* log_;
    TSQLite& sqlite_;
    mutable std::mutex lock_;
    std::string operator_name_;
    std::deque<TAuditRow> waiting_;
    // The loss of rows past MAX_WAITING was logged since the last row was written.
    bool loss_logged_ = false;
    std::function<void()> on_stored_;
};

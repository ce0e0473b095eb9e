#include "records/audit.h"

#include "database/sqlite.h"
#include "log/log.h"

#include <pwd.h>
#include <unistd.h>

#include <ctime>
#include <vector>

TAudit::TAudit(TLog* log, TSQLite& sqlite) : log_(log), sqlite_(sqlite) {}

void TAudit::SetOperatorName(std::string name) {
    std::lock_guard lock(lock_);
    operator_name_ = std::move(name);
}

std::string TAudit::GetOperatorName() const {
    std::lock_guard lock(lock_);
    return operator_name_;
}

std::string TAudit::GetOperator() const {
    {
        std::lock_guard lock(lock_);
        if (!operator_name_.empty()) {
            return operator_name_;
        }
    }
    return GetSystemUser();
}

std::string TAudit::GetSystemUser() {
    const uid_t uid = getuid();
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(static_cast<std::size_t>(size > 0 ? size : 16384));
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_name != nullptr && found->pw_name[0] != 0) {
        return found->pw_name;
    }
    return "uid " + std::to_string(uid);
}

bool TAudit::Add(std::string_view action, std::string_view target, std::string_view detail,
                 std::string_view outcome, std::string_view user) {
    TAuditRow row;
    row.utime = static_cast<std::int64_t>(std::time(nullptr));
    row.user = user.empty() ? GetOperator() : std::string(user);
    row.action = action;
    row.target = target;
    row.detail = detail;
    row.outcome = outcome;
    {
        std::lock_guard lock(lock_);
        if (waiting_.size() >= MAX_WAITING) {
            waiting_.pop_front();
            if (!loss_logged_) {
                loss_logged_ = true;
                TLog::Add(log_, "Журнал действий не сохраняется: старые записи теряются",
                          LOG_TYPE_ERROR);
            }
        }
        waiting_.push_back(std::move(row));
    }
    return Flush();
}

bool TAudit::Acknowledge(std::string_view target, std::string_view comment) {
    return Add(audit::ACKNOWLEDGE, target, comment, audit::DONE);
}

bool TAudit::Flush() {
    std::unique_lock lock(lock_);
    bool stored = false;
    const bool all = WriteWaiting(stored);
    lock.unlock();
    if (stored && on_stored_) {
        on_stored_();
    }
    return all;
}

bool TAudit::WriteWaiting(bool& stored) {
    // A closed database is no failure: the rows wait for it without a word.
    if (!sqlite_.IsActive()) {
        return waiting_.empty();
    }
    while (!waiting_.empty()) {
        if (!sqlite_.InsertAudit(waiting_.front())) {
            return false;
        }
        waiting_.pop_front();
        loss_logged_ = false;
        stored = true;
    }
    return true;
}

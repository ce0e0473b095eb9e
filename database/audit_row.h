#pragma once

#include <cstdint>
#include <string>

// One row of the operator's audit trail, as stored in the table `audit` (UTF-8 texts).
struct TAuditRow {
    std::int64_t id = 0;    // given by the database; not written
    std::int64_t utime = 0; // seconds since 1970-01-01 00:00:00 UTC
    std::string user;
    std::string action;
    std::string target;
    std::string detail;
    std::string outcome;
};

#pragma once

#include "database/device_record.h"

#include <cstdint>

// One event as it is stored: the database assigns `id`, which is not written.
struct TEventRecord {
    std::int32_t id;
    std::uint32_t device_id;
    std::int32_t utime; // seconds since 1970-01-01 00:00:00 UTC
    std::int8_t type;
    std::int32_t value;
};

// One row of a record page: a record joined with its device's address and names (Windows-1251).
struct TRecordRow {
    std::int32_t id;
    std::uint32_t device_id;
    std::int32_t utime;
    std::int32_t address;
    char const_name[DeviceNameSize];
    char user_name[DeviceNameSize];
    std::int8_t type;
    std::int32_t value;
};

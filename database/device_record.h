#pragma once

#include <cstddef>
#include <cstdint>

// A device name field: up to 18 characters of Windows-1251 text and a terminating zero.
constexpr std::size_t DeviceNameSize = 19;
constexpr std::size_t DeviceNameLength = DeviceNameSize - 1;

// One device's configuration: the in-memory form of a row of the `device` table and the head of
// every entry of the device table. Names are Windows-1251 here and UTF-8 in the database.
// A plain trivially copyable struct: `TDeviceRecord record{}` is all zero.
struct TDeviceRecord {
    std::int32_t id; // the database row id; 0 in records built from the bus
    std::uint32_t device_id;
    std::int32_t address;
    char const_name[DeviceNameSize];
    char user_name[DeviceNameSize];
    std::int32_t lines;
    std::int32_t sensors;
    std::int32_t relays;
    std::int32_t archives;
    std::int32_t remote;
};

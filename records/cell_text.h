#pragma once

// Cell texts of a record row, shared by the record list and the device tree.

#include <cstdint>
#include <ctime>
#include <string>

#include "common/style.h"
#include "database/device_record.h"
#include "database/event_record.h"

class TRecord;

std::string DeviceIdText(std::uint32_t device_id);
// A Windows-1251 name field up to its zero (or its last byte), in UTF-8.
std::string DeviceNameText(const char (&name)[DeviceNameSize]);
// "%02d/%02d/%04d %02d:%02d:%02d" in local time; "???" when the time cannot be converted.
std::string LocalTimeText(std::time_t utime);
// The text of a record row's field as the record list shows it (RECORD_FIELD_CAPTIONS order);
// the message field also gives its style, "???" when the catalogue cannot make it.
std::string RecordFieldText(const TRecord& record, const TRecordRow& row, int field,
                            TMessageStyle& style);

#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Which records a count or a page of the record database takes. The default filter takes what
// the record list has always shown: every device, any time, the types of the RecordsMask
// setting. Records show only joined with their device's row, whatever the filter.
struct TRecordFilter {
    // One device's records; none: every device's. Device id 0 is a device like any other.
    std::optional<std::uint32_t> device_id{};
    // Records stamped at or after `from` and at or before `to` (seconds since 1970-01-01 UTC);
    // either end may stay open. A record without a time stamp is in no period.
    std::optional<std::int64_t> from{};
    std::optional<std::int64_t> to{};
    // The record types as a RecordsMask selects them (type 0 always, bits 28..31 never); none:
    // the RecordsMask setting at the moment of use.
    std::optional<int> records_mask{};

    friend bool operator==(const TRecordFilter&, const TRecordFilter&) = default;
};

// Why a filter cannot be used, as the log says it: a period that ends before it starts. Empty
// for a filter that can (one of a device with no row simply selects nothing).
std::string RecordFilterError(const TRecordFilter& filter);

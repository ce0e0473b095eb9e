#pragma once

// The operator's acknowledgement of one alarm item, as the table `alarm_ack` keeps it so that
// a restart shows the item acknowledged while it is still abnormal.

#include <cstdint>
#include <string>

struct TAlarmAck {
    std::uint32_t device_id = 0;
    int item = 0;   // what of the device: its link, state, power, a loop...
    int number = 0; // the loop's zero-based number; 0 for the device's own items
    int level = 0;  // the gravest sound level acknowledged: a graver one needs a new one
    std::int64_t since = 0;
    std::string user;
    std::int64_t utime = 0;
    std::string comment;
};

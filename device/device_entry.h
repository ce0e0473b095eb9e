#pragma once

#include "database/device_record.h"
#include "device/seqlock.h"
#include "device/shared_value.h"
#include "records/style_cell.h"

#include <cstdint>

struct TDeviceEntry;

// The data cell behind one node of the device tree. The bus cycle writes `style` when it
// records an event of the item; the tree thread fills the rest each time it rebuilds.
struct TNodeData {
    TStyleCell style;
    TShared<int> menu_mask;
    TShared<int> index;
    TShared<TDeviceEntry*> entry;

    void Reset();
};

struct TLineEntry {
    TShared<std::uint8_t> state; // the loop's byte AND 0x1F: bits 3-4 carry the type too
    TShared<std::uint8_t> type;
    TNodeData state_node;
    TNodeData type_node;

    void Reset();
};

struct TRelayEntry {
    TShared<std::uint8_t> state;
    TShared<std::uint8_t> control;
    TShared<std::uint8_t> type;
    TShared<std::uint8_t> mode;
    TNodeData state_node;
    TNodeData control_node;
    TNodeData type_node;
    TNodeData mode_node;

    void Reset();
};

// One device in the table. Written only by the bus cycle thread; other threads read it.
struct TDeviceEntry {
    static constexpr int MAX_LINES = 256;
    static constexpr int MAX_RELAYS = 128;

    TSeqlocked<TDeviceRecord> record;
    TShared<std::uint8_t> max_state;
    TShared<std::uint8_t> state;
    TShared<std::uint8_t> power;
    TShared<std::uint8_t> battery;
    TNodeData device_node;
    TNodeData state_node;
    TNodeData power_node;
    TNodeData battery_node;
    // The "ШС" and "РЕЛЕ" group lines, drawn as the gravest loop or relay inside them.
    TNodeData lines_node;
    TNodeData relays_node;
    TLineEntry line[MAX_LINES];
    TRelayEntry relay[MAX_RELAYS];
    TShared<bool> info_complete;
    TShared<bool> whois_read;
    TShared<bool> is_new;
    TShared<bool> lines_read;
    TShared<bool> sensors_read;
    TShared<bool> relays_read;
    TShared<bool> online;
    TShared<std::int64_t> silence_ms;
    // Its GET_WHOIS named another id than its frames, and the log said so (bus thread only).
    bool whois_id_reported;

    // Every field zero except the record.
    void Reset(const TDeviceRecord& device);
    // Loops and relays in use, bounded by the table's room.
    int LineCount() const;
    int RelayCount() const;
    // What the information walk has left to ask: the loops, the relays, or anything at all
    // (its GET_WHOIS first).
    bool LinesToRead() const;
    bool RelaysToRead() const;
    bool HasInfoToRead() const;
    // Counts the device as complete once nothing is left to read: from then on every change of
    // it is recorded, not only the grave ones.
    void NoteInfoRead();
};

// The one pending remote command. The window thread fills the target and the command, then
// sets `pending` last; the bus cycle reads them only once it sees `pending`, and clears it
// after the send.
struct TRemoteCommand {
    static constexpr int PAYLOAD_SIZE = 10;

    TShared<std::uint32_t> device_id;
    TShared<int> address;
    TShared<int> index;
    std::atomic<bool> pending{false};
    TShared<std::uint8_t> command;
    TShared<std::uint8_t> payload[PAYLOAD_SIZE];
    TShared<int> length;
    TShared<int> value;
};

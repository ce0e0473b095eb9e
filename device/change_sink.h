#pragma once

// Told by the bus thread after each change of a device: its online state, names, states,
// loops or relays. It must return at once and never wait for anything the bus cycle does not
// own, as the bus thread must never wait for a consumer.
class TDeviceChangeSink {
public:
    virtual ~TDeviceChangeSink() = default;
    // `index`: the device's place in the table (0 .. TDevice::MAX_DEVICES - 1).
    virtual void DeviceChanged(int index) = 0;
};

#pragma once

// The requests the device service makes of the window side. The three refreshes return at
// once: the window side carries them out later on its own thread, so the bus cycle never waits
// for a view. The other two come only from the service start and stop, on the window thread.
class TDeviceViews {
public:
    virtual ~TDeviceViews() = default;

    virtual void StatusBarUpdate() = 0;
    virtual void TreeViewUpdate() = 0;
    virtual void ListViewUpdate() = 0;
    // Switches the record list on (back at the newest record) or off.
    virtual void RecordListSetTimer(bool on) = 0;
    // The database file is missing: let the operator choose a new one (it lands in DBFile).
    virtual void FileNew() = 0;
};

#pragma once

#include <functional>

// A repeating timer whose handler runs on the GUI thread. The core only says when it runs;
// the window side implements it (a QTimer), tests drive a fake by hand.
class TTimer {
public:
    virtual ~TTimer() = default;

    virtual void SetHandler(std::function<void()> handler) = 0;
    virtual void SetInterval(int ms) = 0;
    virtual void SetEnabled(bool on) = 0;
    virtual bool IsEnabled() const = 0;
};

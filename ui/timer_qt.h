#pragma once

// TTimer on a QTimer: the handler runs on the thread that created it, the GUI thread.

#include <QTimer>

#include "common/timer.h"

class TQtTimer final : public TTimer {
public:
    TQtTimer();

    void SetHandler(std::function<void()> handler) override;
    void SetInterval(int ms) override;
    void SetEnabled(bool on) override;
    bool IsEnabled() const override;

private:
    QTimer timer_;
    std::function<void()> handler_;
};

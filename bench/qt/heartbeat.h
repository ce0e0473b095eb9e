#pragma once

// The longest stall of the GUI thread's event loop: the longest gap between two ticks of a 1 ms
// timer, less the millisecond itself.

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <algorithm>

class Heartbeat {
public:
    Heartbeat() {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            longest_ = std::max(longest_, static_cast<double>(clock_.nsecsElapsed()) / 1e6 - 1.0);
            clock_.restart();
        });
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.start(1);
        clock_.start();
    }
    void Reset() {
        longest_ = 0;
        clock_.restart();
    }
    double Longest() const { return longest_; }

private:
    QTimer timer_;
    QElapsedTimer clock_;
    double longest_ = 0;
};

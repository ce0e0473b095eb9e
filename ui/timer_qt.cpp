#include "ui/timer_qt.h"

TQtTimer::TQtTimer() {
    QObject::connect(&timer_, &QTimer::timeout, [this] {
        if (handler_) {
            handler_();
        }
    });
}

void TQtTimer::SetHandler(std::function<void()> handler) {
    handler_ = std::move(handler);
}

void TQtTimer::SetInterval(int ms) {
    timer_.setInterval(ms);
}

void TQtTimer::SetEnabled(bool on) {
    if (on) {
        timer_.start();
    } else {
        timer_.stop();
    }
}

bool TQtTimer::IsEnabled() const {
    return timer_.isActive();
}

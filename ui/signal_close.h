#pragma once

// SIGINT and SIGTERM close the main window in its normal order and end the program: the signal
// handler only writes a byte into a socket pair, and the GUI thread, woken by a socket
// notifier, closes the window.

#include <QObject>
#include <QPointer>
#include <csignal>

class QSocketNotifier;
class TF_Main;

class TSignalClose final : public QObject {
    Q_OBJECT

public:
    // One at a time in the process: it owns the two signals' handlers until it is destroyed.
    explicit TSignalClose(TF_Main* window);
    ~TSignalClose() override;
    TSignalClose(const TSignalClose&) = delete;
    TSignalClose& operator=(const TSignalClose&) = delete;

    // False when the socket pair or the handlers could not be set up.
    bool IsActive() const { return notifier_ != nullptr; }

private:
    static void Handler(int signal);
    void Activated();

    QPointer<TF_Main> window_;
    QSocketNotifier* notifier_ = nullptr;
    struct sigaction old_int_ {};
    struct sigaction old_term_ {};
};

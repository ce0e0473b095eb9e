#pragma once

// One window program per home folder: a lock file in the home (`ktev.lock`; the lock of a
// process that is gone is taken over) and a local socket named from the home's canonical path.
// A second start on the same home finds the lock held, asks the running program through the
// socket to bring its window to the front, and ends. Programs on different homes run side by
// side. Lives on the GUI thread.

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>

#include <string>

class TSingleInstance final : public QObject {
    Q_OBJECT

public:
    // The exit status of a second start on a home in use.
    static constexpr int ALREADY_RUNNING_EXIT = 3;

    explicit TSingleInstance(const std::string& home, QObject* parent = nullptr);

    // True when this process now holds the home and listens for later starts. False when
    // another process holds it (that one has been asked to show its window) or the lock file
    // cannot be made; `error` says which.
    bool Acquire(QString& error);
    // True after a false Acquire when the home is held by another running program.
    bool IsHeldByAnother() const { return held_by_another_; }

signals:
    // A later start on this home asked for the window.
    void RaiseRequested();

private:
    QString home_;
    QString server_name_;
    QLockFile lock_;
    QLocalServer server_;
    bool held_by_another_ = false;
};

#pragma once

// The sound output on Qt Multimedia. It lives on the GUI thread; Play and Stop may be called
// from any thread and only post the work there, so the caller never waits for the sound.

#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>

#include "audio/sound.h"

class QSoundEffect;
class TLog;

class TQtSoundOutput final : public QObject, public TSoundOutput {
    Q_OBJECT

public:
    explicit TQtSoundOutput(TLog* log, QObject* parent = nullptr);

    void Play(const std::string& file, bool looped) override;
    void Stop() override;

private:
    void PlayNow(const QString& file, bool looped);
    void StopNow();
    QSoundEffect* Effect(const QString& file);
    void ReportError(const QSoundEffect* effect, const QString& file);

    TLog* log_;
    // One effect per file, loaded on its first play and kept for the next ones.
    QHash<QString, QSoundEffect*> effects_;
    QSet<QString> reported_files_;
    bool no_device_reported_ = false;
};

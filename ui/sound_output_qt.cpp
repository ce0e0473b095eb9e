#include "ui/sound_output_qt.h"

#include <QAudioDevice>
#include <QFileInfo>
#include <QMediaDevices>
#include <QSoundEffect>
#include <QUrl>

#include "log/log.h"

TQtSoundOutput::TQtSoundOutput(TLog* log, QObject* parent) : QObject(parent), log_(log) {}

void TQtSoundOutput::Play(const std::string& file, bool looped) {
    // Always queued, also from the GUI thread, so that calls are carried out in their order.
    QMetaObject::invokeMethod(
        this, [this, name = QString::fromStdString(file), looped] { PlayNow(name, looped); },
        Qt::QueuedConnection);
}

void TQtSoundOutput::Stop() {
    QMetaObject::invokeMethod(
        this, [this] { StopNow(); }, Qt::QueuedConnection);
}

void TQtSoundOutput::PlayNow(const QString& file, bool looped) {
    // Without an output device Qt reports the sound as playing while nothing is heard.
    if (!no_device_reported_ && QMediaDevices::audioOutputs().isEmpty()) {
        no_device_reported_ = true;
        TLog::Add(log_, "Нет устройства вывода звука", LOG_TYPE_ERROR);
    }
    StopNow();
    QSoundEffect* effect = Effect(file);
    effect->setLoopCount(looped ? QSoundEffect::Infinite : 1);
    effect->play();
}

void TQtSoundOutput::StopNow() {
    for (QSoundEffect* effect : std::as_const(effects_)) {
        effect->stop();
    }
}

QSoundEffect* TQtSoundOutput::Effect(const QString& file) {
    QSoundEffect* effect = effects_.value(file);
    // A file that failed to load is loaded afresh: it may have been put right since.
    if (effect != nullptr && effect->status() == QSoundEffect::Error) {
        effects_.remove(file);
        delete effect;
        effect = nullptr;
    }
    if (effect == nullptr) {
        effect = new QSoundEffect(this);
        connect(effect, &QSoundEffect::statusChanged, this,
                [this, effect, file] { ReportError(effect, file); });
        effect->setSource(QUrl::fromLocalFile(QFileInfo(file).absoluteFilePath()));
        effects_.insert(file, effect);
    }
    return effect;
}

void TQtSoundOutput::ReportError(const QSoundEffect* effect, const QString& file) {
    // A missing file is the player's to report; this is for files that cannot be played.
    if (effect->status() != QSoundEffect::Error || !QFileInfo::exists(file) ||
        reported_files_.contains(file)) {
        return;
    }
    reported_files_.insert(file);
    TLog::Addf(log_, LOG_TYPE_ERROR, "Звуковой файл не воспроизводится: %s", file.toStdString());
}

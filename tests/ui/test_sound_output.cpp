#include "audio/sound.h"
#include "log/log.h"
#include "ui/sound_output_qt.h"

#include <QAudioDevice>
#include <QDir>
#include <QFile>
#include <QMediaDevices>
#include <QSoundEffect>
#include <QTemporaryDir>
#include <QTest>

#include <fstream>
#include <iterator>
#include <string>
#include <thread>

namespace {

QSoundEffect* FindEffect(const QObject& output, const char* file) {
    for (QSoundEffect* effect : output.findChildren<QSoundEffect*>()) {
        if (effect->source() == QUrl::fromLocalFile(QDir::current().absoluteFilePath(file))) {
            return effect;
        }
    }
    return nullptr;
}

} // namespace

class TestSoundOutput : public QObject {
    Q_OBJECT

private:
    // How many lines of the log hold `text`.
    int LogCount(const std::string& text) {
        log_->Flush();
        std::ifstream in(dir_.filePath("test.log").toStdString(), std::ios::binary);
        const std::string lines = Cp1251ToUtf8(std::string(std::istreambuf_iterator<char>(in), {}));
        int count = 0;
        for (auto at = lines.find(text); at != std::string::npos; at = lines.find(text, at + 1)) {
            ++count;
        }
        return count;
    }

    QTemporaryDir dir_;
    std::unique_ptr<TLog> log_;
    std::unique_ptr<TQtSoundOutput> output_;

private slots:
    void init() {
        QFile::remove(dir_.filePath("test.log"));
        log_ = std::make_unique<TLog>(nullptr, nullptr, dir_.filePath("test.log").toStdString());
        output_ = std::make_unique<TQtSoundOutput>(log_.get());
        // The program's sound files, found as the program finds them.
        QDir::setCurrent(KTEV_SOURCE_DIR);
    }
    void cleanup() {
        output_.reset();
        log_.reset();
    }

    void requestsFromAnyThreadAreCarriedOutOnTheGuiThreadInOrder() {
        const char* alarm = FindSoundLevel(SOUND_ALARM)->file;
        const char* new_device = FindSoundLevel(SOUND_NEW_DEVICE)->file;
        std::thread([&] {
            output_->Play(alarm, true);
            output_->Play(new_device, false);
        }).join();
        // Nothing is done on the caller's thread.
        QVERIFY(output_->findChildren<QSoundEffect*>().isEmpty());
        QTRY_VERIFY(FindEffect(*output_, new_device) != nullptr);
        QSoundEffect* alarm_effect = FindEffect(*output_, alarm);
        QSoundEffect* new_device_effect = FindEffect(*output_, new_device);
        QVERIFY(alarm_effect != nullptr);
        QCOMPARE(alarm_effect->thread(), QThread::currentThread());
        QCOMPARE(alarm_effect->loopCount(), int(QSoundEffect::Infinite));
        QCOMPARE(new_device_effect->loopCount(), 1);
        // The later sound replaced the earlier one.
        QVERIFY(!alarm_effect->isPlaying());
        QVERIFY(new_device_effect->isPlaying());

        std::thread([&] { output_->Stop(); }).join();
        QTRY_VERIFY(!new_device_effect->isPlaying());
    }

    void everySoundFileLoads() {
        for (int level = SOUND_NEW_DEVICE; level <= SOUND_ALARM; ++level) {
            const TSoundLevelInfo* info = FindSoundLevel(static_cast<TSoundLevel>(level));
            output_->Play(info->file, info->is_looped);
            QTRY_VERIFY(FindEffect(*output_, info->file) != nullptr);
            QTRY_COMPARE(FindEffect(*output_, info->file)->status(), QSoundEffect::Ready);
        }
        QCOMPARE(LogCount("Звуковой файл не воспроизводится"), 0);
    }

    void aFileThatCannotBePlayedIsReportedOnce() {
        const QString broken = dir_.filePath("broken.wav");
        // Long enough for the decoder to give up on it rather than wait for more.
        std::ofstream out(broken.toStdString());
        for (int i = 0; i < 400; ++i) {
            out << "not a sound\n";
        }
        out.close();
        const std::string line = "Звуковой файл не воспроизводится: " + broken.toStdString();
        for (int round = 0; round < 3; ++round) {
            output_->Play(broken.toStdString(), true);
            QTRY_COMPARE(LogCount(line), 1);
        }
        // A missing file is left to the player, which reports it itself.
        output_->Play(dir_.filePath("missing.wav").toStdString(), false);
        QTest::qWait(200);
        QCOMPARE(LogCount("Звуковой файл не воспроизводится"), 1);
    }

    void noOutputDeviceIsReportedOnce() {
        if (!QMediaDevices::audioOutputs().isEmpty()) {
            QSKIP("this machine has a sound output device");
        }
        for (int round = 0; round < 3; ++round) {
            output_->Play(FindSoundLevel(SOUND_FAILURE)->file, true);
        }
        QTRY_VERIFY(FindEffect(*output_, FindSoundLevel(SOUND_FAILURE)->file) != nullptr);
        QCOMPARE(LogCount("Нет устройства вывода звука"), 1);
    }
};

QTEST_MAIN(TestSoundOutput)
#include "test_sound_output.moc"

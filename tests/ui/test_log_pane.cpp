// The log pane on a QPlainTextEdit and the flush timer on a QTimer, driven by the real log.

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>

#include <memory>

#include "log/log.h"
#include "ui/log_pane_qt.h"
#include "ui/timer_qt.h"

namespace {

// Counts the paint events of a widget.
class PaintCounter : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        paints += event->type() == QEvent::Paint ? 1 : 0;
        return QObject::eventFilter(watched, event);
    }
    int paints = 0;
};

QTextCharFormat FormatOfBlock(const QTextBlock& block) {
    return block.begin().fragment().charFormat();
}

} // namespace

class TestLogPane : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    std::unique_ptr<QPlainTextEdit> edit_;
    std::unique_ptr<TQtLogPane> pane_;
    std::unique_ptr<TLog> log_;

    void AddLines(int from, int count) {
        for (int i = from; i < from + count; ++i) {
            TLog::Addf(log_.get(), LOG_TYPE_INFO, "line %d", i);
        }
    }

private slots:
    void init() {
        edit_ = std::make_unique<QPlainTextEdit>();
        edit_->setPlainText(QStringLiteral("design-time text"));
        edit_->resize(600, 200);
        edit_->show();
        QVERIFY(QTest::qWaitForWindowExposed(edit_.get()));
        pane_ = std::make_unique<TQtLogPane>(edit_.get());
        log_ = std::make_unique<TLog>(pane_.get(), std::make_unique<TQtTimer>(),
                                      dir_.filePath(QStringLiteral("test.log")).toStdString());
    }
    void cleanup() {
        log_.reset();
        pane_.reset();
        edit_.reset();
        QFile::remove(dir_.filePath(QStringLiteral("test.log")));
    }

    void linesAreDrawnInTheirLevelsColours() {
        QVERIFY(edit_->document()->isEmpty());
        QCOMPARE(pane_->LineCount(), 0);
        TLog::Add(log_.get(), "Обычная строка", LOG_TYPE_INFO);
        TLog::Add(log_.get(), "Ошибка", LOG_TYPE_ERROR);
        TLog::Add(log_.get(), "Авария", LOG_TYPE_FATAL);
        log_->Flush();
        QCOMPARE(pane_->LineCount(), 3);
        const QTextDocument* doc = edit_->document();
        QVERIFY(doc->findBlockByNumber(0).text().endsWith(QStringLiteral("Обычная строка")));
        QCOMPARE(FormatOfBlock(doc->findBlockByNumber(0)).foreground().color(), QColor(Qt::black));
        const QTextCharFormat error = FormatOfBlock(doc->findBlockByNumber(1));
        QCOMPARE(error.foreground().color(), QColor(255, 0, 0));
        QCOMPARE(error.background().color(), QColor(255, 255, 255));
        const QTextCharFormat fatal = FormatOfBlock(doc->findBlockByNumber(2));
        QCOMPARE(fatal.foreground().color(), QColor(255, 255, 255));
        QCOMPARE(fatal.background().color(), QColor(255, 0, 0));
        QCOMPARE(fatal.fontWeight(), int(QFont::Bold));
    }

    void thePaneKeepsTheLast500LinesAndShowsTheNewest() {
        for (int from = 0; from < 700; from += 100) {
            AddLines(from, 100);
            log_->Flush();
        }
        QCOMPARE(pane_->LineCount(), TLog::PaneMaxLines);
        QVERIFY(edit_->document()->firstBlock().text().endsWith(QStringLiteral("line 200")));
        QVERIFY(edit_->document()->lastBlock().text().endsWith(QStringLiteral("line 699")));
        QScrollBar* bar = edit_->verticalScrollBar();
        QCOMPARE(bar->value(), bar->maximum());
        pane_->Clear();
        QCOMPARE(pane_->LineCount(), 0);
    }

    void aFlushRepaintsThePaneOnce() {
        PaintCounter counter;
        edit_->viewport()->installEventFilter(&counter);
        QCoreApplication::processEvents();
        counter.paints = 0;
        AddLines(0, 250);
        log_->Flush();
        QCoreApplication::processEvents();
        QCOMPARE(counter.paints, 1);
    }

    void theTimerFlushesEvery100ms() {
        TLog::Add(log_.get(), "by the timer", LOG_TYPE_INFO);
        QCOMPARE(pane_->LineCount(), 0);
        log_->SetTimer(true);
        QTRY_COMPARE(pane_->LineCount(), 1);
        log_->SetTimer(false);
        TLog::Add(log_.get(), "waits", LOG_TYPE_INFO);
        QTest::qWait(3 * TLog::FlushIntervalMs);
        QCOMPARE(pane_->LineCount(), 1);
    }

    // Lines a full queue drops are counted, in red, in the pane and the file where they are
    // missing.
    void aFullQueueSaysHowManyLinesItDropped() {
        AddLines(0, TLog::QueueLimit + 1234);
        log_->Flush();
        QCOMPARE(pane_->LineCount(), TLog::QueueLimit + 1);
        const QTextBlock last = edit_->document()->lastBlock();
        QVERIFY(last.text().endsWith(QStringLiteral("  Error  1234 строк журнала пропущено")));
        QCOMPARE(FormatOfBlock(last).foreground().color(), QColor(255, 0, 0));
        QFile file(dir_.filePath(QStringLiteral("test.log")));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = file.readAll().split('\n');
        QCOMPARE(lines.size(), TLog::QueueLimit + 2); // behind the last line end, nothing
        QVERIFY(lines[TLog::QueueLimit].endsWith(
            QByteArray::fromStdString(Utf8ToCp1251("  Error  1234 строк журнала пропущено\r"))));
    }

    void linesWaitWhileTheEditIsGone() {
        edit_.reset();
        QVERIFY(!pane_->Exists());
        TLog::Add(log_.get(), "waits in the queue", LOG_TYPE_INFO);
        log_->Flush();
        QCOMPARE(pane_->LineCount(), 0);
        QCOMPARE(log_->GetQueuePos(), 1);
    }

    // How long the GUI thread is held by a flush of a full queue into a full pane.
    void benchmarkFullFlush() {
        AddLines(0, TLog::PaneMaxLines / 2);
        log_->Flush();
        AddLines(0, TLog::PaneMaxLines / 2);
        log_->Flush();
        QBENCHMARK {
            AddLines(0, TLog::QueueLimit);
            log_->Flush();
        }
        QCOMPARE(pane_->LineCount(), TLog::PaneMaxLines);
    }
};

QTEST_MAIN(TestLogPane)
#include "test_log_pane.moc"

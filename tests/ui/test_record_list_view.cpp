// The record list on its table view: the model over the filled page, the paging buttons, the
// field items with the popup kept in step, the row colours and the resize rule.

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDateTimeEdit>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QScrollBar>
#include <QTableView>
#include <QTest>

#include <cstring>

#include "common/text.h"
#include "ui/record_filter_bar.h"
#include "ui/record_list_style.h"
#include "ui/record_list_view.h"
#include "views_fixture.h"

namespace {

constexpr std::uint32_t ID = 0x00001A2B;

} // namespace

class TestRecordListView : public QObject {
    Q_OBJECT

private:
    void AddRecords(int n, std::int32_t value = MakeRecordValue(0, 0, 0),
                    std::uint32_t device_id = ID) {
        for (int i = 0; i < n; ++i) {
            QVERIFY(parts_->sqlite->InsertRecord({0, device_id, 0, LINE_STATE, value}));
        }
        parts_->sqlite->RecountRecordsMaskCount();
    }
    // Switches the list on at the newest record and waits for the first page.
    void SwitchOn() {
        ui_->RecordListSetTimer(true);
        ui_->ListViewUpdate();
        QTRY_VERIFY(ui_->Model().rowCount() > 0);
    }
    QString Cell(int row, int column) const {
        return ui_->Model().index(row, column).data().toString();
    }
    int Enabled() const {
        int mask = 0;
        for (std::size_t i = 0; i < pages_.size(); ++i) {
            mask |= pages_[i]->isEnabled() ? 1 << i : 0;
        }
        return mask;
    }

    std::unique_ptr<ViewParts> parts_;
    std::unique_ptr<QWidget> window_;
    QTableView* view_ = nullptr;
    std::array<QAction*, 4> pages_{};
    std::array<QAction*, RECORD_FIELD_COUNT> fields_{};
    std::array<int, RECORD_FIELD_COUNT> widths_{}; // the settings' widths, the operator's included
    QLabel* position_ = nullptr;
    std::unique_ptr<TRecordListUi> ui_;

private slots:
    void init() {
        widths_ = {40, 80, 150, 50, 120, 120, 140, 200};
        parts_ = std::make_unique<ViewParts>();
        TDeviceRecord d{};
        d.device_id = ID;
        d.address = 7;
        std::strcpy(d.const_name, Utf8ToCp1251("Прибор").c_str());
        QVERIFY(parts_->sqlite->InsertDevice(d));
        window_ = std::make_unique<QWidget>();
        window_->resize(900, 500);
        view_ = new QTableView(window_.get());
        view_->resize(880, 480);
        TRecordListControls controls;
        controls.view = view_;
        for (QAction*& a : pages_) {
            a = new QAction(window_.get());
        }
        for (std::size_t i = 0; i < fields_.size(); ++i) {
            fields_[i] =
                new QAction(QString::fromUtf8(RECORD_FIELD_MENU_CAPTIONS[i].data()), window_.get());
            fields_[i]->setCheckable(true);
            fields_[i]->setChecked(true);
        }
        fields_[RECORD_FIELD_MESSAGE]->setEnabled(false);
        controls.page_buttons = pages_;
        controls.field_items = fields_;
        controls.field_width = [this](int f) { return widths_[static_cast<std::size_t>(f)]; };
        controls.set_field_width = [this](int f, int w) {
            widths_[static_cast<std::size_t>(f)] = w;
        };
        position_ = new QLabel(window_.get());
        controls.position = position_;
        ui_ = std::make_unique<TRecordListUi>(controls, parts_->log.get(), *parts_->record,
                                              *parts_->sqlite, parts_->settings);
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    }
    void cleanup() {
        ui_.reset();
        window_.reset();
        parts_.reset();
    }

    void theFilterBarNarrowsTheListAndTheCountSaysWhereItIs() {
        constexpr std::uint32_t OTHER = 0x00002C3D;
        TDeviceRecord d{};
        d.device_id = OTHER;
        d.address = 8;
        QVERIFY(parts_->sqlite->InsertDevice(d));
        AddRecords(100);
        AddRecords(20, MakeRecordValue(0, 0, 0), OTHER);
        TRecordFilterBar bar;
        connect(&bar, &TRecordFilterBar::filterChanged, ui_.get(),
                [&] { ui_->List().SetFilter(bar.Filter()); });
        bar.SetDevices({{ID, QStringLiteral("Прибор (адрес 7)")},
                        {OTHER, QStringLiteral("00002C3D (адрес 8)")}});
        SwitchOn();
        QCOMPARE(position_->text(), QStringLiteral("Записей: 120, стр. 1 из 3"));

        bar.ShowDevice(OTHER);
        QTRY_COMPARE(position_->text(), QStringLiteral("Записей: 20, стр. 1 из 1"));
        QTRY_COMPARE(ui_->Model().rowCount(), 20);
        for (int row = 0; row < 20; ++row) {
            QCOMPARE(Cell(row, 1), QStringLiteral("00002C3D"));
        }

        // A period ending before it starts is said and not applied.
        const QDateTime now = QDateTime::currentDateTime();
        bar.FromEdit()->setDateTime(now.addDays(1));
        bar.FromCheck()->setChecked(true);
        bar.ToEdit()->setDateTime(now);
        bar.ToCheck()->setChecked(true);
        QCOMPARE(bar.ErrorText(), QStringLiteral("Конец периода раньше начала"));
        QCOMPARE(bar.Filter().device_id, std::optional<std::uint32_t>(OTHER));
        QVERIFY(bar.Filter().from && !bar.Filter().to);
        // Its start moved back, the period holds every record of the device.
        bar.FromEdit()->setDateTime(now.addDays(-1));
        QVERIFY(bar.ErrorText().isEmpty());
        QVERIFY(bar.Filter().from && bar.Filter().to);
        QTRY_COMPARE(position_->text(), QStringLiteral("Записей: 20, стр. 1 из 1"));

        bar.Clear();
        QTRY_COMPARE(position_->text(), QStringLiteral("Записей: 120, стр. 1 из 3"));
        QCOMPARE(bar.Filter(), TRecordFilter{});
    }

    void pagesAreShownWithTheirCaptionsColoursAndButtons() {
        AddRecords(119);
        AddRecords(1, MakeRecordValue(2, 0, 6)); // the newest: loop 3 on fire
        SwitchOn();
        TRecordListModel& model = ui_->Model();
        QCOMPARE(model.rowCount(), 50);
        QCOMPARE(model.columnCount(), RECORD_FIELD_COUNT);
        QCOMPARE(model.headerData(0, Qt::Horizontal).toString(), QStringLiteral("#"));
        QCOMPARE(model.headerData(7, Qt::Horizontal).toString(), QStringLiteral("Сообщение"));
        QCOMPARE(Cell(0, 0), QStringLiteral("120"));
        QCOMPARE(Cell(0, 1), QStringLiteral("00001A2B"));
        QCOMPARE(Cell(0, 4), QStringLiteral("Прибор"));
        QCOMPARE(view_->columnWidth(2), 150);
        QVERIFY(view_->horizontalHeader()->stretchLastSection());
        TMessageStyle fire;
        std::string text;
        QVERIFY(parts_->record->GetRecordMessage(LINE_STATE, MakeRecordValue(2, 0, 6), true, fire,
                                                 text));
        QCOMPARE(Cell(0, 7), QString::fromStdString(text));
        const QModelIndex top = model.index(0, 7);
        QCOMPARE(top.data(Qt::BackgroundRole).value<QColor>(), StyleColor(fire.bg_color));
        QCOMPARE(top.data(Qt::ForegroundRole).value<QColor>(), StyleColor(fire.font_color));
        QCOMPARE(top.data(Qt::FontRole).value<QFont>().bold(), fire.is_bold);

        // The selected row keeps its colours on screen.
        view_->selectRow(0);
        const QImage shot = view_->viewport()->grab().toImage();
        const QRect cell = view_->visualRect(model.index(0, 3));
        QCOMPARE(QColor(shot.pixel(cell.right() - 3, cell.center().y())),
                 StyleColor(fire.bg_color));

        QCOMPARE(Enabled(), 0b1100);
        pages_[2]->trigger();
        QTRY_COMPARE(Cell(0, 0), QStringLiteral("70"));
        QCOMPARE(Enabled(), 0b1111);
        pages_[3]->trigger();
        QTRY_COMPARE(Cell(0, 0), QStringLiteral("50"));
        QCOMPARE(Enabled(), 0b0011);
        ui_->RecordListSetTimer(false);
        QCOMPARE(Enabled(), 0);
        // Switched on again at the newest record.
        ui_->RecordListSetTimer(true);
        ui_->ListViewUpdate();
        QTRY_COMPARE(Cell(0, 0), QStringLiteral("120"));
    }

    void fieldItemsAndThePopupStayInStep() {
        AddRecords(3);
        SwitchOn();
        fields_[3]->trigger(); // "Адрес" off
        QTRY_COMPARE(ui_->Model().columnCount(), RECORD_FIELD_COUNT - 1);
        QCOMPARE(ui_->Model().headerData(3, Qt::Horizontal).toString(), QStringLiteral("Имя"));
        QCOMPARE(view_->columnWidth(3), widths_[4]);
        QCOMPARE(parts_->Logged("Поле записей \"Адрес\" - Отключено"), 1);

        QMenu* popup = ui_->PopupMenuRecord();
        QCOMPARE(popup->actions().size(), RECORD_FIELD_COUNT);
        emit popup->aboutToShow();
        const QList<QAction*> items = popup->actions();
        QCOMPARE(items[3]->text(), QStringLiteral("Адрес"));
        QVERIFY(!items[3]->isChecked());
        QVERIFY(items[0]->isChecked());
        QVERIFY(!items[RECORD_FIELD_MESSAGE]->isEnabled());
        items[0]->trigger(); // "ID" off from the popup
        QVERIFY(!fields_[0]->isChecked());
        QCOMPARE(parts_->Logged("Поле записей \"ID\" - Отключено"), 1);
        QTRY_COMPARE(ui_->Model().columnCount(), RECORD_FIELD_COUNT - 2);
        items[3]->trigger(); // "Адрес" back on
        QVERIFY(fields_[3]->isChecked());
        QTRY_COMPARE(ui_->Model().columnCount(), RECORD_FIELD_COUNT - 1);
        QCOMPARE(ui_->Model().headerData(0, Qt::Horizontal).toString(),
                 QStringLiteral("Device ID"));
    }

    void columnsFitUntilTheOperatorSetsAWidth() {
        widths_.fill(RECORD_FIELD_WIDTH_FIT);
        widths_[3] = 50; // a width the settings file holds
        AddRecords(3);
        SwitchOn();
        QFont bold = view_->font();
        bold.setBold(true);
        const QFontMetrics cells(bold);
        const QFontMetrics captions(view_->horizontalHeader()->font());
        QVERIFY(view_->columnWidth(2) > cells.horizontalAdvance(Cell(0, 2)));
        QVERIFY(view_->columnWidth(1) > cells.horizontalAdvance(QStringLiteral("00001A2B")));
        QVERIFY(view_->columnWidth(1) > captions.horizontalAdvance(QStringLiteral("Device ID")));
        QVERIFY(view_->columnWidth(4) > cells.horizontalAdvance(QString(18, QChar(u'Ж'))));
        QCOMPARE(view_->columnWidth(3), 50);

        // Dragged wider, the column keeps the operator's width through the next record.
        view_->horizontalHeader()->resizeSection(2, 260);
        QCOMPARE(widths_[2], 260);
        AddRecords(1);
        ui_->ListViewUpdate();
        QTRY_COMPARE(Cell(0, 0), QStringLiteral("4"));
        QCOMPARE(view_->columnWidth(2), 260);
        QCOMPARE(view_->columnWidth(3), 50);
        // The message column follows the list's width and keeps none.
        view_->resize(600, 480);
        QCOMPARE(widths_[RECORD_FIELD_MESSAGE], RECORD_FIELD_WIDTH_FIT);
    }

    void everyLoadShowsTheFirstRow() {
        AddRecords(120);
        SwitchOn();
        QScrollBar* scroll = view_->verticalScrollBar();
        QTRY_VERIFY(scroll->maximum() > 0);
        scroll->setValue(scroll->maximum());
        pages_[2]->trigger(); // "Следующая страница"
        QTRY_COMPARE(Cell(0, 0), QStringLiteral("70"));
        QCOMPARE(scroll->value(), 0);
        scroll->setValue(scroll->maximum());
        pages_[0]->trigger(); // "Первая запись"
        QTRY_COMPARE(Cell(0, 0), QStringLiteral("120"));
        QCOMPARE(scroll->value(), 0);
    }

    void resizesAfterTheFirstAskForASave() {
        int saves = 0;
        ui_->on_layout_changed = [&] { ++saves; };
        QApplication::setActiveWindow(window_.get());
        QTRY_VERIFY(window_->isActiveWindow());
        view_->resize(700, 400);
        QCOMPARE(saves, 0);
        view_->resize(600, 400);
        QCOMPARE(saves, 1);
        QCOMPARE(parts_->Logged("TF_Main::ListViewResize"), 1);
        window_->setEnabled(false);
        view_->resize(500, 400);
        QCOMPARE(saves, 1);
    }
};

QTEST_MAIN(TestRecordListView)
#include "test_record_list_view.moc"

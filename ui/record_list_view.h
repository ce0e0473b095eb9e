#pragma once

// The record list on Qt: a table model over the page the list's timer filled, the paging
// actions, the field menus and the list's popup menu, bound to the main window's table view.

#include <QAbstractTableModel>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTableView>

#include <array>
#include <functional>
#include <memory>

#include "records/record_list.h"

class QAction;
class QLabel;
class QMenu;

class TRecordListModel final : public QAbstractTableModel {
    Q_OBJECT

public:
    using QAbstractTableModel::QAbstractTableModel;

    // Replaces columns and rows in one reset.
    void SetPage(const TRecordListPage& page);
    const TRecordListPage& Page() const { return page_; }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    TRecordListPage page_;
};

// The main window's controls the list is bound to.
struct TRecordListControls {
    QTableView* view = nullptr;
    // "Первая запись", "Предыдущая страница", "Следующая страница", "Последняя запись".
    std::array<QAction*, 4> page_buttons{};
    // The checkable items of View > "Поля записей", in field order.
    std::array<QAction*, RECORD_FIELD_COUNT> field_items{};
    // The width a field's column gets, as the settings keep it (RECORD_FIELD_WIDTH_FIT: none
    // kept, the column fits its texts); required.
    std::function<int(int field)> field_width;
    // The operator gave a field's column this width: the settings keep it from now on; required.
    std::function<void(int field, int width)> set_field_width;
    // The status bar's count of the records listed and the page shown; null: none.
    QLabel* position = nullptr;
};

// Binds the list to the window's table view, paging buttons and field items, and adds the
// list's popup menu. Owns the list, whose load threads it joins when it goes. Everything here
// runs on the GUI thread except ListViewUpdate.
class TRecordListUi final : public QObject, public TRecordListView {
    Q_OBJECT

public:
    TRecordListUi(const TRecordListControls& controls, TLog* log, const TRecord& record,
                  TSQLite& sqlite, const TSettings& settings, QObject* parent = nullptr);
    ~TRecordListUi() override;

    TRecordList& List() { return *list_; }
    TRecordListModel& Model() { return model_; }

    // Any thread.
    void ListViewUpdate() { list_->ListViewUpdate(); }
    // The service start (back at the newest record) and stop.
    void RecordListSetTimer(bool on);

    QMenu* PopupMenuRecord() const { return popup_; }

    // Called on each resize of the list after the first, while its window is active: the
    // main window saves its layout a little later.
    std::function<void()> on_layout_changed;

    bool FieldShown(int field) const override;
    int FieldWidth(int field) const override;
    void ShowPage(const TRecordListPage& page) override;
    void SetPageButtons(const TPageButtons& buttons) override;
    void ShowPosition(const TListPosition& position) override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void PopupItemTriggered(int field, bool checked);
    void PopupMenuRecordPopup();
    // The width of column `column`, showing `field`, that fits its caption and a typical value.
    int FitWidth(int column, int field) const;
    void ColumnResized(int column, int width);

    QPointer<QTableView> view_;
    TRecordListControls controls_;
    TLog* log_;
    const TRecord& record_;
    TRecordListModel model_;
    std::array<QAction*, RECORD_FIELD_COUNT> popup_items_{};
    QMenu* popup_ = nullptr;
    bool resize_noted_ = false;
    bool showing_page_ = false;   // the list, not the operator, sets the widths
    bool column_dragged_ = false; // since the last release of the mouse over the header
    std::unique_ptr<TRecordList> list_;
};

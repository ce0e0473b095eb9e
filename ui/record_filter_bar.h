#pragma once

// The bar above the record list that narrows it: one device ("Все устройства" or one of the
// devices on the bus), a period whose ends are each on or off, and the record types. Every
// change applies at once; a period that ends before it starts is said beside it and not applied.

#include <QString>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "database/record_filter.h"

class QBoxLayout;
class QCheckBox;
class QComboBox;
class QDateTimeEdit;
class QHBoxLayout;
class QLabel;
class QMenu;
class QToolButton;

struct TDeviceChoice {
    std::uint32_t device_id = 0;
    QString text;
};

class TRecordFilterBar final : public QWidget {
    Q_OBJECT

public:
    explicit TRecordFilterBar(QWidget* parent = nullptr);

    // `type_name` gives a record type's name for the types menu, `settings_mask` the RecordsMask
    // setting whose types the list shows until the operator picks others. Until they are set
    // the menu is empty.
    void SetTypeSource(std::function<std::string(int type)> type_name,
                       std::function<int()> settings_mask);

    // The devices offered, in this order; a device chosen stays chosen while it is offered.
    void SetDevices(const std::vector<TDeviceChoice>& devices);
    // "События устройства": the records of this device, whatever else the bar holds.
    void ShowDevice(std::uint32_t device_id);
    // Back to the list as it is without a filter.
    void Clear();
    TRecordFilter Filter() const { return filter_; }
    // The period's error shown, empty when none.
    QString ErrorText() const;

    QComboBox* DeviceBox() const { return device_; }
    QCheckBox* FromCheck() const { return from_on_; }
    QDateTimeEdit* FromEdit() const { return from_; }
    QCheckBox* ToCheck() const { return to_on_; }
    QDateTimeEdit* ToEdit() const { return to_; }
    QMenu* TypesMenu() const { return types_menu_; }

protected:
    void resizeEvent(QResizeEvent* event) override;

signals:
    // The operator changed the filter to one the database takes.
    void filterChanged();

private:
    // Reads the controls; applies and signals when the filter is good and new.
    void Apply();
    void FillTypesMenu();
    int ChosenMask() const;

    std::function<std::string(int type)> type_name_;
    std::function<int()> settings_mask_;
    QBoxLayout* rows_ = nullptr;
    QHBoxLayout* device_row_ = nullptr;
    QHBoxLayout* period_row_ = nullptr;
    QComboBox* device_ = nullptr;
    QCheckBox* from_on_ = nullptr;
    QDateTimeEdit* from_ = nullptr;
    QCheckBox* to_on_ = nullptr;
    QDateTimeEdit* to_ = nullptr;
    QToolButton* types_ = nullptr;
    QMenu* types_menu_ = nullptr;
    QLabel* error_ = nullptr;
    // The types the operator picked; none: the setting's.
    std::optional<int> mask_;
    TRecordFilter filter_;
    // Set while the controls are filled by the program, not the operator.
    bool filling_ = false;
};

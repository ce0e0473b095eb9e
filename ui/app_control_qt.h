#pragma once

// The program's answers to the core's last resorts: a modal error box and the end of the
// program once control is back in the event loop; and the operator's yes or no.

#include <QString>

#include "records/app_control.h"

class QWidget;

class TQtAppControl final : public TAppControl {
public:
    // Boxes are titled `caption` and centred on `parent` (which may be null).
    TQtAppControl(QWidget* parent, QString caption);

    void ShowErrorBox(std::string_view text) override;
    bool AskQuestion(std::string_view text) override;
    void Terminate() override;

    bool IsTerminated() const { return terminated_; }

private:
    QWidget* parent_;
    QString caption_;
    bool terminated_ = false;
};

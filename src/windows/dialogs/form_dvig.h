#pragma once

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>

#include "devices/device_editor.h"

namespace terval {

// "Параметры": the selected relay's generator name, breaker name and network address.
// A change is written to gen.dat as soon as it is applied.
class TFormDvig : public QDialog {
    Q_OBJECT
  public:
    explicit TFormDvig(DeviceEditing& devices, QWidget* parent = nullptr);

    bool applied() const { return applied_; }

    void FormShow();
    // The stored name, breaker and address back in the three fields.
    void MyShow();
    void EditNameChange();
    void ButtonOkClick();
    void ButtonCancelClick();

    QLineEdit* EditName = nullptr;
    QLineEdit* EditSwitch = nullptr;
    QSpinBox* SEAddress = nullptr;
    QPushButton* ButtonOk = nullptr;
    QPushButton* ButtonCancel = nullptr;

  protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void showNothingPending();
    void closeAsOk();

    DeviceEditing& devices_;
    bool applied_ = false;
};

}  // namespace terval

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

  protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    // Controls under the names the station's description gives them, as the tests find them.
    QLineEdit* EditName = nullptr;
    QLineEdit* EditSwitch = nullptr;
    QSpinBox* SEAddress = nullptr;
    QPushButton* ButtonOk = nullptr;
    QPushButton* ButtonCancel = nullptr;

    void showNothingPending();
    void closeAsOk();

    DeviceEditing& devices_;
    bool applied_ = false;
};

}  // namespace terval

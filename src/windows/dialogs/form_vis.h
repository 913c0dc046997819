#pragma once

#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>

#include "devices/device_files.h"
#include "station/message_sink.h"

namespace terval {

// "Размер окна": the number of tile columns and of visible rows. The new values are taken into
// the station's parameters on "Ok"; they reach param.dat only through "Сохранить параметры".
class TFormVis : public QDialog {
    Q_OBJECT
  public:
    TFormVis(StationParams& params, MessageSink& messages, QWidget* parent = nullptr);

    void setScreenSize(QSize screen) { screen_ = screen; }
    bool columnsChanged() const { return columnsChanged_; }

    void FormShow();
    void ButOkClick();
    void ButCancelClick() { reject(); }

  protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // Controls under the names the station's description gives them, as the tests find them.
    QSpinBox* SpinEdit1 = nullptr;  // columns
    QSpinBox* SpinEdit2 = nullptr;  // rows
    QPushButton* ButOk = nullptr;
    QPushButton* ButCancel = nullptr;

    StationParams& params_;
    MessageSink& messages_;
    QSize screen_{1024, 768};
    bool columnsChanged_ = false;
};

}  // namespace terval

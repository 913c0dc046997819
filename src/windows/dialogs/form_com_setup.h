#pragma once

#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QPushButton>

#include "link/link.h"

namespace terval {

// "Setup": the serial port, its speed and framing. "OK" writes the choices into the port the
// station opens; "Cancel" changes nothing.
class TFormComSetup : public QDialog {
    Q_OBJECT
  public:
    TFormComSetup(SerialSettings& port, QDir workFolder, QWidget* parent = nullptr);

    // Fills the lists: the ports that lead to a device here (and the present one), the speeds
    // and the framing of the record's tables, each showing the port's present setting.
    void FormShow();
    void ButtonOkClick();

  protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    // Controls under the names the station's description gives them, as the tests find them.
    QComboBox* ComboPort = nullptr;
    QComboBox* ComboBaud = nullptr;
    QComboBox* ComboDataBits = nullptr;
    QComboBox* ComboStopBits = nullptr;
    QComboBox* ComboParity = nullptr;
    QComboBox* ComboFlow = nullptr;
    QPushButton* ButtonOk = nullptr;
    QPushButton* ButtonCancel = nullptr;

    SerialSettings& port_;
    QDir folder_;
};

}  // namespace terval

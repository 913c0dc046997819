#pragma once

#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

namespace terval {

class DeviceTable;

// "Статистика связи": requests sent to the selected relay, good and bad answers, live while the
// station polls, and a reset of the three counters.
class TFormStat : public QDialog {
    Q_OBJECT
  public:
    TFormStat(DeviceTable& devices, QWidget* parent);

    // Handlers, callable without exec().
    void FormShow();
    void TimerTimer();
    // "Сброс": the selected relay's answer counters start again from zero.
    void Button1Click();
    // "OK": closes the window.
    void Button2Click();

  protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    // Controls under the names the station's description gives them, as the tests find them.
    QLabel* Label0 = nullptr;
    QLabel* LabelName = nullptr;
    QLabel* LAll = nullptr;
    QLabel* LTrue = nullptr;
    QLabel* LError = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* Button2 = nullptr;
    QTimer* Timer = nullptr;

    DeviceTable& devices_;
};

}  // namespace terval

#pragma once

#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <vector>

#include "app/alarm_window_model.h"

namespace terval {

// "Отложить сигнал": the operator picks one of the alarms offered (those of a relay, or the one
// selected in the alarm window), 1, 4 or 8 hours, and types why; nothing is shelved without a
// reason. Each control carries its name as its objectName, which is how the tests find it.
class TFormShelve : public QDialog {
    Q_OBJECT
  public:
    // `alarms` are the shelvable ones to choose from; the first is chosen at the start.
    TFormShelve(const std::vector<AlarmRow>& alarms, QWidget* parent);

    QString chosenId() const;
    int hours() const;
    QString reason() const;

  private:
    void updateButton();

    std::vector<AlarmRow> alarms_;
    QComboBox* comboAlarm_ = nullptr;
    QComboBox* comboHours_ = nullptr;
    QLineEdit* editReason_ = nullptr;
    QPushButton* btnShelve_ = nullptr;
    QPushButton* btnCancel_ = nullptr;
};

}  // namespace terval

#pragma once

#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <vector>

#include "app/alarm_window_model.h"
#include "station/clock.h"

namespace terval {

class AlarmBook;
class DeviceTable;

// "Аварийные сигналы": the alarms that are active or wait for acknowledgement, high priority first
// and the newest first within each, coloured by priority; the operator acknowledges, silences and
// shelves from here, and sees the shelved ones with the time they have left. It stays open beside
// the main window; the main window tells it when the alarms change, and it counts the shelves'
// time down each second by itself. Each control carries its name as its objectName (the tests find
// it by that).
class TFormAlarms : public QDialog {
    Q_OBJECT
  public:
    TFormAlarms(AlarmBook& book, const DeviceTable& devices, const Clock& clock, QWidget* parent);

    // Shows the window, or brings it up when it is open already.
    void showOrRaise();
    // Reads the alarms again; the selection stays on the same alarms where they still are.
    void refresh();
    // Selects the alarm's row, when it is shown.
    void selectAlarm(const QString& id);

    // Handlers, callable without a click.
    void acknowledgeClicked();
    void acknowledgeAllClicked();
    void silenceClicked();
    void shelveClicked();
    void unshelveClicked();
    // Asks for the time and reason of one of `ids` (the shelvable ones among them) and shelves
    // it; false when none could be or the operator cancelled. `parent` is whom the dialog is over.
    bool shelveOneOf(const std::vector<QString>& ids, QWidget* parent);

    // The ids of the rows as shown, top to bottom.
    std::vector<QString> shownIds() const;
    std::vector<QString> shelvedIds() const;

  protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

  private:
    std::vector<QString> selectedIds(const QTableWidget* table) const;
    void fillAlarms();
    void fillShelved();
    void updateButtons();
    qint64 nowMs() const;

    AlarmBook& book_;
    const DeviceTable& devices_;
    const Clock& clock_;
    std::vector<AlarmRow> rows_;
    std::vector<AlarmRow> shelvedRows_;

    QLabel* labelSummary_ = nullptr;
    QTableWidget* tableAlarms_ = nullptr;
    QTableWidget* tableShelved_ = nullptr;
    QPushButton* btnAcknowledge_ = nullptr;
    QPushButton* btnAcknowledgeAll_ = nullptr;
    QPushButton* btnSilence_ = nullptr;
    QPushButton* btnShelve_ = nullptr;
    QPushButton* btnUnshelve_ = nullptr;
    QPushButton* btnClose_ = nullptr;
    QTimer* timer_ = nullptr;
};

}  // namespace terval

#pragma once

#include <QDialog>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimeZone>
#include <optional>
#include <vector>

#include "journal/alarm_report.h"
#include "station/clock.h"
#include "station/message_sink.h"

class QFileDialog;

namespace terval {

class NamesOnlyIconProvider;

// "Отчёт по аварийным сигналам": for the journal window's period, how often each alarm of each
// relay was raised, the ten most frequent, the ones that chattered and the ones that stood for
// more than a day, one table each; the whole report can be saved to a CSV file.
class TFormAlarmReport : public QDialog {
    Q_OBJECT
  public:
    // `names` is the journal window's, which outlives this one.
    TFormAlarmReport(const QDir& workFolder, MessageSink& messages, const Clock& clock,
                     NamesOnlyIconProvider* names, QWidget* parent);
    ~TFormAlarmReport() override;

    void showReport(const AlarmReport& report);
    // While the report of this period is being read: its period, and nothing to save yet.
    void showPending(std::optional<qint64> fromMs, qint64 toMs);
    const AlarmReport& report() const { return report_; }

    // "Сохранить в CSV…": asks for the file, then saveTo().
    void saveClicked();
    // The save dialog, set to a new file name in the working folder.
    QFileDialog* saveDialog();
    // Writes the shown report to `path`, whole or not at all; the outcome goes to the message sink.
    bool saveTo(const QString& path);

  private:
    QTableWidget* newTable(const char* name);

    // Each control has an objectName of its own ("GridPerAlarm", "BtnSaveCsv"): the tests find it
    // by that.
    QLabel* labelPeriod_ = nullptr;
    QLabel* labelProblem_ = nullptr;
    QTabWidget* tabs_ = nullptr;
    std::vector<QTableWidget*> grids_;
    QPushButton* btnSave_ = nullptr;
    QPushButton* btnClose_ = nullptr;

    QDir workFolder_;
    MessageSink& messages_;
    const Clock& clock_;
    NamesOnlyIconProvider* names_;
    QTimeZone zone_ = QTimeZone::systemTimeZone();
    AlarmReport report_;
    bool pending_ = false;
    QFileDialog* saveDialog_ = nullptr;
};

}  // namespace terval

#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDialog>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QTimer>
#include <memory>
#include <optional>
#include <thread>

#include "journal/journal.h"
#include "station/clock.h"
#include "station/message_sink.h"

class QFileDialog;
class QVBoxLayout;

namespace terval {

class DeviceTable;
class NamesOnlyIconProvider;
class JournalTableModel;
class TFormAlarmReport;
struct AlarmReport;

// A protection event's trip protocol as the journal kept it, laid out as the parameter window's
// page of trip protocols, with the report file made again from it.
class TFormJournalProtocol : public QDialog {
    Q_OBJECT
  public:
    TFormJournalProtocol(const QDir& workFolder, MessageSink& messages, QWidget* parent);

    // Shows the record's relay, times and protocol; a record without a stored protocol says so.
    void showEntry(const JournalEntry& entry);
    // "Создать отчет": the report file of the shown protocol, under the names the record kept.
    void reportClicked();

  private:
    // Each control carries its name with a capital first letter as its objectName ("LabelName"):
    // the tests find it by that.
    QLabel* labelName_ = nullptr;
    QLabel* labelRelay_ = nullptr;
    QLabel* labelTimes_ = nullptr;
    QLabel* labelNoProtocol_ = nullptr;
    QLabel* labelReport_ = nullptr;
    QPushButton* btnReport_ = nullptr;
    QPushButton* btnClose_ = nullptr;

    QDir workFolder_;
    MessageSink& messages_;
    std::optional<JournalEntry> entry_;
    QWidget* protocol_ = nullptr;  // the groups of the protocol, hidden when there is none
};

// "Журнал событий": the station's journal, newest first, filtered by relay, kind, dates and text,
// read from journal.db a page at a time; a protection event opens its trip protocol, and what is
// shown can be taken out to a CSV file. It stays open beside the main window and shows new
// records as they come, without moving what the operator is looking at. Named as the station's
// other windows are; nothing else in it is bound to their older names.
class TFormJournal : public QDialog {
    Q_OBJECT
  public:
    // `journal` may be null, for a station that keeps none; the window then says so.
    TFormJournal(Journal* journal, const DeviceTable& devices, const QDir& workFolder,
                 MessageSink& messages, const Clock& clock, QWidget* parent);
    ~TFormJournal() override;

    // Shows the window, or brings it up when it is open already.
    void showOrRaise();

    // Handlers, callable without a click.
    // The filter as the controls set it, read from the first record again.
    void applyFilter();
    void refreshClicked();
    void protocolClicked();
    // Opens the protocol of the record in that row, when it is a protection event.
    bool openProtocol(int row);
    // "Выгрузить в CSV…": asks for the file, then exportTo().
    void exportClicked();
    // The save dialog of the export, set to a new file name in the working folder.
    QFileDialog* exportDialog();
    // Writes the records of the current filter to `path`; the outcome goes to the message sink.
    bool exportTo(const QString& path);
    // "Отчёт по сигналам": the alarm report of the chosen period (the relay, kind and text chosen
    // play no part) in a window of its own.
    void alarmReportClicked();
    TFormAlarmReport* alarmReportWindow() const { return alarmReportWindow_; }
    // A report is being read; its window shows it when it is done.
    bool alarmReportRunning() const { return reportRunning_; }
    // Every 2 s while open: new records are shown when the table is at its top.
    void showNewRecords();

    // The filter the controls set.
    JournalFilter currentFilter() const;
    JournalTableModel* model() const { return model_; }
    qint64 shownCount() const { return count_; }

  protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // The relays, the kinds, the dates and the text searched for, then the table.
    void prepareShow();
    void buildFilters(QVBoxLayout* column);
    void buildTable(QVBoxLayout* column);
    void buildBottom(QVBoxLayout* column);
    void fillRelays();
    void showCount();
    void showProblem();
    void updateProtocolButton();
    bool atTop() const;
    void sizeColumns();
    int currentRow() const;
    void alarmReportReady(const AlarmReport& report);

    // Each control has an objectName of its own ("ComboRelay", "TimerSearch", the protocol's
    // "FormJournalProtocol"): the tests find it by that.
    QComboBox* comboRelay_ = nullptr;
    QComboBox* comboKind_ = nullptr;
    QCheckBox* checkFrom_ = nullptr;
    QDateEdit* dateFrom_ = nullptr;
    QCheckBox* checkTo_ = nullptr;
    QDateEdit* dateTo_ = nullptr;
    QLineEdit* editSearch_ = nullptr;
    QLabel* labelCount_ = nullptr;
    QTableView* gridJournal_ = nullptr;
    QLabel* labelNews_ = nullptr;
    QLabel* labelProblem_ = nullptr;
    QPushButton* btnRefresh_ = nullptr;
    QPushButton* btnProtocol_ = nullptr;
    QPushButton* btnExport_ = nullptr;
    QPushButton* btnAlarmReport_ = nullptr;
    QPushButton* btnClose_ = nullptr;
    QTimer* searchTimer_ = nullptr;
    QTimer* refreshTimer_ = nullptr;
    TFormJournalProtocol* protocolWindow_ = nullptr;
    TFormAlarmReport* alarmReportWindow_ = nullptr;

    Journal* journal_;
    const DeviceTable& devices_;
    QDir workFolder_;
    MessageSink& messages_;
    const Clock& clock_;
    JournalTableModel* model_ = nullptr;
    qint64 count_ = 0;
    QString countError_;
    // The newest record of the whole journal when the table was last brought up to date: while it
    // stays the same, the refresh reads nothing more.
    std::optional<qint64> newestSeen_;
    // Records of the filter came that the table does not show yet, since it is not at its top.
    bool newsPending_ = false;
    bool placed_ = false;
    std::unique_ptr<NamesOnlyIconProvider> namesOnly_;
    QFileDialog* exportDialog_ = nullptr;
    std::thread reportThread_;
    bool reportRunning_ = false;
};

}  // namespace terval

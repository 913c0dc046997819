#include "windows/journal/form_alarm_report.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QStringList>
#include <QVBoxLayout>

#include "app/journal_export.h"
#include "widgets/widget_dialog.h"
#include "widgets/widget_save_dialog.h"

namespace terval {
namespace {

const QColor kNavy(0x00, 0x00, 0x80);

// The priorities in the alarm colours the operator knows from the rest of the station, dark
// enough to read on the table's white and pale rows.
QColor priorityColor(AlarmPriority priority) {
    switch (priority) {
        case AlarmPriority::High:
            return QColor(0xC0, 0x00, 0x00);
        case AlarmPriority::Medium:
            return QColor(0x9A, 0x5A, 0x00);
        case AlarmPriority::Low:
            break;
    }
    return QColor(0x3A, 0x3A, 0x6A);
}

// Numbers and short marks stand in the middle of their columns, as in the journal's table.
const QStringList kCentred{QStringLiteral("Место"),     QStringLiteral("Защита"),
                           QStringLiteral("Адрес"),     QStringLiteral("Появлений"),
                           QStringLiteral("Подавлено"), QStringLiteral("Наибольшее за минуту")};

const char* const kGridNames[] = {"GridPerAlarm", "GridMostFrequent", "GridChattering",
                                  "GridStanding"};

}  // namespace

TFormAlarmReport::TFormAlarmReport(const QDir& workFolder, MessageSink& messages,
                                   const Clock& clock, NamesOnlyIconProvider* names,
                                   QWidget* parent)
    : QDialog(parent), workFolder_(workFolder), messages_(messages), clock_(clock), names_(names) {
    setObjectName(QStringLiteral("FormAlarmReport"));
    setWindowTitle(QStringLiteral("Отчёт по аварийным сигналам"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
    keepOnScreen(this);
    setFont(namedFont(15));

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(12, 10, 12, 10);
    column->setSpacing(8);

    labelPeriod_ = plainLabel(this, QString(), "LabelPeriod");
    labelPeriod_->setFont(namedFont(17, true));
    setTextColor(labelPeriod_, kNavy);
    column->addWidget(labelPeriod_);

    tabs_ = new QTabWidget(this);
    tabs_->setObjectName(QStringLiteral("TabsReport"));
    tabs_->tabBar()->setFont(namedFont(15, true));
    for (const char* name : kGridNames) {
        QTableWidget* grid = newTable(name);
        grids_.push_back(grid);
        tabs_->addTab(grid, QString());
    }
    column->addWidget(tabs_, 1);

    labelProblem_ = problemLabel(this);
    column->addWidget(labelProblem_);

    btnSave_ = dialogButton(this, "BtnSaveCsv", QStringLiteral("Сохранить в CSV…"));
    btnClose_ = dialogButton(this, "BtnClose", QStringLiteral("Закрыть"));
    for (QPushButton* b : {btnSave_, btnClose_}) {
        b->setMinimumHeight(30);
        b->setMinimumWidth(std::max(110, b->sizeHint().width() + 16));
    }
    addButtonRow(column, {btnSave_, btnClose_});
    connect(btnSave_, &QPushButton::clicked, this, &TFormAlarmReport::saveClicked);
    connect(btnClose_, &QPushButton::clicked, this, &QDialog::reject);
    resize(1000, 560);
}

TFormAlarmReport::~TFormAlarmReport() {
    delete saveDialog_;
}

QTableWidget* TFormAlarmReport::newTable(const char* name) {
    auto* grid = new QTableWidget(this);
    grid->setObjectName(QString::fromLatin1(name));
    grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grid->setSelectionBehavior(QAbstractItemView::SelectRows);
    grid->setSelectionMode(QAbstractItemView::SingleSelection);
    grid->setAlternatingRowColors(true);
    grid->setWordWrap(false);
    grid->setTabKeyNavigation(false);
    grid->setCornerButtonEnabled(false);
    grid->verticalHeader()->hide();
    grid->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    grid->verticalHeader()->setDefaultSectionSize(grid->fontMetrics().height() + 8);
    QHeaderView* header = grid->horizontalHeader();
    header->setFont(namedFont(15, true));
    header->setHighlightSections(false);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header->setMinimumSectionSize(40);
    grid->setTextElideMode(Qt::ElideRight);
    return grid;
}

void TFormAlarmReport::showReport(const AlarmReport& report) {
    report_ = report;
    pending_ = false;
    labelPeriod_->setText(QStringLiteral("Период: ") + alarmReportPeriodText(report, zone_));
    labelProblem_->setText(report.error);
    labelProblem_->setVisible(!report.error.isEmpty());
    btnSave_->setEnabled(report.error.isEmpty());

    const std::vector<AlarmReportTable> tables = alarmReportTables(report, zone_);
    for (size_t t = 0; t < tables.size() && t < grids_.size(); ++t) {
        const AlarmReportTable& table = tables[t];
        QTableWidget* grid = grids_[t];
        tabs_->setTabText(static_cast<int>(t),
                          QStringLiteral("%1 (%2)").arg(table.title).arg(table.rows.size()));
        grid->clear();
        grid->setColumnCount(static_cast<int>(table.header.size()));
        grid->setHorizontalHeaderLabels(table.header);
        grid->setRowCount(static_cast<int>(table.rows.size()));
        for (int r = 0; r < grid->rowCount(); ++r) {
            const AlarmReportTable::Row& row = table.rows[static_cast<size_t>(r)];
            for (int c = 0; c < row.cells.size(); ++c) {
                auto* item = new QTableWidgetItem(row.cells[c]);
                if (kCentred.contains(table.header.value(c))) {
                    item->setTextAlignment(Qt::AlignCenter);
                }
                item->setForeground(priorityColor(row.priority));
                if (row.suppressed) {
                    item->setToolTip(
                        QStringLiteral("Часть появлений пришлась на потерю связи: они записаны, "
                                       "но не объявлялись оператору."));
                }
                grid->setItem(r, c, item);
            }
        }
        // Every column as wide as its widest cell or header, but the generator's, which takes
        // what is left: a name of any length is cut with an ellipsis there and shown whole in its
        // tip, and nothing else of the row goes out of sight.
        grid->resizeColumnsToContents();
        const int names = static_cast<int>(table.header.indexOf(QStringLiteral("Генератор")));
        for (int c = 0; c < grid->columnCount(); ++c) {
            grid->setColumnWidth(c, grid->columnWidth(c) + 10);
            grid->horizontalHeader()->setSectionResizeMode(
                c, c == names ? QHeaderView::Stretch : QHeaderView::Interactive);
        }
        if (names >= 0) {
            for (int r = 0; r < grid->rowCount(); ++r) {
                if (QTableWidgetItem* item = grid->item(r, names)) {
                    item->setToolTip(item->toolTip().isEmpty()
                                         ? item->text()
                                         : item->text() + QLatin1Char('\n') + item->toolTip());
                }
            }
        }
    }
}

void TFormAlarmReport::showPending(std::optional<qint64> fromMs, qint64 toMs) {
    AlarmReport pending;
    pending.fromMs = fromMs;
    pending.toMs = toMs;
    showReport(pending);
    labelPeriod_->setText(labelPeriod_->text() + QStringLiteral(" — отчёт составляется…"));
    btnSave_->setEnabled(false);
    pending_ = true;
}

QFileDialog* TFormAlarmReport::saveDialog() {
    if (!saveDialog_) {
        saveDialog_ = newSaveDialog(this, "DialogSaveReport",
                                    QStringLiteral("Сохранить отчёт по сигналам в CSV"),
                                    QStringLiteral("CSV (*.csv)"), QStringLiteral("csv"), names_);
    }
    saveDialog_->setDirectory(workFolder_.absolutePath());
    saveDialog_->selectFile(QStringLiteral("alarm-report-%1.csv")
                                .arg(clock_.now().toString(QStringLiteral("yyyyMMdd-HHmm"))));
    return saveDialog_;
}

void TFormAlarmReport::saveClicked() {
    const QString path = askSavePath(saveDialog());
    if (!path.isEmpty()) {
        saveTo(path);
    }
}

bool TFormAlarmReport::saveTo(const QString& path) {
    if (pending_) {
        messages_.showMessage(MessageIcon::Information,
                              QStringLiteral("Отчёт ещё составляется: сохраните его, когда он "
                                             "будет показан."));
        return false;
    }
    if (!report_.error.isEmpty()) {
        messages_.showMessage(MessageIcon::Error, report_.error);
        return false;
    }
    const QString target = QFileInfo(path).absoluteFilePath();
    if (const std::optional<QString> refusal = stationFileSaveRefusal(workFolder_, target)) {
        messages_.showMessage(MessageIcon::Error, *refusal);
        return false;
    }
    if (const FileError error = saveAlarmReportCsv(report_, target, zone_)) {
        messages_.showMessage(MessageIcon::Error, *error);
        return false;
    }
    messages_.showMessage(
        MessageIcon::Information,
        QStringLiteral("Отчёт по сигналам сохранён в ") + QDir::toNativeSeparators(target));
    return true;
}

}  // namespace terval

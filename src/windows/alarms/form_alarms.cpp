#include "windows/alarms/form_alarms.h"

#include <QHeaderView>
#include <QSet>
#include <QShowEvent>
#include <QVBoxLayout>

#include "alarms/alarm_book.h"
#include "devices/device_table.h"
#include "widgets/widget_dialog.h"
#include "windows/alarms/form_shelve.h"

namespace terval {

namespace {

QTableWidget* alarmTable(QWidget* parent, const char* name, const QStringList& headers,
                         const std::vector<int>& widths) {
    auto* table = new QTableWidget(0, static_cast<int>(headers.size()), parent);
    table->setObjectName(QString::fromLatin1(name));
    table->setHorizontalHeaderLabels(headers);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    table->setWordWrap(false);
    table->setTextElideMode(Qt::ElideRight);
    table->verticalHeader()->setVisible(false);
    table->verticalHeader()->setDefaultSectionSize(table->fontMetrics().height() + 8);
    table->horizontalHeader()->setHighlightSections(false);
    table->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    for (int i = 0; i < static_cast<int>(widths.size()); ++i) {
        table->setColumnWidth(i, widths[static_cast<size_t>(i)]);
    }
    // The text column takes what is left, so that nothing needs a horizontal scroll bar.
    table->horizontalHeader()->setStretchLastSection(false);
    return table;
}

// A cell shows its whole text under the mouse pointer when the column is too narrow for it. The
// rows are written again at every change of any alarm, a few a second in a flood: an item is
// made once and then only told what differs, so that the table redraws just that.
void setCell(QTableWidget* table, int r, int c, const QString& text, const AlarmRow& row,
             bool coloured) {
    QTableWidgetItem* item = table->item(r, c);
    if (item == nullptr) {
        item = new QTableWidgetItem;
        table->setItem(r, c, item);
    }
    if (item->text() != text) {
        item->setText(text);
        item->setToolTip(text);
    }
    if (c == 0 && item->data(Qt::UserRole).toString() != row.id) {
        item->setData(Qt::UserRole, row.id);
    }
    if (!coloured) {
        return;
    }
    const QColor background(row.background.red, row.background.green, row.background.blue);
    const QColor foreground(row.foreground.red, row.foreground.green, row.foreground.blue);
    if (item->background().color() != background) {
        item->setBackground(background);
    }
    if (item->foreground().color() != foreground) {
        item->setForeground(foreground);
    }
    if (item->font().bold() != row.emphasised) {
        QFont f = table->font();
        f.setBold(row.emphasised);
        item->setFont(f);
    }
}

void setSelectedIds(QTableWidget* table, const QSet<QString>& ids) {
    table->clearSelection();
    for (int r = 0; r < table->rowCount(); ++r) {
        if (ids.contains(table->item(r, 0)->data(Qt::UserRole).toString())) {
            table->selectionModel()->select(
                table->model()->index(r, 0),
                QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
    }
}

}  // namespace

TFormAlarms::TFormAlarms(AlarmBook& book, const DeviceTable& devices, const Clock& clock,
                         QWidget* parent)
    : QDialog(parent), book_(book), devices_(devices), clock_(clock) {
    setObjectName(QStringLiteral("FormAlarms"));
    setWindowTitle(QStringLiteral("Аварийные сигналы"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFont(namedFont(15));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(12, 12, 12, 12);
    column->setSpacing(8);

    labelSummary_ = plainLabel(this, QString(), "LabelSummary");
    labelSummary_->setFont(namedFont(16, true));
    column->addWidget(labelSummary_);

    tableAlarms_ = alarmTable(
        this, "TableAlarms",
        {QStringLiteral("Возникла"), QStringLiteral("Вернулась"), QStringLiteral("Защита"),
         QStringLiteral("Сигнал"), QStringLiteral("Приоритет"), QStringLiteral("Состояние")},
        {135, 135, 120, 260, 80, 215});
    tableAlarms_->horizontalHeader()->setSectionResizeMode(3, QHeaderView::Stretch);
    column->addWidget(tableAlarms_, 3);

    btnAcknowledge_ = dialogButton(this, "BtnAcknowledge", QStringLiteral("Квитировать"));
    btnAcknowledgeAll_ = dialogButton(this, "BtnAcknowledgeAll", QStringLiteral("Квитировать все"));
    btnSilence_ = dialogButton(this, "BtnSilence", QStringLiteral("Заглушить"));
    btnSilence_->setToolTip(QStringLiteral("Остановить звук, не квитируя (Ctrl+Пробел)"));
    btnShelve_ = dialogButton(this, "BtnShelve", QStringLiteral("Отложить..."));
    {
        auto* row = new QHBoxLayout;
        for (QPushButton* b : {btnAcknowledge_, btnAcknowledgeAll_, btnSilence_, btnShelve_}) {
            b->setMinimumHeight(30);
            b->setMinimumWidth(130);
            row->addWidget(b);
        }
        row->addStretch(1);
        column->addLayout(row);
    }

    auto* shelvedHeading = plainLabel(this, QStringLiteral("Отложенные сигналы"), "LabelShelved");
    shelvedHeading->setFont(namedFont(16, true));
    column->addSpacing(4);
    column->addWidget(shelvedHeading);
    tableShelved_ =
        alarmTable(this, "TableShelved",
                   {QStringLiteral("Осталось"), QStringLiteral("Защита"), QStringLiteral("Сигнал"),
                    QStringLiteral("Причина"), QStringLiteral("Отложил")},
                   {110, 120, 300, 300, 120});
    tableShelved_->horizontalHeader()->setSectionResizeMode(3, QHeaderView::Stretch);
    column->addWidget(tableShelved_, 1);

    btnUnshelve_ = dialogButton(this, "BtnUnshelve", QStringLiteral("Вернуть"));
    btnUnshelve_->setToolTip(QStringLiteral("Снять выбранные сигналы с полки"));
    btnClose_ = dialogButton(this, "BtnClose", QStringLiteral("Закрыть"));
    for (QPushButton* b : {btnUnshelve_, btnClose_}) {
        b->setMinimumHeight(30);
        b->setMinimumWidth(130);
    }
    {
        auto* row = new QHBoxLayout;
        row->addWidget(btnUnshelve_);
        row->addStretch(1);
        row->addWidget(btnClose_);
        column->addLayout(row);
    }

    connect(btnAcknowledge_, &QPushButton::clicked, this, &TFormAlarms::acknowledgeClicked);
    connect(btnAcknowledgeAll_, &QPushButton::clicked, this, &TFormAlarms::acknowledgeAllClicked);
    connect(btnSilence_, &QPushButton::clicked, this, &TFormAlarms::silenceClicked);
    connect(btnShelve_, &QPushButton::clicked, this, &TFormAlarms::shelveClicked);
    connect(btnUnshelve_, &QPushButton::clicked, this, &TFormAlarms::unshelveClicked);
    connect(btnClose_, &QPushButton::clicked, this, &QDialog::hide);
    for (QTableWidget* t : {tableAlarms_, tableShelved_}) {
        connect(t->selectionModel(), &QItemSelectionModel::selectionChanged, this,
                [this] { updateButtons(); });
    }

    // The shelves' remaining time, while the window is on the screen.
    timer_ = new QTimer(this);
    timer_->setInterval(1000);
    connect(timer_, &QTimer::timeout, this, [this] { fillShelved(); });

    // Fits a 1024 × 768 screen with its panels; larger screens may have it larger.
    setMinimumSize(760, 420);
    resize(980, 600);
    keepOnScreen(this);
    refresh();
}

void TFormAlarms::showOrRaise() {
    refresh();
    showInFront(this);
}

qint64 TFormAlarms::nowMs() const {
    return clock_.now().toMSecsSinceEpoch();
}

void TFormAlarms::refresh() {
    fillAlarms();
    fillShelved();
}

void TFormAlarms::fillAlarms() {
    const std::vector<QString> kept = selectedIds(tableAlarms_);
    rows_ = alarmRows(book_.shown(), devices_, nowMs());
    const QSignalBlocker quiet(tableAlarms_->selectionModel());
    tableAlarms_->setRowCount(static_cast<int>(rows_.size()));
    for (int r = 0; r < static_cast<int>(rows_.size()); ++r) {
        const AlarmRow& row = rows_[static_cast<size_t>(r)];
        const QString texts[] = {row.raised, row.returned, row.relay,
                                 row.text,   row.priority, row.state};
        for (int c = 0; c < 6; ++c) {
            setCell(tableAlarms_, r, c, texts[c], row, true);
        }
    }
    setSelectedIds(tableAlarms_, QSet<QString>(kept.begin(), kept.end()));
    const int unacknowledged = book_.unacknowledgedCount();
    labelSummary_->setText(rows_.empty() ? QStringLiteral("Активных сигналов нет")
                                         : QStringLiteral("Сигналов: %1.   %2")
                                               .arg(rows_.size())
                                               .arg(unacknowledgedCounterText(unacknowledged)));
    setTextColor(labelSummary_,
                 unacknowledged > 0 ? QColor(0xB0, 0x00, 0x00) : QColor(0x00, 0x60, 0x00));
    updateButtons();
}

void TFormAlarms::fillShelved() {
    const std::vector<QString> kept = selectedIds(tableShelved_);
    shelvedRows_.clear();
    for (const Alarm& a : book_.shelvedAlarms()) {
        shelvedRows_.push_back(alarmRow(a, devices_, nowMs()));
    }
    const QSignalBlocker quiet(tableShelved_->selectionModel());
    tableShelved_->setRowCount(static_cast<int>(shelvedRows_.size()));
    for (int r = 0; r < static_cast<int>(shelvedRows_.size()); ++r) {
        const AlarmRow& row = shelvedRows_[static_cast<size_t>(r)];
        // A station whose user the system does not name still shows that the column is empty
        // on purpose.
        const QString by = row.shelvedBy.isEmpty() ? QStringLiteral("—") : row.shelvedBy;
        const QString texts[] = {row.shelfRemaining, row.relay, row.text, row.shelfReason, by};
        for (int c = 0; c < 5; ++c) {
            setCell(tableShelved_, r, c, texts[c], row, false);
        }
    }
    setSelectedIds(tableShelved_, QSet<QString>(kept.begin(), kept.end()));
    updateButtons();
}

std::vector<QString> TFormAlarms::selectedIds(const QTableWidget* table) const {
    std::vector<QString> ids;
    for (const QModelIndex& index : table->selectionModel()->selectedRows()) {
        ids.push_back(table->item(index.row(), 0)->data(Qt::UserRole).toString());
    }
    return ids;
}

std::vector<QString> TFormAlarms::shownIds() const {
    std::vector<QString> ids;
    for (const AlarmRow& row : rows_) {
        ids.push_back(row.id);
    }
    return ids;
}

std::vector<QString> TFormAlarms::shelvedIds() const {
    std::vector<QString> ids;
    for (const AlarmRow& row : shelvedRows_) {
        ids.push_back(row.id);
    }
    return ids;
}

void TFormAlarms::selectAlarm(const QString& id) {
    setSelectedIds(tableAlarms_, {id});
    for (int r = 0; r < tableAlarms_->rowCount(); ++r) {
        if (tableAlarms_->item(r, 0)->data(Qt::UserRole).toString() == id) {
            tableAlarms_->scrollToItem(tableAlarms_->item(r, 0));
        }
    }
    updateButtons();
}

void TFormAlarms::updateButtons() {
    const std::vector<QString> selected = selectedIds(tableAlarms_);
    bool anyUnacknowledged = false;
    bool allUnacknowledged = false;
    for (const AlarmRow& row : rows_) {
        const bool waits = row.emphasised;
        allUnacknowledged = allUnacknowledged || waits;
        if (waits && std::find(selected.begin(), selected.end(), row.id) != selected.end()) {
            anyUnacknowledged = true;
        }
    }
    btnAcknowledge_->setEnabled(anyUnacknowledged);
    btnAcknowledgeAll_->setEnabled(allUnacknowledged);
    btnSilence_->setEnabled(!book_.silenced());

    // One alarm at a time: each shelf has its own reason.
    const AlarmRow* chosen = nullptr;
    if (selected.size() == 1) {
        for (const AlarmRow& row : rows_) {
            if (row.id == selected.front()) {
                chosen = &row;
            }
        }
    }
    btnShelve_->setEnabled(chosen && chosen->shelvable);
    btnShelve_->setToolTip(chosen && !chosen->shelvable
                               ? chosen->shelveRefusal
                               : QStringLiteral("Отложить выбранный сигнал на 1, 4 или 8 часов"));
    btnUnshelve_->setEnabled(!selectedIds(tableShelved_).empty());
}

void TFormAlarms::acknowledgeClicked() {
    book_.acknowledgeAll(selectedIds(tableAlarms_));
    refresh();
}

void TFormAlarms::acknowledgeAllClicked() {
    book_.acknowledgeAll(shownIds());
    refresh();
}

void TFormAlarms::silenceClicked() {
    book_.silence();
    updateButtons();
}

void TFormAlarms::shelveClicked() {
    shelveOneOf(selectedIds(tableAlarms_), this);
}

bool TFormAlarms::shelveOneOf(const std::vector<QString>& ids, QWidget* parent) {
    std::vector<AlarmRow> candidates;
    for (const QString& id : ids) {
        const std::optional<Alarm> alarm = book_.find(id);
        if (alarm && alarmShelvable(alarm->kind) && !alarm->shelved()) {
            candidates.push_back(alarmRow(*alarm, devices_, nowMs()));
        }
    }
    if (candidates.empty()) {
        return false;
    }
    TFormShelve dialog(candidates, parent ? parent : this);
    if (dialog.exec() != QDialog::Accepted) {
        return false;
    }
    const bool done = book_.shelve(dialog.chosenId(), dialog.hours(), dialog.reason());
    refresh();
    return done;
}

void TFormAlarms::unshelveClicked() {
    for (const QString& id : selectedIds(tableShelved_)) {
        book_.unshelve(id);
    }
    refresh();
}

void TFormAlarms::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    timer_->start();
}

void TFormAlarms::hideEvent(QHideEvent* event) {
    timer_->stop();
    QDialog::hideEvent(event);
}

}  // namespace terval

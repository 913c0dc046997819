#include "windows/journal/form_journal.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHideEvent>
#include <QIdentityProxyModel>
#include <QKeyEvent>
#include <QLocale>
#include <QScrollBar>
#include <QShowEvent>
#include <QVBoxLayout>
#include <algorithm>

#include "app/journal_export.h"
#include "devices/device_table.h"
#include "devices/error_text.h"
#include "journal/alarm_report.h"
#include "journal/journal_csv.h"
#include "journal/journal_table_model.h"
#include "param/param_controls.h"
#include "poll/protocol_pages.h"
#include "poll/report_file.h"
#include "widgets/widget_dialog.h"
#include "widgets/widget_led.h"
#include "widgets/widget_save_dialog.h"
#include "windows/journal/form_alarm_report.h"
#include "windows/param/form_param.h"

namespace terval {

using namespace param_controls;

namespace {

const QColor kNavy(0x00, 0x00, 0x80);
const QColor kDarkRed(0xB0, 0x00, 0x00);
const QColor kSeenGreen(0x00, 0x80, 0x00);

constexpr int kSearchPauseMs = 400;
constexpr int kRefreshMs = 2000;

// A protection event reads red as it does in the alarm log, an acknowledgement green as a line
// that has been seen there; the rest in quiet colours that still tell the kinds apart.
QColor groupColor(JournalGroup group) {
    switch (group) {
        case JournalGroup::Protection:
            return QColor(Qt::red);
        case JournalGroup::Acknowledgement:
            return kSeenGreen;
        case JournalGroup::Link:
            return QColor(0x3A, 0x5A, 0x7A);
        case JournalGroup::Write:
            return kNavy;
        case JournalGroup::Alarm:
            return QColor(0xA0, 0x30, 0x00);
        case JournalGroup::Clock:
        case JournalGroup::Devices:
        case JournalGroup::Station:
            return QColor(0x4A, 0x4A, 0x4A);
        case JournalGroup::Unknown:
            break;
    }
    return QColor(0x80, 0x80, 0x80);
}

QString alarmChangeText(AlarmChange change) {
    switch (change) {
        case AlarmChange::Raised:
            return QStringLiteral("появился");
        case AlarmChange::Returned:
            return QStringLiteral("вернулся в норму");
        case AlarmChange::Acknowledged:
            return QStringLiteral("квитирован");
        case AlarmChange::Shelved:
            return QStringLiteral("отложен");
        case AlarmChange::Unshelved:
            return QStringLiteral("снят с отложенных");
        case AlarmChange::Suppressed:
            return QStringLiteral("подавлен на время потери связи");
        case AlarmChange::Unsuppressed:
            return QStringLiteral("подавление снято");
        case AlarmChange::Restored:
            return QStringLiteral("восстановлен при запуске");
        case AlarmChange::Removed:
            return QStringLiteral("снят: защита удалена из списка");
    }
    return QString();
}

// Everything an alarm's record keeps, one fact a line, for the tip of its row: the line of the
// table says what happened, the tip who did it, when the alarm came and went, and its shelf.
QString alarmDetailsText(const AlarmDetails& d) {
    const Alarm& a = d.alarm;
    const auto time = [](const std::optional<qint64>& ms) {
        return QDateTime::fromMSecsSinceEpoch(*ms).toString(QStringLiteral("dd.MM.yyyy HH:mm:ss"));
    };
    QStringList lines{QStringLiteral("Сигнал: %1, приоритет %2")
                          .arg(alarmKindText(a.kind), alarmPriorityText(alarmPriority(a.kind))),
                      QStringLiteral("Изменение: ") + alarmChangeText(d.change),
                      QStringLiteral("Состояние: ") + alarmStateText(a.state)};
    if (a.raisedAtMs) {
        lines << QStringLiteral("Появился: ") + time(a.raisedAtMs);
    }
    if (a.returnedAtMs) {
        lines << QStringLiteral("Вернулся в норму: ") + time(a.returnedAtMs);
    }
    if (a.acknowledgedAtMs) {
        lines << QStringLiteral("Квитирован: ") + time(a.acknowledgedAtMs);
    }
    if (a.shelvedUntilMs) {
        lines << QStringLiteral("Отложен до %1: %2").arg(time(a.shelvedUntilMs), a.shelfReason);
        if (!a.shelvedBy.isEmpty()) {
            lines << QStringLiteral("Отложил: ") + a.shelvedBy;
        }
    }
    if (a.suppressed) {
        lines << QStringLiteral("Подавлен: связь потеряна, оператору не объявлялся");
    }
    if (!d.user.isEmpty()) {
        lines << QStringLiteral("Пользователь: ") + d.user;
    }
    return lines.join(QLatin1Char('\n'));
}

// The rows of the journal's model in the colours of their kinds, an alarm's record with its
// details in the tip of its event; paging and everything else pass through unchanged.
class JournalRowColors final : public QIdentityProxyModel {
  public:
    using QIdentityProxyModel::QIdentityProxyModel;
    QVariant data(const QModelIndex& index, int role) const override {
        if (role == Qt::ForegroundRole) {
            const QVariant group = QIdentityProxyModel::data(index, JournalTableModel::GroupRole);
            if (group.isValid()) {
                return groupColor(static_cast<JournalGroup>(group.toInt()));
            }
        }
        if (role == Qt::ToolTipRole && index.column() == JournalTableModel::Text) {
            const auto* model = static_cast<const JournalTableModel*>(sourceModel());
            const JournalEntry* e = model ? model->entry(index.row()) : nullptr;
            if (const auto* d = e ? std::get_if<AlarmDetails>(&e->details) : nullptr) {
                return e->text + QStringLiteral("\n\n") + alarmDetailsText(*d);
            }
        }
        return QIdentityProxyModel::data(index, role);
    }
};

const JournalGroup kFilterGroups[] = {JournalGroup::Protection,      JournalGroup::Alarm,
                                      JournalGroup::Acknowledgement, JournalGroup::Link,
                                      JournalGroup::Write,           JournalGroup::Clock,
                                      JournalGroup::Devices,         JournalGroup::Station};

QString countText(qint64 n) {
    return QLocale(QLocale::Russian, QLocale::Russia).toString(n);
}

// "Выгружена 21 запись", "Выгружено 1 022 записи", "Выгружено 25 записей": the count grouped as
// the window's count is.
QString exportedText(qint64 n, const QString& path) {
    const bool one = n % 10 == 1 && n % 100 != 11;
    const QString noun = russianCount(n, QStringLiteral("запись"), QStringLiteral("записи"),
                                      QStringLiteral("записей"))
                             .section(QLatin1Char(' '), 1);
    return (one ? QStringLiteral("Выгружена ") : QStringLiteral("Выгружено ")) + countText(n) +
           QLatin1Char(' ') + noun + QStringLiteral(" в ") + QDir::toNativeSeparators(path);
}

}  // namespace

// ---- the protocol of one record ----

TFormJournalProtocol::TFormJournalProtocol(const QDir& workFolder, MessageSink& messages,
                                           QWidget* parent)
    : QDialog(parent), workFolder_(workFolder), messages_(messages) {
    QVBoxLayout* column = setUpFixedDialog(this, "FormJournalProtocol",
                                           QStringLiteral("Протокол срабатывания защиты"));
    setFont(namedFont(15));
    column->setSpacing(8);

    labelName_ = plainLabel(this, QString(), "LabelName");
    labelName_->setFont(namedFont(26, true));
    setTextColor(labelName_, kNavy);
    column->addWidget(labelName_);
    labelRelay_ = plainLabel(this, QString(), "LabelRelay");
    labelRelay_->setFont(namedFont(16, true));
    column->addWidget(labelRelay_);
    labelTimes_ = plainLabel(this, QString(), "LabelTimes");
    column->addWidget(labelTimes_);

    protocol_ = new QWidget(this);
    protocol_->setObjectName(QStringLiteral("PanelProtocol"));
    auto* row = new QHBoxLayout(protocol_);
    row->setContentsMargins(0, 6, 0, 0);
    row->setSpacing(14);
    const TripProtocolGroups trip = buildTripProtocolGroups(protocol_);
    auto* left = new QVBoxLayout;
    left->setSpacing(10);
    left->addWidget(trip.stamp);
    left->addWidget(trip.status);
    left->addWidget(trip.signLamps);
    left->addStretch(1);
    row->addLayout(left);
    auto* right = new QVBoxLayout;
    right->setSpacing(10);
    right->addLayout(trip.signRow);
    right->addWidget(trip.values);
    right->addStretch(1);
    row->addLayout(right, 1);
    column->addWidget(protocol_);

    labelNoProtocol_ = plainLabel(this, QString(), "LabelNoProtocol");
    labelNoProtocol_->setFont(namedFont(16, true));
    setTextColor(labelNoProtocol_, kDarkRed);
    labelNoProtocol_->setWordWrap(true);
    labelNoProtocol_->hide();
    column->addWidget(labelNoProtocol_);

    labelReport_ = plainLabel(this, QString(), "LabelReport");
    setTextColor(labelReport_, kSeenGreen);
    labelReport_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    column->addWidget(labelReport_);

    btnReport_ = dialogButton(this, "BtnReport", QStringLiteral("Создать отчет"));
    btnClose_ = dialogButton(this, "BtnClose", QStringLiteral("Закрыть"));
    for (QPushButton* b : {btnReport_, btnClose_}) {
        b->setMinimumHeight(30);
    }
    btnReport_->setMinimumWidth(160);
    addButtonRow(column, {btnReport_, btnClose_});
    connect(btnReport_, &QPushButton::clicked, this, &TFormJournalProtocol::reportClicked);
    connect(btnClose_, &QPushButton::clicked, this, &QDialog::reject);
}

void TFormJournalProtocol::showEntry(const JournalEntry& entry) {
    entry_ = entry;
    labelReport_->clear();
    const auto* event = std::get_if<ProtectionEventDetails>(&entry.details);
    if (entry.relay) {
        labelName_->setText(entry.relay->generator);
        labelRelay_->setText(QStringLiteral("Защита %1, адрес %2, выключатель %3")
                                 .arg(entry.relay->number)
                                 .arg(entry.relay->address)
                                 .arg(entry.relay->breaker));
    } else {
        labelName_->setText(QStringLiteral("Защита не указана"));
        labelRelay_->clear();
    }
    QString times = QStringLiteral("Записано станцией: ") +
                    entry.localTime().toString(QStringLiteral("dd.MM.yyyy HH:mm:ss"));
    if (event && event->relayTime.isValid()) {
        times += QStringLiteral("      по часам защиты: ") +
                 event->relayTime.toString(QStringLiteral("dd.MM.yyyy HH:mm:ss"));
    }
    labelTimes_->setText(times);

    const bool stored = event && event->record;
    protocol_->setVisible(stored);
    labelNoProtocol_->setVisible(!stored);
    btnReport_->setEnabled(stored && entry.relay);
    if (!stored) {
        const QString sign = event && !event->signText.isEmpty()
                                 ? QStringLiteral("Признак: %1.\n").arg(event->signText)
                                 : QString();
        labelNoProtocol_->setText(
            sign + QStringLiteral("Протокол срабатывания этого события в журнале не сохранён."));
        return;
    }
    RegisterWords words{};
    std::copy(event->record->begin(), event->record->end(), words.begin());
    const TripProtocolPage page = decodeTripProtocol(words);
    const auto setPanel = [this](const QString& name, const QString& text) {
        if (auto* label = protocol_->findChild<QLabel*>(name)) {
            label->setText(text);
        }
    };
    setPanel(kTripNumber, page.number);
    setPanel(kTripDate, page.date);
    setPanel(kTripTime, page.time);
    setPanel(kTripSign, page.sign);
    using namespace registers::trip;
    for (int word : {kInsulationResistance, kRemoteness, kAlpha1, kAlpha2, kExcitationVoltage,
                     kInjectedVoltage}) {
        setPanel(tripValuePanel(word), page.value(word));
    }
    for (int bit = 0; bit < registers::kStatusBits; ++bit) {
        if (auto* led = protocol_->findChild<LedIndicator*>(tripStatusLamp(bit))) {
            led->setLit(page.status[static_cast<size_t>(bit)]);
        }
    }
}

void TFormJournalProtocol::reportClicked() {
    if (!entry_ || !entry_->relay) {
        return;
    }
    const auto* event = std::get_if<ProtectionEventDetails>(&entry_->details);
    if (!event || !event->record) {
        return;
    }
    RegisterWords words{};
    std::copy(event->record->begin(), event->record->end(), words.begin());
    // The names the relay had when the event came, which the device table may have changed since.
    const ReportOutcome outcome = writeTripReport(
        workFolder_, entry_->relay->generator, entry_->relay->address, decodeTripProtocol(words));
    if (outcome.error) {
        labelReport_->clear();
        messages_.showMessage(MessageIcon::Error, *outcome.error);
        return;
    }
    labelReport_->setText(QStringLiteral("Отчет записан: ") +
                          QDir::toNativeSeparators(outcome.path));
}

// ---- the journal ----

TFormJournal::TFormJournal(Journal* journal, const DeviceTable& devices, const QDir& workFolder,
                           MessageSink& messages, const Clock& clock, QWidget* parent)
    : QDialog(parent),
      journal_(journal),
      devices_(devices),
      workFolder_(workFolder),
      messages_(messages),
      clock_(clock),
      namesOnly_(std::make_unique<NamesOnlyIconProvider>()) {
    setObjectName(QStringLiteral("FormJournal"));
    keepOnScreen(this);
    setWindowTitle(QStringLiteral("Журнал событий"));
    // A window of its own beside the main one, as large as the operator wants it.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    setFont(namedFont(15));

    model_ = new JournalTableModel(journal_, this);
    connect(model_, &JournalTableModel::errorChanged, this, &TFormJournal::showProblem);
    connect(model_, &JournalTableModel::limitReached, this, &TFormJournal::showProblem);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(10, 10, 10, 10);
    column->setSpacing(8);
    buildFilters(column);
    buildTable(column);
    buildBottom(column);

    searchTimer_ = new QTimer(this);
    searchTimer_->setObjectName(QStringLiteral("TimerSearch"));
    searchTimer_->setSingleShot(true);
    searchTimer_->setInterval(kSearchPauseMs);
    connect(searchTimer_, &QTimer::timeout, this, &TFormJournal::applyFilter);
    refreshTimer_ = new QTimer(this);
    refreshTimer_->setObjectName(QStringLiteral("TimerRefresh"));
    refreshTimer_->setInterval(kRefreshMs);
    connect(refreshTimer_, &QTimer::timeout, this, &TFormJournal::showNewRecords);

    protocolWindow_ = new TFormJournalProtocol(workFolder_, messages_, this);
    alarmReportWindow_ =
        new TFormAlarmReport(workFolder_, messages_, clock_, namesOnly_.get(), this);

    QWidget* const order[] = {comboRelay_, comboKind_,      checkFrom_,   dateFrom_,   checkTo_,
                              dateTo_,     editSearch_,     gridJournal_, btnRefresh_, btnProtocol_,
                              btnExport_,  btnAlarmReport_, btnClose_};
    for (size_t i = 1; i < std::size(order); ++i) {
        QWidget::setTabOrder(order[i - 1], order[i]);
    }
    resize(1180, 680);
}

TFormJournal::~TFormJournal() {
    // A report being read finishes first; what it posts back goes with this window.
    if (reportThread_.joinable()) {
        reportThread_.join();
    }
    // Before the icon provider it uses, which goes with the members.
    delete exportDialog_;
}

void TFormJournal::buildFilters(QVBoxLayout* column) {
    auto* box = new QGroupBox(QStringLiteral(" Отбор записей "), this);
    box->setObjectName(QStringLiteral("GroupBoxFilter"));
    auto* grid = new QGridLayout(box);
    grid->setContentsMargins(10, 8, 10, 8);
    grid->setHorizontalSpacing(10);
    grid->setVerticalSpacing(6);

    comboRelay_ = new QComboBox(box);
    comboRelay_->setObjectName(QStringLiteral("ComboRelay"));
    comboRelay_->setMinimumWidth(320);
    comboRelay_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    comboKind_ = new QComboBox(box);
    comboKind_->setObjectName(QStringLiteral("ComboKind"));
    comboKind_->addItem(QStringLiteral("Все записи"), -1);
    for (JournalGroup group : kFilterGroups) {
        comboKind_->addItem(journalGroupName(group), static_cast<int>(group));
    }
    comboKind_->setMinimumWidth(220);

    const QDate today = clock_.now().date();
    const auto datePicker = [box, today](const char* name) {
        auto* picker = new QDateEdit(today, box);
        picker->setObjectName(QString::fromLatin1(name));
        picker->setDisplayFormat(QStringLiteral("dd.MM.yyyy"));
        picker->setCalendarPopup(true);
        picker->setEnabled(false);
        picker->setMinimumWidth(130);
        return picker;
    };
    checkFrom_ = new QCheckBox(QStringLiteral("с"), box);
    checkFrom_->setObjectName(QStringLiteral("CheckFrom"));
    dateFrom_ = datePicker("DateFrom");
    checkTo_ = new QCheckBox(QStringLiteral("по"), box);
    checkTo_->setObjectName(QStringLiteral("CheckTo"));
    dateTo_ = datePicker("DateTo");
    auto* period = new QHBoxLayout;
    period->setSpacing(8);
    period->addWidget(checkFrom_);
    period->addWidget(dateFrom_);
    period->addSpacing(12);
    period->addWidget(checkTo_);
    period->addWidget(dateTo_);
    period->addStretch(1);

    editSearch_ = new QLineEdit(box);
    editSearch_->setObjectName(QStringLiteral("EditSearch"));
    editSearch_->setPlaceholderText(QStringLiteral("текст события, генератор или выключатель"));
    editSearch_->setClearButtonEnabled(true);

    labelCount_ = plainLabel(box, QString(), "LabelCount");
    labelCount_->setFont(namedFont(16, true));
    setTextColor(labelCount_, kNavy);
    labelCount_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    grid->addWidget(plainLabel(box, QStringLiteral("Защита:")), 0, 0);
    grid->addWidget(comboRelay_, 0, 1);
    grid->addWidget(plainLabel(box, QStringLiteral("Вид:")), 0, 2);
    grid->addWidget(comboKind_, 0, 3);
    grid->addWidget(labelCount_, 0, 4);
    grid->addWidget(plainLabel(box, QStringLiteral("Период:")), 1, 0);
    grid->addLayout(period, 1, 1);
    grid->addWidget(plainLabel(box, QStringLiteral("Поиск:")), 1, 2);
    grid->addWidget(editSearch_, 1, 3, 1, 2);
    grid->setColumnStretch(4, 1);
    column->addWidget(box);

    const auto comboChanged = QOverload<int>::of(&QComboBox::currentIndexChanged);
    connect(comboRelay_, comboChanged, this, &TFormJournal::applyFilter);
    connect(comboKind_, comboChanged, this, &TFormJournal::applyFilter);
    for (auto [check, picker] : {std::pair{checkFrom_, dateFrom_}, std::pair{checkTo_, dateTo_}}) {
        connect(check, &QCheckBox::toggled, picker, &QWidget::setEnabled);
        connect(check, &QCheckBox::toggled, this, &TFormJournal::applyFilter);
        connect(picker, &QDateEdit::dateChanged, this, [this, checkBox = check] {
            if (checkBox->isChecked()) {
                applyFilter();
            }
        });
    }
    // A search runs once the operator pauses, not at every letter typed.
    connect(editSearch_, &QLineEdit::textChanged, this, [this] { searchTimer_->start(); });
    connect(editSearch_, &QLineEdit::returnPressed, this, [this] {
        searchTimer_->stop();
        applyFilter();
    });
}

void TFormJournal::buildTable(QVBoxLayout* column) {
    gridJournal_ = new QTableView(this);
    gridJournal_->setObjectName(QStringLiteral("GridJournal"));
    auto* colors = new JournalRowColors(this);
    colors->setSourceModel(model_);
    gridJournal_->setModel(colors);
    gridJournal_->setSelectionBehavior(QAbstractItemView::SelectRows);
    gridJournal_->setSelectionMode(QAbstractItemView::SingleSelection);
    gridJournal_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    gridJournal_->setAlternatingRowColors(true);
    gridJournal_->setWordWrap(false);
    gridJournal_->setTextElideMode(Qt::ElideRight);
    gridJournal_->setCornerButtonEnabled(false);
    // Tab leaves the table for the next control, as everywhere else in the window; the arrows move
    // through the rows.
    gridJournal_->setTabKeyNavigation(false);
    gridJournal_->verticalHeader()->hide();
    gridJournal_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    gridJournal_->verticalHeader()->setDefaultSectionSize(gridJournal_->fontMetrics().height() + 8);
    QHeaderView* header = gridJournal_->horizontalHeader();
    header->setFont(namedFont(15, true));
    header->setHighlightSections(false);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header->setStretchLastSection(true);
    header->setMinimumSectionSize(40);
    gridJournal_->installEventFilter(this);
    column->addWidget(gridJournal_, 1);

    connect(gridJournal_, &QAbstractItemView::doubleClicked, this,
            [this](const QModelIndex& index) { openProtocol(index.row()); });
    connect(gridJournal_->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            &TFormJournal::updateProtocolButton);
    connect(model_, &QAbstractItemModel::modelReset, this, &TFormJournal::updateProtocolButton);
    sizeColumns();
}

void TFormJournal::buildBottom(QVBoxLayout* column) {
    labelProblem_ = problemLabel(this);
    column->addWidget(labelProblem_);

    labelNews_ = plainLabel(this, QStringLiteral("Есть новые записи"), "LabelNews");
    labelNews_->setFont(namedFont(16, true));
    setTextColor(labelNews_, kNavy);
    // Its place is kept, so that the buttons do not move when it comes and goes.
    QSizePolicy keep = labelNews_->sizePolicy();
    keep.setRetainSizeWhenHidden(true);
    labelNews_->setSizePolicy(keep);
    labelNews_->hide();

    btnRefresh_ = dialogButton(this, "BtnRefresh", QStringLiteral("Обновить"));
    btnProtocol_ = dialogButton(this, "BtnProtocol", QStringLiteral("Протокол…"));
    btnExport_ = dialogButton(this, "BtnExport", QStringLiteral("Выгрузить в CSV…"));
    btnAlarmReport_ = dialogButton(this, "BtnAlarmReport", QStringLiteral("Отчёт по сигналам"));
    btnClose_ = dialogButton(this, "BtnClose", QStringLiteral("Закрыть"));
    for (QPushButton* b : {btnRefresh_, btnProtocol_, btnExport_, btnAlarmReport_, btnClose_}) {
        b->setMinimumHeight(30);
        b->setMinimumWidth(std::max(110, b->sizeHint().width() + 16));
    }
    btnProtocol_->setEnabled(false);
    auto* row = new QHBoxLayout;
    row->setSpacing(8);
    row->addWidget(labelNews_);
    row->addStretch(1);
    for (QPushButton* b : {btnRefresh_, btnProtocol_, btnExport_, btnAlarmReport_, btnClose_}) {
        row->addWidget(b);
    }
    column->addLayout(row);

    connect(btnRefresh_, &QPushButton::clicked, this, &TFormJournal::refreshClicked);
    connect(btnProtocol_, &QPushButton::clicked, this, &TFormJournal::protocolClicked);
    connect(btnExport_, &QPushButton::clicked, this, &TFormJournal::exportClicked);
    connect(btnAlarmReport_, &QPushButton::clicked, this, &TFormJournal::alarmReportClicked);
    connect(btnClose_, &QPushButton::clicked, this, &QDialog::reject);
}

void TFormJournal::sizeColumns() {
    // Wide enough for the longest value each column can hold; the event takes what is left, and
    // the names, which can be of any length, are cut with an ellipsis and shown whole in a tip.
    const QFontMetrics cell(gridJournal_->font());
    const QFontMetrics head(gridJournal_->horizontalHeader()->font());
    const auto width = [&](const QString& header, std::initializer_list<QString> samples) {
        int w = head.horizontalAdvance(header) + 24;
        for (const QString& s : samples) {
            w = std::max(w, cell.horizontalAdvance(s) + 16);
        }
        return w;
    };
    int groupWidth = 0;
    for (JournalGroup group : kFilterGroups) {
        groupWidth = std::max(groupWidth, cell.horizontalAdvance(journalGroupName(group)) + 16);
    }
    gridJournal_->setColumnWidth(
        JournalTableModel::Time,
        width(QStringLiteral("Дата и время"), {QStringLiteral("00.00.0000 00:00:00")}));
    gridJournal_->setColumnWidth(JournalTableModel::Group,
                                 std::max(groupWidth, width(QStringLiteral("Вид"), {})));
    gridJournal_->setColumnWidth(JournalTableModel::Relay, width(QStringLiteral("Защита"), {}));
    gridJournal_->setColumnWidth(JournalTableModel::Address, width(QStringLiteral("Адрес"), {}));
    gridJournal_->setColumnWidth(
        JournalTableModel::Generator,
        width(QStringLiteral("Генератор"), {QStringLiteral("Генератор 12Г")}));
    gridJournal_->setColumnWidth(JournalTableModel::Breaker,
                                 width(QStringLiteral("Выключатель"), {QStringLiteral("Q-12")}));
}

// ---- opening and closing ----

void TFormJournal::showOrRaise() {
    showInFront(this);
}

void TFormJournal::showEvent(QShowEvent* event) {
    if (!event->spontaneous()) {
        prepareShow();
        // Centred the first time; after that where the operator left it.
        if (!placed_) {
            centreOnScreen(this);
            placed_ = true;
        }
    }
    QDialog::showEvent(event);
    refreshTimer_->start();
}

void TFormJournal::hideEvent(QHideEvent* event) {
    if (!event->spontaneous()) {
        refreshTimer_->stop();
        searchTimer_->stop();
        protocolWindow_->hide();
        alarmReportWindow_->hide();
    }
    QDialog::hideEvent(event);
}

void TFormJournal::prepareShow() {
    fillRelays();
    applyFilter();
    // The newest record chosen, so that the arrows and Enter work on the table at once.
    if (model_->rowCount() > 0) {
        gridJournal_->selectRow(0);
    }
    gridJournal_->setFocus(Qt::OtherFocusReason);
}

void TFormJournal::fillRelays() {
    // The relays as the device table has them now; the one chosen stays chosen while it is there.
    const QVariant chosen = comboRelay_->currentData();
    const QSignalBlocker block(comboRelay_);
    comboRelay_->clear();
    comboRelay_->addItem(QStringLiteral("Все защиты"));
    for (int i = 1; i <= devices_.DeviceCount; ++i) {
        const DeviceEntry& relay = devices_.entry(i);
        comboRelay_->addItem(
            QStringLiteral("%1. %2 (адрес %3)").arg(i).arg(relay.GeneratorName).arg(relay.Address),
            i);
    }
    const int keep = chosen.isValid() ? comboRelay_->findData(chosen) : -1;
    comboRelay_->setCurrentIndex(std::max(keep, 0));
}

// ---- the filter ----

JournalFilter TFormJournal::currentFilter() const {
    JournalFilter filter;
    if (const QVariant relay = comboRelay_->currentData(); relay.isValid()) {
        filter.relay = relay.toInt();
    }
    if (const int group = comboKind_->currentData().toInt(); group >= 0) {
        filter.kinds = JournalKinds::ofGroup(static_cast<JournalGroup>(group));
    }
    if (checkFrom_->isChecked()) {
        filter.from = QDateTime(dateFrom_->date(), QTime(0, 0));
    }
    if (checkTo_->isChecked()) {
        // "по" takes the whole of its day in.
        filter.to = QDateTime(dateTo_->date().addDays(1), QTime(0, 0));
    }
    filter.text = editSearch_->text().trimmed();
    return filter;
}

void TFormJournal::applyFilter() {
    searchTimer_->stop();
    const JournalFilter filter = currentFilter();
    model_->setFilter(filter);
    // The view would keep its old position until it is laid out again, and the refresh judges by
    // it whether new records may go on top.
    gridJournal_->scrollToTop();
    if (journal_) {
        const JournalCount count = journal_->count(filter);
        count_ = count.rows;
        countError_ = count.error;
        const JournalRows newest = journal_->read({}, 1);
        newestSeen_ = newest.entries.empty() ? std::nullopt
                                             : std::optional<qint64>(newest.entries.front().id);
    } else {
        count_ = 0;
        countError_.clear();
        newestSeen_.reset();
    }
    newsPending_ = false;
    labelNews_->hide();
    showCount();
    showProblem();
    updateProtocolButton();
}

void TFormJournal::showCount() {
    labelCount_->setText(QStringLiteral("Записей: ") + countText(count_));
}

void TFormJournal::showProblem() {
    QString text;
    if (!journal_) {
        text = QStringLiteral("Станция не ведёт журнал событий.");
    } else if (!journal_->isReadable()) {
        text = journal_->problem().isEmpty() ? QStringLiteral("Журнал событий не открыт.")
                                             : journal_->problem();
    } else if (!model_->error().isEmpty()) {
        text = model_->error();
    } else if (!countError_.isEmpty()) {
        text = countError_;
    } else if (!journal_->isWriting() && !journal_->problem().isEmpty()) {
        // What is in the file can be read, but nothing new comes into it.
        text = journal_->problem();
    } else if (checkFrom_->isChecked() && checkTo_->isChecked() &&
               dateFrom_->date() > dateTo_->date()) {
        text = QStringLiteral("Дата «с» позже даты «по»: за такой период записей нет.");
    } else if (model_->reachedLimit()) {
        text = QStringLiteral(
                   "Показаны %1 новейших записей отбора. Более ранние покажет отбор по датам; "
                   "выгрузка в CSV берёт все записи отбора.")
                   .arg(countText(model_->rowCount()));
        setTextColor(labelProblem_, kNavy);
        labelProblem_->setText(text);
        labelProblem_->show();
        return;
    }
    setTextColor(labelProblem_, kDarkRed);
    labelProblem_->setText(text);
    labelProblem_->setVisible(!text.isEmpty());
}

// ---- new records ----

bool TFormJournal::atTop() const {
    return gridJournal_->verticalScrollBar()->value() ==
           gridJournal_->verticalScrollBar()->minimum();
}

void TFormJournal::showNewRecords() {
    if (!journal_ || !journal_->isReadable()) {
        return;
    }
    if (!newsPending_) {
        // The newest record of the whole journal is one step down its time index: cheap to ask for
        // every two seconds, where the filter's newest could mean reading the whole file.
        const JournalRows newest = journal_->read({}, 1);
        if (!newest.error.isEmpty()) {
            return;
        }
        const std::optional<qint64> id = newest.entries.empty()
                                             ? std::nullopt
                                             : std::optional<qint64>(newest.entries.front().id);
        if (id == newestSeen_) {
            return;
        }
        const JournalRows mine = journal_->read(model_->filter(), 1);
        if (!mine.error.isEmpty()) {
            return;  // asked again at the next tick
        }
        newestSeen_ = id;
        const JournalEntry* first = model_->entry(0);
        if (mine.entries.empty() || (first && first->id == mine.entries.front().id)) {
            return;
        }
        newsPending_ = true;
    }
    if (!atTop()) {
        labelNews_->show();
        return;
    }
    // At the top the new rows go above the ones shown, and the row the operator chose stays chosen.
    const std::optional<int> added = model_->prependNewer();
    if (added) {
        count_ += *added;
    } else {
        const JournalCount count = journal_->count(model_->filter());
        count_ = count.rows;
        countError_ = count.error;
    }
    newsPending_ = false;
    labelNews_->hide();
    showCount();
    showProblem();
    updateProtocolButton();
}

void TFormJournal::refreshClicked() {
    applyFilter();
}

// ---- protocols ----

int TFormJournal::currentRow() const {
    const QModelIndex current = gridJournal_->currentIndex();
    return current.isValid() ? current.row() : -1;
}

void TFormJournal::updateProtocolButton() {
    const JournalEntry* e = model_->entry(currentRow());
    btnProtocol_->setEnabled(e && e->kind == JournalKind::ProtectionEvent);
}

bool TFormJournal::openProtocol(int row) {
    const JournalEntry* e = model_->entry(row);
    if (!e || e->kind != JournalKind::ProtectionEvent) {
        return false;
    }
    const bool wasOpen = protocolWindow_->isVisible();
    protocolWindow_->showEntry(*e);
    protocolWindow_->show();
    if (!wasOpen) {
        protocolWindow_->adjustSize();
        QRect frame = protocolWindow_->frameGeometry();
        frame.moveCenter(frameGeometry().center());
        protocolWindow_->move(frame.topLeft());
        fitOnScreen(protocolWindow_);
    }
    protocolWindow_->raise();
    protocolWindow_->activateWindow();
    return true;
}

void TFormJournal::protocolClicked() {
    openProtocol(currentRow());
}

// ---- export ----

QFileDialog* TFormJournal::exportDialog() {
    if (!exportDialog_) {
        exportDialog_ =
            newSaveDialog(this, "DialogExport", QStringLiteral("Выгрузить журнал в CSV"),
                          QStringLiteral("CSV (*.csv)"), QStringLiteral("csv"), namesOnly_.get());
    }
    exportDialog_->setDirectory(workFolder_.absolutePath());
    exportDialog_->selectFile(QStringLiteral("journal-%1.csv")
                                  .arg(clock_.now().toString(QStringLiteral("yyyyMMdd-HHmm"))));
    return exportDialog_;
}

void TFormJournal::exportClicked() {
    const QString path = askSavePath(exportDialog());
    if (!path.isEmpty()) {
        exportTo(path);
    }
}

bool TFormJournal::exportTo(const QString& path) {
    if (!journal_) {
        messages_.showMessage(MessageIcon::Error,
                              QStringLiteral("Станция не ведёт журнал событий."));
        return false;
    }
    // What the operator typed last counts, even when its pause has not run out yet.
    if (searchTimer_->isActive()) {
        applyFilter();
    }
    const JournalFilter filter = model_->filter();
    const JournalCount count = journal_->count(filter);
    if (!count.error.isEmpty()) {
        messages_.showMessage(MessageIcon::Error, count.error);
        return false;
    }
    const QString target = QFileInfo(path).absoluteFilePath();
    if (const std::optional<QString> refusal = stationFileSaveRefusal(workFolder_, target)) {
        messages_.showMessage(MessageIcon::Error, *refusal);
        return false;
    }
    if (const FileError error = exportJournalCsv(*journal_, filter, target)) {
        messages_.showMessage(MessageIcon::Error, *error);
        return false;
    }
    messages_.showMessage(MessageIcon::Information, exportedText(count.rows, target));
    return true;
}

// ---- the alarm report ----

void TFormJournal::alarmReportClicked() {
    if (reportRunning_) {
        return;
    }
    const JournalFilter filter = currentFilter();
    const std::optional<qint64> from = filter.from.isValid()
                                           ? std::optional<qint64>(filter.from.toMSecsSinceEpoch())
                                           : std::nullopt;
    // Without an end chosen the period runs up to now: an alarm still standing is counted up to
    // the moment the operator asked.
    const qint64 to =
        filter.to.isValid() ? filter.to.toMSecsSinceEpoch() : clock_.now().toMSecsSinceEpoch() + 1;
    const bool wasOpen = alarmReportWindow_->isVisible();
    if (journal_) {
        // A year of alarm records takes SQLite the better part of a second to go through: it is
        // read on a thread and a read-only connection of its own, and the window stays live.
        reportRunning_ = true;
        btnAlarmReport_->setEnabled(false);
        alarmReportWindow_->showPending(from, to);
        if (reportThread_.joinable()) {
            reportThread_.join();
        }
        reportThread_ = std::thread([this, path = journal_->filePath(), from, to] {
            AlarmReport report = readAlarmReportFromFile(path, clock_, from, to);
            QMetaObject::invokeMethod(
                this, [this, report = std::move(report)] { alarmReportReady(report); },
                Qt::QueuedConnection);
        });
    } else {
        AlarmReport none;
        none.fromMs = from;
        none.toMs = to;
        none.error = QStringLiteral("Станция не ведёт журнал событий.");
        alarmReportWindow_->showReport(none);
    }
    alarmReportWindow_->show();
    if (!wasOpen) {
        QRect frame = alarmReportWindow_->frameGeometry();
        frame.moveCenter(frameGeometry().center());
        alarmReportWindow_->move(frame.topLeft());
        fitOnScreen(alarmReportWindow_);
    }
    alarmReportWindow_->raise();
    alarmReportWindow_->activateWindow();
}

void TFormJournal::alarmReportReady(const AlarmReport& report) {
    reportRunning_ = false;
    btnAlarmReport_->setEnabled(true);
    alarmReportWindow_->showReport(report);
}

// ---- keys ----

void TFormJournal::keyPressEvent(QKeyEvent* event) {
    // Enter belongs to the control that has the focus; no button of this window is a default one.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        return;
    }
    QDialog::keyPressEvent(event);
}

bool TFormJournal::eventFilter(QObject* watched, QEvent* event) {
    if (watched == gridJournal_ && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            openProtocol(currentRow());
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

}  // namespace terval

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
#include "journal/journal_csv.h"
#include "journal/journal_table_model.h"
#include "param/param_controls.h"
#include "poll/protocol_pages.h"
#include "poll/report_file.h"
#include "widgets/widget_dialog.h"
#include "widgets/widget_led.h"
#include "widgets/widget_save_dialog.h"
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
        case JournalGroup::Clock:
        case JournalGroup::Devices:
        case JournalGroup::Station:
            return QColor(0x4A, 0x4A, 0x4A);
        case JournalGroup::Unknown:
            break;
    }
    return QColor(0x80, 0x80, 0x80);
}

// The rows of the journal's model in the colours of their kinds; paging and everything else pass
// through unchanged.
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
        return QIdentityProxyModel::data(index, role);
    }
};

const JournalGroup kFilterGroups[] = {JournalGroup::Protection, JournalGroup::Acknowledgement,
                                      JournalGroup::Link,       JournalGroup::Write,
                                      JournalGroup::Clock,      JournalGroup::Devices,
                                      JournalGroup::Station};

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

    LabelName = plainLabel(this, QString(), "LabelName");
    LabelName->setFont(namedFont(26, true));
    setTextColor(LabelName, kNavy);
    column->addWidget(LabelName);
    LabelRelay = plainLabel(this, QString(), "LabelRelay");
    LabelRelay->setFont(namedFont(16, true));
    column->addWidget(LabelRelay);
    LabelTimes = plainLabel(this, QString(), "LabelTimes");
    column->addWidget(LabelTimes);

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

    LabelNoProtocol = plainLabel(this, QString(), "LabelNoProtocol");
    LabelNoProtocol->setFont(namedFont(16, true));
    setTextColor(LabelNoProtocol, kDarkRed);
    LabelNoProtocol->setWordWrap(true);
    LabelNoProtocol->hide();
    column->addWidget(LabelNoProtocol);

    LabelReport = plainLabel(this, QString(), "LabelReport");
    setTextColor(LabelReport, kSeenGreen);
    LabelReport->setTextInteractionFlags(Qt::TextSelectableByMouse);
    column->addWidget(LabelReport);

    BtnReport = dialogButton(this, "BtnReport", QStringLiteral("Создать отчет"));
    BtnClose = dialogButton(this, "BtnClose", QStringLiteral("Закрыть"));
    for (QPushButton* b : {BtnReport, BtnClose}) {
        b->setMinimumHeight(30);
    }
    BtnReport->setMinimumWidth(160);
    addButtonRow(column, {BtnReport, BtnClose});
    connect(BtnReport, &QPushButton::clicked, this, &TFormJournalProtocol::BtnReportClick);
    connect(BtnClose, &QPushButton::clicked, this, &QDialog::reject);
}

void TFormJournalProtocol::showEntry(const JournalEntry& entry) {
    entry_ = entry;
    LabelReport->clear();
    const auto* event = std::get_if<ProtectionEventDetails>(&entry.details);
    if (entry.relay) {
        LabelName->setText(entry.relay->generator);
        LabelRelay->setText(QStringLiteral("Защита %1, адрес %2, выключатель %3")
                                .arg(entry.relay->number)
                                .arg(entry.relay->address)
                                .arg(entry.relay->breaker));
    } else {
        LabelName->setText(QStringLiteral("Защита не указана"));
        LabelRelay->clear();
    }
    QString times = QStringLiteral("Записано станцией: ") +
                    entry.localTime().toString(QStringLiteral("dd.MM.yyyy HH:mm:ss"));
    if (event && event->relayTime.isValid()) {
        times += QStringLiteral("      по часам защиты: ") +
                 event->relayTime.toString(QStringLiteral("dd.MM.yyyy HH:mm:ss"));
    }
    LabelTimes->setText(times);

    const bool stored = event && event->record;
    protocol_->setVisible(stored);
    LabelNoProtocol->setVisible(!stored);
    BtnReport->setEnabled(stored && entry.relay);
    if (!stored) {
        const QString sign = event && !event->signText.isEmpty()
                                 ? QStringLiteral("Признак: %1.\n").arg(event->signText)
                                 : QString();
        LabelNoProtocol->setText(
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

void TFormJournalProtocol::BtnReportClick() {
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
        LabelReport->clear();
        messages_.showMessage(MessageIcon::Error, *outcome.error);
        return;
    }
    LabelReport->setText(QStringLiteral("Отчет записан: ") +
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

    TimerSearch = new QTimer(this);
    TimerSearch->setObjectName(QStringLiteral("TimerSearch"));
    TimerSearch->setSingleShot(true);
    TimerSearch->setInterval(kSearchPauseMs);
    connect(TimerSearch, &QTimer::timeout, this, &TFormJournal::ApplyFilter);
    TimerRefresh = new QTimer(this);
    TimerRefresh->setObjectName(QStringLiteral("TimerRefresh"));
    TimerRefresh->setInterval(kRefreshMs);
    connect(TimerRefresh, &QTimer::timeout, this, &TFormJournal::TimerRefreshTimer);

    FormProtocol = new TFormJournalProtocol(workFolder_, messages_, this);

    QWidget* const order[] = {ComboRelay, ComboKind,   CheckFrom,  DateFrom,
                              CheckTo,    DateTo,      EditSearch, GridJournal,
                              BtnRefresh, BtnProtocol, BtnExport,  BtnClose};
    for (size_t i = 1; i < std::size(order); ++i) {
        QWidget::setTabOrder(order[i - 1], order[i]);
    }
    resize(1180, 680);
}

TFormJournal::~TFormJournal() {
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

    ComboRelay = new QComboBox(box);
    ComboRelay->setObjectName(QStringLiteral("ComboRelay"));
    ComboRelay->setMinimumWidth(320);
    ComboRelay->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    ComboKind = new QComboBox(box);
    ComboKind->setObjectName(QStringLiteral("ComboKind"));
    ComboKind->addItem(QStringLiteral("Все записи"), -1);
    for (JournalGroup group : kFilterGroups) {
        ComboKind->addItem(journalGroupName(group), static_cast<int>(group));
    }
    ComboKind->setMinimumWidth(220);

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
    CheckFrom = new QCheckBox(QStringLiteral("с"), box);
    CheckFrom->setObjectName(QStringLiteral("CheckFrom"));
    DateFrom = datePicker("DateFrom");
    CheckTo = new QCheckBox(QStringLiteral("по"), box);
    CheckTo->setObjectName(QStringLiteral("CheckTo"));
    DateTo = datePicker("DateTo");
    auto* period = new QHBoxLayout;
    period->setSpacing(8);
    period->addWidget(CheckFrom);
    period->addWidget(DateFrom);
    period->addSpacing(12);
    period->addWidget(CheckTo);
    period->addWidget(DateTo);
    period->addStretch(1);

    EditSearch = new QLineEdit(box);
    EditSearch->setObjectName(QStringLiteral("EditSearch"));
    EditSearch->setPlaceholderText(QStringLiteral("текст события, генератор или выключатель"));
    EditSearch->setClearButtonEnabled(true);

    LabelCount = plainLabel(box, QString(), "LabelCount");
    LabelCount->setFont(namedFont(16, true));
    setTextColor(LabelCount, kNavy);
    LabelCount->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    grid->addWidget(plainLabel(box, QStringLiteral("Защита:")), 0, 0);
    grid->addWidget(ComboRelay, 0, 1);
    grid->addWidget(plainLabel(box, QStringLiteral("Вид:")), 0, 2);
    grid->addWidget(ComboKind, 0, 3);
    grid->addWidget(LabelCount, 0, 4);
    grid->addWidget(plainLabel(box, QStringLiteral("Период:")), 1, 0);
    grid->addLayout(period, 1, 1);
    grid->addWidget(plainLabel(box, QStringLiteral("Поиск:")), 1, 2);
    grid->addWidget(EditSearch, 1, 3, 1, 2);
    grid->setColumnStretch(4, 1);
    column->addWidget(box);

    const auto comboChanged = QOverload<int>::of(&QComboBox::currentIndexChanged);
    connect(ComboRelay, comboChanged, this, &TFormJournal::ApplyFilter);
    connect(ComboKind, comboChanged, this, &TFormJournal::ApplyFilter);
    for (auto [check, picker] : {std::pair{CheckFrom, DateFrom}, std::pair{CheckTo, DateTo}}) {
        connect(check, &QCheckBox::toggled, picker, &QWidget::setEnabled);
        connect(check, &QCheckBox::toggled, this, &TFormJournal::ApplyFilter);
        connect(picker, &QDateEdit::dateChanged, this, [this, checkBox = check] {
            if (checkBox->isChecked()) {
                ApplyFilter();
            }
        });
    }
    // A search runs once the operator pauses, not at every letter typed.
    connect(EditSearch, &QLineEdit::textChanged, this, [this] { TimerSearch->start(); });
    connect(EditSearch, &QLineEdit::returnPressed, this, [this] {
        TimerSearch->stop();
        ApplyFilter();
    });
}

void TFormJournal::buildTable(QVBoxLayout* column) {
    GridJournal = new QTableView(this);
    GridJournal->setObjectName(QStringLiteral("GridJournal"));
    auto* colors = new JournalRowColors(this);
    colors->setSourceModel(model_);
    GridJournal->setModel(colors);
    GridJournal->setSelectionBehavior(QAbstractItemView::SelectRows);
    GridJournal->setSelectionMode(QAbstractItemView::SingleSelection);
    GridJournal->setEditTriggers(QAbstractItemView::NoEditTriggers);
    GridJournal->setAlternatingRowColors(true);
    GridJournal->setWordWrap(false);
    GridJournal->setTextElideMode(Qt::ElideRight);
    GridJournal->setCornerButtonEnabled(false);
    // Tab leaves the table for the next control, as everywhere else in the window; the arrows move
    // through the rows.
    GridJournal->setTabKeyNavigation(false);
    GridJournal->verticalHeader()->hide();
    GridJournal->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    GridJournal->verticalHeader()->setDefaultSectionSize(GridJournal->fontMetrics().height() + 8);
    QHeaderView* header = GridJournal->horizontalHeader();
    header->setFont(namedFont(15, true));
    header->setHighlightSections(false);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header->setStretchLastSection(true);
    header->setMinimumSectionSize(40);
    GridJournal->installEventFilter(this);
    column->addWidget(GridJournal, 1);

    connect(GridJournal, &QAbstractItemView::doubleClicked, this,
            [this](const QModelIndex& index) { openProtocol(index.row()); });
    connect(GridJournal->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            &TFormJournal::updateProtocolButton);
    connect(model_, &QAbstractItemModel::modelReset, this, &TFormJournal::updateProtocolButton);
    sizeColumns();
}

void TFormJournal::buildBottom(QVBoxLayout* column) {
    LabelProblem = problemLabel(this);
    column->addWidget(LabelProblem);

    LabelNews = plainLabel(this, QStringLiteral("Есть новые записи"), "LabelNews");
    LabelNews->setFont(namedFont(16, true));
    setTextColor(LabelNews, kNavy);
    // Its place is kept, so that the buttons do not move when it comes and goes.
    QSizePolicy keep = LabelNews->sizePolicy();
    keep.setRetainSizeWhenHidden(true);
    LabelNews->setSizePolicy(keep);
    LabelNews->hide();

    BtnRefresh = dialogButton(this, "BtnRefresh", QStringLiteral("Обновить"));
    BtnProtocol = dialogButton(this, "BtnProtocol", QStringLiteral("Протокол…"));
    BtnExport = dialogButton(this, "BtnExport", QStringLiteral("Выгрузить в CSV…"));
    BtnClose = dialogButton(this, "BtnClose", QStringLiteral("Закрыть"));
    for (QPushButton* b : {BtnRefresh, BtnProtocol, BtnExport, BtnClose}) {
        b->setMinimumHeight(30);
        b->setMinimumWidth(std::max(110, b->sizeHint().width() + 16));
    }
    BtnProtocol->setEnabled(false);
    auto* row = new QHBoxLayout;
    row->setSpacing(8);
    row->addWidget(LabelNews);
    row->addStretch(1);
    for (QPushButton* b : {BtnRefresh, BtnProtocol, BtnExport, BtnClose}) {
        row->addWidget(b);
    }
    column->addLayout(row);

    connect(BtnRefresh, &QPushButton::clicked, this, &TFormJournal::BtnRefreshClick);
    connect(BtnProtocol, &QPushButton::clicked, this, &TFormJournal::BtnProtocolClick);
    connect(BtnExport, &QPushButton::clicked, this, &TFormJournal::BtnExportClick);
    connect(BtnClose, &QPushButton::clicked, this, &QDialog::reject);
}

void TFormJournal::sizeColumns() {
    // Wide enough for the longest value each column can hold; the event takes what is left, and
    // the names, which can be of any length, are cut with an ellipsis and shown whole in a tip.
    const QFontMetrics cell(GridJournal->font());
    const QFontMetrics head(GridJournal->horizontalHeader()->font());
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
    GridJournal->setColumnWidth(
        JournalTableModel::Time,
        width(QStringLiteral("Дата и время"), {QStringLiteral("00.00.0000 00:00:00")}));
    GridJournal->setColumnWidth(JournalTableModel::Group,
                                std::max(groupWidth, width(QStringLiteral("Вид"), {})));
    GridJournal->setColumnWidth(JournalTableModel::Relay, width(QStringLiteral("Защита"), {}));
    GridJournal->setColumnWidth(JournalTableModel::Address, width(QStringLiteral("Адрес"), {}));
    GridJournal->setColumnWidth(
        JournalTableModel::Generator,
        width(QStringLiteral("Генератор"), {QStringLiteral("Генератор 12Г")}));
    GridJournal->setColumnWidth(JournalTableModel::Breaker,
                                width(QStringLiteral("Выключатель"), {QStringLiteral("Q-12")}));
}

// ---- opening and closing ----

void TFormJournal::showOrRaise() {
    showInFront(this);
}

void TFormJournal::showEvent(QShowEvent* event) {
    if (!event->spontaneous()) {
        FormShow();
        // Centred the first time; after that where the operator left it.
        if (!placed_) {
            centreOnScreen(this);
            placed_ = true;
        }
    }
    QDialog::showEvent(event);
    TimerRefresh->start();
}

void TFormJournal::hideEvent(QHideEvent* event) {
    if (!event->spontaneous()) {
        TimerRefresh->stop();
        TimerSearch->stop();
        FormProtocol->hide();
    }
    QDialog::hideEvent(event);
}

void TFormJournal::FormShow() {
    fillRelays();
    ApplyFilter();
    // The newest record chosen, so that the arrows and Enter work on the table at once.
    if (model_->rowCount() > 0) {
        GridJournal->selectRow(0);
    }
    GridJournal->setFocus(Qt::OtherFocusReason);
}

void TFormJournal::fillRelays() {
    // The relays as the device table has them now; the one chosen stays chosen while it is there.
    const QVariant chosen = ComboRelay->currentData();
    const QSignalBlocker block(ComboRelay);
    ComboRelay->clear();
    ComboRelay->addItem(QStringLiteral("Все защиты"));
    for (int i = 1; i <= devices_.DeviceCount; ++i) {
        const DeviceEntry& relay = devices_.entry(i);
        ComboRelay->addItem(
            QStringLiteral("%1. %2 (адрес %3)").arg(i).arg(relay.GeneratorName).arg(relay.Address),
            i);
    }
    const int keep = chosen.isValid() ? ComboRelay->findData(chosen) : -1;
    ComboRelay->setCurrentIndex(std::max(keep, 0));
}

// ---- the filter ----

JournalFilter TFormJournal::currentFilter() const {
    JournalFilter filter;
    if (const QVariant relay = ComboRelay->currentData(); relay.isValid()) {
        filter.relay = relay.toInt();
    }
    if (const int group = ComboKind->currentData().toInt(); group >= 0) {
        filter.kinds = JournalKinds::ofGroup(static_cast<JournalGroup>(group));
    }
    if (CheckFrom->isChecked()) {
        filter.from = QDateTime(DateFrom->date(), QTime(0, 0));
    }
    if (CheckTo->isChecked()) {
        // "по" takes the whole of its day in.
        filter.to = QDateTime(DateTo->date().addDays(1), QTime(0, 0));
    }
    filter.text = EditSearch->text().trimmed();
    return filter;
}

void TFormJournal::ApplyFilter() {
    TimerSearch->stop();
    const JournalFilter filter = currentFilter();
    model_->setFilter(filter);
    // The view would keep its old position until it is laid out again, and the refresh judges by
    // it whether new records may go on top.
    GridJournal->scrollToTop();
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
    LabelNews->hide();
    showCount();
    showProblem();
    updateProtocolButton();
}

void TFormJournal::showCount() {
    LabelCount->setText(QStringLiteral("Записей: ") + countText(count_));
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
    } else if (CheckFrom->isChecked() && CheckTo->isChecked() &&
               DateFrom->date() > DateTo->date()) {
        text = QStringLiteral("Дата «с» позже даты «по»: за такой период записей нет.");
    } else if (model_->reachedLimit()) {
        text = QStringLiteral(
                   "Показаны %1 новейших записей отбора. Более ранние покажет отбор по датам; "
                   "выгрузка в CSV берёт все записи отбора.")
                   .arg(countText(model_->rowCount()));
        setTextColor(LabelProblem, kNavy);
        LabelProblem->setText(text);
        LabelProblem->show();
        return;
    }
    setTextColor(LabelProblem, kDarkRed);
    LabelProblem->setText(text);
    LabelProblem->setVisible(!text.isEmpty());
}

// ---- new records ----

bool TFormJournal::atTop() const {
    return GridJournal->verticalScrollBar()->value() == GridJournal->verticalScrollBar()->minimum();
}

void TFormJournal::TimerRefreshTimer() {
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
        LabelNews->show();
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
    LabelNews->hide();
    showCount();
    showProblem();
    updateProtocolButton();
}

void TFormJournal::BtnRefreshClick() {
    ApplyFilter();
}

// ---- protocols ----

int TFormJournal::currentRow() const {
    const QModelIndex current = GridJournal->currentIndex();
    return current.isValid() ? current.row() : -1;
}

void TFormJournal::updateProtocolButton() {
    const JournalEntry* e = model_->entry(currentRow());
    BtnProtocol->setEnabled(e && e->kind == JournalKind::ProtectionEvent);
}

bool TFormJournal::openProtocol(int row) {
    const JournalEntry* e = model_->entry(row);
    if (!e || e->kind != JournalKind::ProtectionEvent) {
        return false;
    }
    const bool wasOpen = FormProtocol->isVisible();
    FormProtocol->showEntry(*e);
    FormProtocol->show();
    if (!wasOpen) {
        FormProtocol->adjustSize();
        QRect frame = FormProtocol->frameGeometry();
        frame.moveCenter(frameGeometry().center());
        FormProtocol->move(frame.topLeft());
        fitOnScreen(FormProtocol);
    }
    FormProtocol->raise();
    FormProtocol->activateWindow();
    return true;
}

void TFormJournal::BtnProtocolClick() {
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

void TFormJournal::BtnExportClick() {
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
    if (TimerSearch->isActive()) {
        ApplyFilter();
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

// ---- keys ----

void TFormJournal::keyPressEvent(QKeyEvent* event) {
    // Enter belongs to the control that has the focus; no button of this window is a default one.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        return;
    }
    QDialog::keyPressEvent(event);
}

bool TFormJournal::eventFilter(QObject* watched, QEvent* event) {
    if (watched == GridJournal && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            openProtocol(currentRow());
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

}  // namespace terval

#include "windows/trend/form_trend.h"

#include <QDateTimeAxis>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHideEvent>
#include <QKeyEvent>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QVBoxLayout>
#include <QWindow>
#include <algorithm>
#include <set>
#include <utility>

#include "devices/device_table.h"
#include "journal/trend_reader.h"
#include "widgets/widget_dialog.h"
#include "widgets/widget_save_dialog.h"
#include "windows/trend/trend_style.h"

namespace terval {

using namespace trend_style;

namespace {

constexpr int kRefreshMs = 60'000;
// A pause in the panning or the wheel before the new span is read.
constexpr int kRereadPauseMs = 150;

// What a row of the list of relays holds besides its text.
constexpr int kAddressRole = Qt::UserRole;
constexpr int kNumberRole = Qt::UserRole + 1;  // the tile; 0 for a relay off the device table
constexpr int kGeneratorRole = Qt::UserRole + 2;

struct RangeButton {
    TrendRange range;
    const char* name;
    const char* caption;
};
const RangeButton kRangeButtons[] = {
    {TrendRange::Hour, "BtnHour", "Час"},    {TrendRange::Day, "BtnDay", "Сутки"},
    {TrendRange::Week, "BtnWeek", "Неделя"}, {TrendRange::Month, "BtnMonth", "Месяц"},
    {TrendRange::Year, "BtnYear", "Год"},    {TrendRange::All, "BtnAll", "Всё"}};

}  // namespace

// ---- the window ----

TFormTrend::TFormTrend(InsulationTrend* trend, Journal* journal, const DeviceTable& devices,
                       const QDir& workFolder, MessageSink& messages, const Clock& clock,
                       QWidget* parent)
    : QDialog(parent),
      model_(trend, clock),
      trend_(trend),
      journal_(journal),
      devices_(devices),
      workFolder_(workFolder),
      messages_(messages),
      clock_(clock),
      namesOnly_(std::make_unique<NamesOnlyIconProvider>()) {
    setObjectName(QStringLiteral("FormTrend"));
    keepOnScreen(this);
    setWindowTitle(QStringLiteral("Тренд сопротивления изоляции"));
    // A window of its own beside the main one, as large as the operator wants it.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    setFont(namedFont(15));

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(10, 10, 10, 10);
    column->setSpacing(8);
    buildTop(column);
    buildMiddle(column);
    buildBottom(column);

    timerRefresh_ = new QTimer(this);
    timerRefresh_->setObjectName(QStringLiteral("TimerRefresh"));
    timerRefresh_->setInterval(kRefreshMs);
    connect(timerRefresh_, &QTimer::timeout, this, &TFormTrend::refreshTimeout);
    timerReread_ = new QTimer(this);
    timerReread_->setObjectName(QStringLiteral("TimerReread"));
    timerReread_->setSingleShot(true);
    timerReread_->setInterval(kRereadPauseMs);
    connect(timerReread_, &QTimer::timeout, this, &TFormTrend::rereadTimeout);

    std::vector<QWidget*> order(rangeButtons_.begin(), rangeButtons_.end());
    for (QWidget* w : {static_cast<QWidget*>(checkLog_), static_cast<QWidget*>(listRelays_),
                       static_cast<QWidget*>(gridForecast_), static_cast<QWidget*>(btnSaveCsv_),
                       static_cast<QWidget*>(btnSavePng_), static_cast<QWidget*>(btnClose_)}) {
        order.push_back(w);
    }
    for (size_t i = 1; i < order.size(); ++i) {
        QWidget::setTabOrder(order[i - 1], order[i]);
    }

    if (trend_ && journal_) {
        reader_ =
            new TrendReader(journal_->filePath(), QFileInfo(journal_->filePath()).fileName(), this);
        reader_->setObjectName(QStringLiteral("TrendReader"));
        connect(reader_, &TrendReader::finished, this, &TFormTrend::showRead);
    }

    resize(1260, 800);
    setMinimumSize(980, 640);
}

TFormTrend::~TFormTrend() {
    // Before the icon provider they use, which goes with the members.
    delete csvDialog_;
    delete pngDialog_;
}

void TFormTrend::buildTop(QVBoxLayout* column) {
    auto* row = new QHBoxLayout;
    row->setSpacing(6);
    row->addWidget(plainLabel(this, QStringLiteral("Период:")));
    for (size_t i = 0; i < std::size(kRangeButtons); ++i) {
        const RangeButton& b = kRangeButtons[i];
        QPushButton* button = dialogButton(this, b.name, QString::fromUtf8(b.caption));
        button->setCheckable(true);
        // Narrow enough that the row, the period and the scale's box fit a 1024-pixel screen.
        button->setMinimumWidth(76);
        button->setMinimumHeight(28);
        connect(button, &QPushButton::clicked, this,
                [this, range = b.range] { rangeClicked(range); });
        rangeButtons_[i] = button;
        row->addWidget(button);
    }
    row->addSpacing(16);
    labelRange_ = plainLabel(this, QString(), "LabelRange");
    labelRange_->setFont(namedFont(15, true));
    setTextColor(labelRange_, kNavy);
    labelRange_->setMinimumWidth(200);
    // In a narrow window the period takes two lines rather than losing its end.
    labelRange_->setWordWrap(true);
    row->addWidget(labelRange_, 1);
    checkLog_ = new QCheckBox(QStringLiteral("Логарифмическая шкала"), this);
    checkLog_->setObjectName(QStringLiteral("CheckLog"));
    connect(checkLog_, &QCheckBox::toggled, this, &TFormTrend::logScaleClicked);
    row->addWidget(checkLog_);
    column->addLayout(row);
}

void TFormTrend::buildMiddle(QVBoxLayout* column) {
    auto* row = new QHBoxLayout;
    row->setSpacing(10);

    auto* box = new QGroupBox(QStringLiteral(" Защиты "), this);
    box->setObjectName(QStringLiteral("GroupBoxRelays"));
    auto* boxColumn = new QVBoxLayout(box);
    boxColumn->setContentsMargins(8, 8, 8, 8);
    boxColumn->setSpacing(6);
    listRelays_ = new QListWidget(box);
    listRelays_->setObjectName(QStringLiteral("ListRelays"));
    listRelays_->setSelectionMode(QAbstractItemView::SingleSelection);
    listRelays_->setUniformItemSizes(true);
    listRelays_->setTextElideMode(Qt::ElideRight);
    listRelays_->setIconSize(QSize(16, 16));
    boxColumn->addWidget(listRelays_, 1);
    auto* hint = plainLabel(box,
                            QStringLiteral("Отмеченные защиты показаны вместе; уставки — "
                                           "выбранной строкой."),
                            "LabelListHint");
    hint->setWordWrap(true);
    hint->setFont(namedFont(13));
    setTextColor(hint, QColor(0x50, 0x50, 0x50));
    boxColumn->addWidget(hint);
    box->setFixedWidth(300);
    row->addWidget(box);
    connect(listRelays_, &QListWidget::itemChanged, this, [this] {
        if (!filling_) {
            relaysChanged();
        }
    });
    connect(listRelays_, &QListWidget::currentItemChanged, this, [this] {
        if (!filling_) {
            redraw();
        }
    });

    buildChart(row);
    column->addLayout(row, 1);
}

void TFormTrend::buildBottom(QVBoxLayout* column) {
    labelPointer_ = plainLabel(this, QString(), "LabelPointer");
    labelPointer_->setFrameShape(QFrame::StyledPanel);
    labelPointer_->setMargin(4);
    labelPointer_->setMinimumHeight(labelPointer_->fontMetrics().height() + 12);
    labelPointer_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    column->addWidget(labelPointer_);

    auto* box = new QGroupBox(
        QStringLiteral(" Скорость изменения за последнюю неделю и прогноз по ней "), this);
    box->setObjectName(QStringLiteral("GroupBoxForecast"));
    auto* boxColumn = new QVBoxLayout(box);
    boxColumn->setContentsMargins(8, 6, 8, 8);
    gridForecast_ = new QTableWidget(0, 3, box);
    gridForecast_->setObjectName(QStringLiteral("GridForecast"));
    gridForecast_->setHorizontalHeaderLabels({QStringLiteral("Генератор"),
                                              QStringLiteral("Изменение за сутки"),
                                              QStringLiteral("Прогноз")});
    gridForecast_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    gridForecast_->setSelectionMode(QAbstractItemView::NoSelection);
    gridForecast_->setFocusPolicy(Qt::NoFocus);
    gridForecast_->setWordWrap(false);
    gridForecast_->setIconSize(QSize(16, 16));
    gridForecast_->verticalHeader()->hide();
    const int rowHeight = gridForecast_->fontMetrics().height() + 8;
    gridForecast_->verticalHeader()->setDefaultSectionSize(rowHeight);
    QHeaderView* header = gridForecast_->horizontalHeader();
    header->setFont(namedFont(15, true));
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header->setHighlightSections(false);
    header->setStretchLastSection(true);
    const QFontMetrics cell(gridForecast_->font());
    gridForecast_->setColumnWidth(0, 300);
    gridForecast_->setColumnWidth(
        1,
        std::max(
            cell.horizontalAdvance(QStringLiteral("−1 234,5 кОм/сут")),
            QFontMetrics(header->font()).horizontalAdvance(QStringLiteral("Изменение за сутки"))) +
            28);
    // Three relays at a glance; more scroll.
    gridForecast_->setFixedHeight(header->sizeHint().height() + 3 * rowHeight + 4);
    boxColumn->addWidget(gridForecast_);
    column->addWidget(box);

    labelProblem_ = problemLabel(this);
    column->addWidget(labelProblem_);

    auto* help = plainLabel(this,
                            QStringLiteral("Мышь: выделить участок — увеличить, колесо — "
                                           "масштаб, правой кнопкой — сдвинуть, двойной "
                                           "щелчок — вернуть период"),
                            "LabelMouseHelp");
    help->setFont(namedFont(13));
    help->setWordWrap(true);
    setTextColor(help, QColor(0x50, 0x50, 0x50));
    btnSaveCsv_ = dialogButton(this, "BtnSaveCsv", QStringLiteral("Сохранить CSV…"));
    btnSavePng_ = dialogButton(this, "BtnSavePng", QStringLiteral("Сохранить PNG…"));
    btnClose_ = dialogButton(this, "BtnClose", QStringLiteral("Закрыть"));
    auto* row = new QHBoxLayout;
    row->setSpacing(8);
    row->addWidget(help, 1);
    for (QPushButton* b : {btnSaveCsv_, btnSavePng_, btnClose_}) {
        b->setMinimumHeight(30);
        b->setMinimumWidth(std::max(110, b->sizeHint().width() + 16));
        row->addWidget(b);
    }
    column->addLayout(row);
    connect(btnSaveCsv_, &QPushButton::clicked, this, &TFormTrend::saveCsvClicked);
    connect(btnSavePng_, &QPushButton::clicked, this, &TFormTrend::savePngClicked);
    connect(btnClose_, &QPushButton::clicked, this, &QDialog::reject);
}

// ---- opening ----

void TFormTrend::showOrRaise() {
    showInFront(this);
}

void TFormTrend::showForRelay(int number, QWidget* modalOpener) {
    const bool open = isVisible();
    if (modalOpener) {
        // A modal window blocks every window that is not its own. The parameter window is modal,
        // and the trend opened from it is worth nothing if it cannot be zoomed while that window
        // stays open: as its transient child it is not blocked.
        winId();
        if (QWindow* own = windowHandle()) {
            own->setTransientParent(modalOpener->window()->windowHandle());
        }
    }
    fillRelays();
    selectOnly(number, open);
    model_.setRange(TrendRange::Day);
    if (open) {
        timerReread_->stop();
        model_.applyRange();
        relaysChanged();
    }
    showOrRaise();
}

void TFormTrend::showFromMenu() {
    if (!isVisible()) {
        fillRelays();
        const int selected = devices_.hasSelection() ? devices_.SelectedDevice : 1;
        selectOnly(selected, false);
        model_.setRange(model_.lastRange());
    }
    showOrRaise();
}

void TFormTrend::selectOnly(int number, bool keepOthers) {
    const QSignalBlocker block(listRelays_);
    if (!keepOthers) {
        for (int row = 0; row < listRelays_->count(); ++row) {
            listRelays_->item(row)->setCheckState(Qt::Unchecked);
        }
    }
    QListWidgetItem* item = itemOf(number);
    if (!item && listRelays_->count() > 0 && !keepOthers) {
        item = listRelays_->item(0);
    }
    if (item) {
        item->setCheckState(Qt::Checked);
        listRelays_->setCurrentItem(item);
        listRelays_->scrollToItem(item);
    }
}

QListWidgetItem* TFormTrend::itemOf(int number) const {
    for (int row = 0; row < listRelays_->count(); ++row) {
        QListWidgetItem* item = listRelays_->item(row);
        if (number > 0 && item->data(kNumberRole).toInt() == number) {
            return item;
        }
    }
    return nullptr;
}

void TFormTrend::showEvent(QShowEvent* event) {
    if (!event->spontaneous()) {
        formShown();
        // Centred the first time; after that where the operator left it.
        if (!placed_) {
            centreOnScreen(this);
            placed_ = true;
        }
    }
    QDialog::showEvent(event);
    timerRefresh_->start();
}

void TFormTrend::hideEvent(QHideEvent* event) {
    if (!event->spontaneous()) {
        timerRefresh_->stop();
        timerReread_->stop();
    }
    QDialog::hideEvent(event);
}

void TFormTrend::formShown() {
    fillRelays();
    model_.applyRange();
    relaysChanged();
}

bool TFormTrend::fillRelays() {
    std::vector<std::pair<uint16_t, QString>> table;
    for (int i = 1; i <= devices_.DeviceCount; ++i) {
        const DeviceEntry& relay = devices_.entry(i);
        table.emplace_back(relay.Address, relay.GeneratorName);
    }
    const std::vector<TrendPlotModel::ListRow> rows = model_.listRows(table);
    // Unchanged, the list is left as it is: where it is scrolled to and what has the focus.
    bool same = static_cast<int>(rows.size()) == listRelays_->count();
    for (int row = 0; same && row < listRelays_->count(); ++row) {
        const QListWidgetItem* item = listRelays_->item(row);
        same = item->text() == rows[size_t(row)].text &&
               item->data(kNumberRole).toInt() == rows[size_t(row)].number;
    }
    if (same) {
        return false;
    }

    std::set<uint16_t> ticked;
    std::optional<uint16_t> current;
    for (int row = 0; row < listRelays_->count(); ++row) {
        const QListWidgetItem* item = listRelays_->item(row);
        const auto address = static_cast<uint16_t>(item->data(kAddressRole).toUInt());
        if (item->checkState() == Qt::Checked) {
            ticked.insert(address);
        }
        if (item == listRelays_->currentItem()) {
            current = address;
        }
    }
    filling_ = true;
    const QSignalBlocker block(listRelays_);
    listRelays_->clear();
    for (const TrendPlotModel::ListRow& row : rows) {
        auto* item = new QListWidgetItem(row.text, listRelays_);
        item->setData(kAddressRole, row.address);
        item->setData(kNumberRole, row.number);
        item->setData(kGeneratorRole, row.generator);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        item->setCheckState(ticked.count(row.address) ? Qt::Checked : Qt::Unchecked);
        item->setIcon(swatch(relayColor(listRelays_->count() - 1)));
        item->setToolTip(row.text);
        if (current == row.address) {
            listRelays_->setCurrentItem(item);
        }
    }
    filling_ = false;
    return true;
}

// ---- what is shown ----

void TFormTrend::relaysChanged() {
    std::vector<ShownRelay> shown;
    for (int row = 0; row < listRelays_->count(); ++row) {
        const QListWidgetItem* item = listRelays_->item(row);
        if (item->checkState() != Qt::Checked) {
            continue;
        }
        ShownRelay relay;
        relay.address = static_cast<uint16_t>(item->data(kAddressRole).toUInt());
        relay.number = item->data(kNumberRole).toInt();
        // As the list was filled: the device table may have changed since.
        relay.generator = item->data(kGeneratorRole).toString();
        relay.colorIndex = row;
        shown.push_back(std::move(relay));
    }
    model_.setRelays(std::move(shown));
    reread(true);
}

std::optional<uint16_t> TFormTrend::currentAddress() const {
    if (const QListWidgetItem* item = listRelays_->currentItem();
        item && item->checkState() == Qt::Checked) {
        return static_cast<uint16_t>(item->data(kAddressRole).toUInt());
    }
    return std::nullopt;
}

const TFormTrend::ShownRelay* TFormTrend::chosen() const {
    return model_.chosen(currentAddress());
}

QColor TFormTrend::colorOf(const ShownRelay& relay) {
    return relayColor(relay.colorIndex);
}

void TFormTrend::rangeClicked(TrendRange range) {
    model_.setRange(range);
    timerReread_->stop();
    model_.applyRange();
    reread(true);
}

void TFormTrend::showRange(qint64 fromMs, qint64 toMs, bool readNow) {
    model_.setSpan(fromMs, toMs);
    markRangeButton();
    if (readNow) {
        timerReread_->stop();
        reread();
        return;
    }
    // The axis moves with the mouse at once; the points of the new span come once it rests.
    axisTime_->setRange(QDateTime::fromMSecsSinceEpoch(model_.fromMs()),
                        QDateTime::fromMSecsSinceEpoch(model_.toMs()));
    showRangeText();
    placeOverlays();
    timerReread_->start();
}

void TFormTrend::zoomAround(qint64 atMs, double factor) {
    const auto [from, to] = model_.zoomedAround(atMs, factor);
    showRange(from, to, false);
}

void TFormTrend::rereadTimeout() {
    timerReread_->stop();
    reread();
}

void TFormTrend::refreshTimeout() {
    if (!isVisible()) {
        return;
    }
    // The device table may have changed since: relays added, renamed or taken away.
    const bool listChanged = fillRelays();
    model_.applyRange();
    if (listChanged) {
        relaysChanged();
        return;
    }
    reread(true);
}

void TFormTrend::markRangeButton() {
    for (size_t i = 0; i < rangeButtons_.size(); ++i) {
        rangeButtons_[i]->setChecked(model_.range() && *model_.range() == kRangeButtons[i].range);
    }
}

void TFormTrend::logScaleClicked() {
    redraw();
}

// ---- reading ----

void TFormTrend::reread(bool forecasts) {
    markRangeButton();
    forecastsWanted_ = forecastsWanted_ || forecasts;
    model_.readLevels();
    if (!trend_ || !reader_ || !journal_->isReadable()) {
        // Nothing to read: the series say why (the journal's own words), at once.
        model_.readDirect();
        redraw();
        if (std::exchange(forecastsWanted_, false)) {
            showForecasts();
        }
        return;
    }
    reader_->submit(model_.request(forecastsWanted_));
}

bool TFormTrend::isReading() const {
    return reader_ && reader_->busy();
}

void TFormTrend::showRead(const TrendReadResult& result) {
    model_.takeRead(result);
    redraw();
    if (result.request.weekEndMs) {
        forecastsWanted_ = false;
        showForecasts();
    }
}

// ---- the forecast and the problems ----

void TFormTrend::showForecasts() {
    const std::vector<ShownRelay>& shown = model_.relays();
    gridForecast_->setRowCount(static_cast<int>(shown.size()));
    int row = 0;
    for (const ShownRelay& relay : shown) {
        auto* name = new QTableWidgetItem(swatch(colorOf(relay)), relay.generator);
        auto* slope = new QTableWidgetItem(TrendPlotModel::slopeCell(relay));
        auto* forecast = new QTableWidgetItem(TrendPlotModel::forecastCell(relay));
        slope->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        for (QTableWidgetItem* item : {name, slope, forecast}) {
            item->setToolTip(item->text());
        }
        gridForecast_->setItem(row, 0, name);
        gridForecast_->setItem(row, 1, slope);
        gridForecast_->setItem(row, 2, forecast);
        ++row;
    }
}

void TFormTrend::showProblem() {
    const QString text = model_.problemText();
    labelProblem_->setText(text);
    labelProblem_->setVisible(!text.isEmpty());
}

// ---- keys ----

void TFormTrend::keyPressEvent(QKeyEvent* event) {
    // Enter belongs to the control that has the focus; no button of this window is a default one.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        return;
    }
    QDialog::keyPressEvent(event);
}

}  // namespace terval

#include "windows/trend/form_trend.h"

#include <QAreaSeries>
#include <QBuffer>
#include <QChart>
#include <QChartView>
#include <QDateTimeAxis>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetricsF>
#include <QGraphicsRectItem>
#include <QGraphicsSimpleTextItem>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHideEvent>
#include <QKeyEvent>
#include <QLegend>
#include <QLegendMarker>
#include <QLineSeries>
#include <QLocale>
#include <QLogValueAxis>
#include <QPainter>
#include <QRubberBand>
#include <QScatterSeries>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QToolTip>
#include <QVBoxLayout>
#include <QValueAxis>
#include <QWindow>
#include <algorithm>
#include <cmath>
#include <limits>
#include <set>
#include <utility>

#include "app/journal_export.h"
#include "devices/device_table.h"
#include "devices/error_text.h"
#include "devices/stored_file.h"
#include "journal/trend_csv.h"
#include "journal/trend_plot.h"
#include "journal/trend_reader.h"
#include "widgets/widget_dialog.h"
#include "widgets/widget_save_dialog.h"

namespace terval {

namespace {

constexpr qint64 kWeekMs = 7 * kDayMs;
// Closer than this the raw samples are a handful of points; wider than twenty years is no span
// the station has kept.
constexpr qint64 kNarrowestMs = 2 * kMinuteMs;
constexpr qint64 kWidestMs = 20 * 366 * kDayMs;
constexpr int kRefreshMs = 60'000;
// A pause in the panning or the wheel before the new span is read.
constexpr int kRereadPauseMs = 150;
// Records marked per relay and span: the newest of them when there are more.
constexpr int kMaxMarks = 2000;

// What a row of the list of relays holds besides its text.
constexpr int kAddressRole = Qt::UserRole;
constexpr int kNumberRole = Qt::UserRole + 1;  // the tile; 0 for a relay off the device table
constexpr int kGeneratorRole = Qt::UserRole + 2;

const QColor kNavy(0x00, 0x00, 0x80);
const QColor kDarkRed(0xB0, 0x00, 0x00);
const QColor kSignalColor(0xE0, 0x78, 0x00);
const QColor kTripColor(0xD0, 0x00, 0x00);
const QColor kProtectionMarkColor(0xD0, 0x00, 0x00);
const QColor kLinkMarkColor(0x70, 0x70, 0x70);

struct RangeButton {
    TrendRange range;
    const char* name;
    const char* caption;
};
const RangeButton kRangeButtons[] = {
    {TrendRange::Hour, "BtnHour", "Час"},    {TrendRange::Day, "BtnDay", "Сутки"},
    {TrendRange::Week, "BtnWeek", "Неделя"}, {TrendRange::Month, "BtnMonth", "Месяц"},
    {TrendRange::Year, "BtnYear", "Год"},    {TrendRange::All, "BtnAll", "Всё"}};

qint64 spanOf(TrendRange range) {
    switch (range) {
        case TrendRange::Hour:
            return kHourMs;
        case TrendRange::Day:
            return kDayMs;
        case TrendRange::Week:
            return kWeekMs;
        case TrendRange::Month:
            return 30 * kDayMs;
        case TrendRange::Year:
        case TrendRange::All:
            break;
    }
    return 365 * kDayMs;
}

// Colours that stay apart on white and from each other, none of them the orange and red of the
// alarm levels and protection events; past the table, hues spread by the golden angle over the
// same part of the circle.
QColor relayColor(int index) {
    static const QColor kColors[] = {
        QColor(0x1F, 0x4E, 0xB4), QColor(0x1B, 0x8A, 0x2E), QColor(0x7B, 0x2F, 0xA8),
        QColor(0x00, 0x85, 0x8A), QColor(0x8B, 0x5A, 0x2B), QColor(0xC2, 0x18, 0x7A),
        QColor(0x55, 0x6B, 0x10), QColor(0x28, 0x35, 0x93), QColor(0x00, 0x69, 0x5C),
        QColor(0x6D, 0x4C, 0x41), QColor(0x4A, 0x90, 0xE2), QColor(0x9E, 0x9D, 0x24),
        QColor(0x5D, 0x40, 0x37), QColor(0xAD, 0x14, 0x57), QColor(0x00, 0x97, 0xA7),
        QColor(0x45, 0x5A, 0x64)};
    constexpr int kTable = static_cast<int>(std::size(kColors));
    if (index < kTable) {
        return kColors[index];
    }
    const double hue = 70.0 + std::fmod((index - kTable) * 137.508, 260.0);
    return QColor::fromHsv(static_cast<int>(hue), 210, (index % 2) ? 150 : 200);
}

QIcon swatch(const QColor& color) {
    QPixmap pix(16, 16);
    pix.fill(Qt::transparent);
    QPainter p(&pix);
    p.setPen(color.darker(150));
    p.setBrush(color);
    p.drawRect(1, 1, 13, 13);
    return QIcon(pix);
}

// Resistances read as the tiles and the parameter window show them, without digit groups.
QLocale russian() {
    QLocale locale(QLocale::Russian, QLocale::Russia);
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    return locale;
}

QString kohmText(double kohm, bool whole) {
    return russian().toString(kohm, 'f', whole ? 0 : 1);
}

QString timeText(qint64 ms, const char* format) {
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QString::fromLatin1(format));
}

QString resolutionText(TrendResolution resolution) {
    switch (resolution) {
        case TrendResolution::Raw:
            return QStringLiteral("каждый отсчёт");
        case TrendResolution::Minute:
            return QStringLiteral("средние за минуту");
        case TrendResolution::Hour:
            break;
    }
    return QStringLiteral("средние за час");
}

}  // namespace

// ---- the chart view: zoom, pan and the pointer ----

// Left drag: a rubber band across the time axis zooms into it. Right drag: the span moves with
// the pointer. Wheel: zooms around the time under the pointer. Double click: the span of the range
// button chosen last. Moving the pointer shows what is under it.
class TrendChartView final : public QChartView {
  public:
    TrendChartView(QChart* chart, TFormTrend* form) : QChartView(chart, form), form_(form) {
        setRenderHint(QPainter::Antialiasing);
        setRubberBand(QChartView::NoRubberBand);
        setContextMenuPolicy(Qt::NoContextMenu);
        setMouseTracking(true);
        viewport()->setMouseTracking(true);
        band_ = new QRubberBand(QRubberBand::Rectangle, viewport());
        band_->hide();
    }

  protected:
    void mousePressEvent(QMouseEvent* event) override {
        const QPointF at = chartPoint(event->position().toPoint());
        if (!plot().contains(at)) {
            QChartView::mousePressEvent(event);
            return;
        }
        if (event->button() == Qt::LeftButton) {
            zoomFrom_ = event->position().toPoint().x();
            band_->setGeometry(QRect(*zoomFrom_, bandTop(), 1, bandHeight()));
            band_->show();
        } else if (event->button() == Qt::RightButton) {
            panFrom_ = event->position().toPoint().x();
            panSpan_ = {form_->fromMs(), form_->toMs()};
            viewport()->setCursor(Qt::ClosedHandCursor);
        }
        event->accept();
    }

    void mouseMoveEvent(QMouseEvent* event) override {
        const int x = event->position().toPoint().x();
        if (zoomFrom_) {
            band_->setGeometry(
                QRect(QPoint(std::min(x, *zoomFrom_), bandTop()),
                      QPoint(std::max(x, *zoomFrom_), bandTop() + bandHeight() - 1)));
        } else if (panFrom_) {
            const double width = std::max(1.0, plot().width());
            const auto shift = static_cast<qint64>(
                (x - *panFrom_) * double(panSpan_.second - panSpan_.first) / width);
            form_->showRange(panSpan_.first - shift, panSpan_.second - shift, false);
        } else {
            form_->pointerAt(event->position().toPoint());
        }
        QChartView::mouseMoveEvent(event);
    }

    void mouseReleaseEvent(QMouseEvent* event) override {
        if (zoomFrom_ && event->button() == Qt::LeftButton) {
            const int from = std::min(*zoomFrom_, event->position().toPoint().x());
            const int to = std::max(*zoomFrom_, event->position().toPoint().x());
            zoomFrom_.reset();
            band_->hide();
            // A click is not a zoom.
            if (to - from >= 6) {
                form_->showRange(form_->timeAtX(chartPoint(QPoint(from, 0)).x()),
                                 form_->timeAtX(chartPoint(QPoint(to, 0)).x()));
            }
        } else if (panFrom_ && event->button() == Qt::RightButton) {
            panFrom_.reset();
            viewport()->unsetCursor();
            form_->TimerRereadTimer();
        }
        event->accept();
    }

    void mouseDoubleClickEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton) {
            zoomFrom_.reset();
            band_->hide();
            form_->BtnRangeClick(form_->lastRange_);
        }
        event->accept();
    }

    void wheelEvent(QWheelEvent* event) override {
        const QPointF at = chartPoint(event->position().toPoint());
        const double steps = event->angleDelta().y() / 120.0;
        if (steps == 0 || !plot().contains(at)) {
            event->ignore();
            return;
        }
        form_->zoomAround(form_->timeAtX(at.x()), std::pow(0.8, steps));
        event->accept();
    }

    void leaveEvent(QEvent* event) override {
        if (!zoomFrom_ && !panFrom_) {
            form_->clearPointer();
        }
        QChartView::leaveEvent(event);
    }

  private:
    QPointF chartPoint(QPoint viewPos) const { return chart()->mapFromScene(mapToScene(viewPos)); }
    QRectF plot() const { return chart()->plotArea(); }
    int bandTop() const { return mapFromScene(chart()->mapToScene(plot().topLeft())).y(); }
    int bandHeight() const { return static_cast<int>(plot().height()); }

    TFormTrend* form_;
    QRubberBand* band_ = nullptr;
    std::optional<int> zoomFrom_;
    std::optional<int> panFrom_;
    std::pair<qint64, qint64> panSpan_;
};

// ---- the window ----

TFormTrend::TFormTrend(InsulationTrend* trend, Journal* journal, const DeviceTable& devices,
                       const QDir& workFolder, MessageSink& messages, const Clock& clock,
                       QWidget* parent)
    : QDialog(parent),
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

    TimerRefresh = new QTimer(this);
    TimerRefresh->setObjectName(QStringLiteral("TimerRefresh"));
    TimerRefresh->setInterval(kRefreshMs);
    connect(TimerRefresh, &QTimer::timeout, this, &TFormTrend::TimerRefreshTimer);
    TimerReread = new QTimer(this);
    TimerReread->setObjectName(QStringLiteral("TimerReread"));
    TimerReread->setSingleShot(true);
    TimerReread->setInterval(kRereadPauseMs);
    connect(TimerReread, &QTimer::timeout, this, &TFormTrend::TimerRereadTimer);

    std::vector<QWidget*> order(BtnRange.begin(), BtnRange.end());
    for (QWidget* w : {static_cast<QWidget*>(CheckLog), static_cast<QWidget*>(ListRelays),
                       static_cast<QWidget*>(GridForecast), static_cast<QWidget*>(BtnSaveCsv),
                       static_cast<QWidget*>(BtnSavePng), static_cast<QWidget*>(BtnClose)}) {
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

    const qint64 end = now();
    fromMs_ = end - kDayMs;
    toMs_ = end;
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
                [this, range = b.range] { BtnRangeClick(range); });
        BtnRange[i] = button;
        row->addWidget(button);
    }
    row->addSpacing(16);
    LabelRange = plainLabel(this, QString(), "LabelRange");
    LabelRange->setFont(namedFont(15, true));
    setTextColor(LabelRange, kNavy);
    LabelRange->setMinimumWidth(200);
    // In a narrow window the period takes two lines rather than losing its end.
    LabelRange->setWordWrap(true);
    row->addWidget(LabelRange, 1);
    CheckLog = new QCheckBox(QStringLiteral("Логарифмическая шкала"), this);
    CheckLog->setObjectName(QStringLiteral("CheckLog"));
    connect(CheckLog, &QCheckBox::toggled, this, &TFormTrend::CheckLogClick);
    row->addWidget(CheckLog);
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
    ListRelays = new QListWidget(box);
    ListRelays->setObjectName(QStringLiteral("ListRelays"));
    ListRelays->setSelectionMode(QAbstractItemView::SingleSelection);
    ListRelays->setUniformItemSizes(true);
    ListRelays->setTextElideMode(Qt::ElideRight);
    ListRelays->setIconSize(QSize(16, 16));
    boxColumn->addWidget(ListRelays, 1);
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
    connect(ListRelays, &QListWidget::itemChanged, this, [this] {
        if (!filling_) {
            ListRelaysChange();
        }
    });
    connect(ListRelays, &QListWidget::currentItemChanged, this, [this] {
        if (!filling_) {
            redraw();
        }
    });

    chart_ = new QChart;
    chart_->setObjectName(QStringLiteral("ChartTrend"));
    chart_->setTheme(QChart::ChartThemeLight);
    chart_->setBackgroundRoundness(0);
    chart_->setMargins(QMargins(6, 6, 14, 4));
    chart_->setAnimationOptions(QChart::NoAnimation);
    chart_->legend()->setAlignment(Qt::AlignBottom);
    chart_->legend()->setFont(namedFont(14));
    chart_->legend()->setMarkerShape(QLegend::MarkerShapeFromSeries);
    axisTime_ = new QDateTimeAxis(chart_);
    axisTime_->setObjectName(QStringLiteral("AxisTime"));
    axisTime_->setLabelsFont(namedFont(13));
    axisTime_->setGridLineColor(QColor(0xDD, 0xDD, 0xDD));
    chart_->addAxis(axisTime_, Qt::AlignBottom);
    setUpAxes(1, 1000);
    createFixedSeries();
    view_ = new TrendChartView(chart_, this);
    view_->setObjectName(QStringLiteral("ChartViewTrend"));
    view_->setMinimumHeight(320);
    row->addWidget(view_, 1);
    connect(chart_, &QChart::plotAreaChanged, this, [this] { placeOverlays(); });

    // Level labels stand on their lines at the right end of the plot, on a light ground so that
    // a line of data behind them does not cut through the letters.
    for (size_t i = 0; i < levelLabels_.size(); ++i) {
        levelLabels_[i] = new QGraphicsRectItem(chart_);
        levelLabels_[i]->setPen(Qt::NoPen);
        levelLabels_[i]->setBrush(QColor(255, 255, 255, 215));
        levelLabels_[i]->setZValue(20);
        levelTexts_[i] = new QGraphicsSimpleTextItem(levelLabels_[i]);
        levelTexts_[i]->setFont(namedFont(13, true));
        levelTexts_[i]->setBrush(i == 0 ? kSignalColor.darker(120) : kTripColor);
        levelLabels_[i]->hide();
    }

    const auto note = [this](const char* name, const QColor& ground) {
        QLabel* label = plainLabel(view_->viewport(), QString(), name);
        label->setFont(namedFont(15, true));
        label->setAutoFillBackground(true);
        QPalette pal = label->palette();
        pal.setColor(QPalette::Window, ground);
        pal.setColor(QPalette::WindowText, kDarkRed);
        label->setPalette(pal);
        label->setFrameShape(QFrame::Box);
        label->setMargin(6);
        label->hide();
        return label;
    };
    LabelLevelsNote = note("LabelLevelsNote", QColor(0xFF, 0xF6, 0xD5));
    LabelLevelsNote->setText(
        QStringLiteral("Уставки защиты ещё не читались: откройте окно параметров защиты"));
    LabelNoData = note("LabelNoData", QColor(0xF4, 0xF4, 0xF4));
    setTextColor(LabelNoData, QColor(0x40, 0x40, 0x40));
    LabelLegendNote =
        plainLabel(view_->viewport(), QStringLiteral("Цвета защит — как в списке «Защиты» слева"),
                   "LabelLegendNote");
    LabelLegendNote->setFont(namedFont(14));
    setTextColor(LabelLegendNote, QColor(0x40, 0x40, 0x40));
    LabelLegendNote->hide();

    column->addLayout(row, 1);
}

void TFormTrend::buildBottom(QVBoxLayout* column) {
    LabelPointer = plainLabel(this, QString(), "LabelPointer");
    LabelPointer->setFrameShape(QFrame::StyledPanel);
    LabelPointer->setMargin(4);
    LabelPointer->setMinimumHeight(LabelPointer->fontMetrics().height() + 12);
    LabelPointer->setTextInteractionFlags(Qt::TextSelectableByMouse);
    column->addWidget(LabelPointer);

    auto* box = new QGroupBox(
        QStringLiteral(" Скорость изменения за последнюю неделю и прогноз по ней "), this);
    box->setObjectName(QStringLiteral("GroupBoxForecast"));
    auto* boxColumn = new QVBoxLayout(box);
    boxColumn->setContentsMargins(8, 6, 8, 8);
    GridForecast = new QTableWidget(0, 3, box);
    GridForecast->setObjectName(QStringLiteral("GridForecast"));
    GridForecast->setHorizontalHeaderLabels({QStringLiteral("Генератор"),
                                             QStringLiteral("Изменение за сутки"),
                                             QStringLiteral("Прогноз")});
    GridForecast->setEditTriggers(QAbstractItemView::NoEditTriggers);
    GridForecast->setSelectionMode(QAbstractItemView::NoSelection);
    GridForecast->setFocusPolicy(Qt::NoFocus);
    GridForecast->setWordWrap(false);
    GridForecast->setIconSize(QSize(16, 16));
    GridForecast->verticalHeader()->hide();
    const int rowHeight = GridForecast->fontMetrics().height() + 8;
    GridForecast->verticalHeader()->setDefaultSectionSize(rowHeight);
    QHeaderView* header = GridForecast->horizontalHeader();
    header->setFont(namedFont(15, true));
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header->setHighlightSections(false);
    header->setStretchLastSection(true);
    const QFontMetrics cell(GridForecast->font());
    GridForecast->setColumnWidth(0, 300);
    GridForecast->setColumnWidth(
        1,
        std::max(
            cell.horizontalAdvance(QStringLiteral("−1 234,5 кОм/сут")),
            QFontMetrics(header->font()).horizontalAdvance(QStringLiteral("Изменение за сутки"))) +
            28);
    // Three relays at a glance; more scroll.
    GridForecast->setFixedHeight(header->sizeHint().height() + 3 * rowHeight + 4);
    boxColumn->addWidget(GridForecast);
    column->addWidget(box);

    LabelProblem = problemLabel(this);
    column->addWidget(LabelProblem);

    auto* help = plainLabel(this,
                            QStringLiteral("Мышь: выделить участок — увеличить, колесо — "
                                           "масштаб, правой кнопкой — сдвинуть, двойной "
                                           "щелчок — вернуть период"),
                            "LabelMouseHelp");
    help->setFont(namedFont(13));
    help->setWordWrap(true);
    setTextColor(help, QColor(0x50, 0x50, 0x50));
    BtnSaveCsv = dialogButton(this, "BtnSaveCsv", QStringLiteral("Сохранить CSV…"));
    BtnSavePng = dialogButton(this, "BtnSavePng", QStringLiteral("Сохранить PNG…"));
    BtnClose = dialogButton(this, "BtnClose", QStringLiteral("Закрыть"));
    auto* row = new QHBoxLayout;
    row->setSpacing(8);
    row->addWidget(help, 1);
    for (QPushButton* b : {BtnSaveCsv, BtnSavePng, BtnClose}) {
        b->setMinimumHeight(30);
        b->setMinimumWidth(std::max(110, b->sizeHint().width() + 16));
        row->addWidget(b);
    }
    column->addLayout(row);
    connect(BtnSaveCsv, &QPushButton::clicked, this, &TFormTrend::BtnSaveCsvClick);
    connect(BtnSavePng, &QPushButton::clicked, this, &TFormTrend::BtnSavePngClick);
    connect(BtnClose, &QPushButton::clicked, this, &QDialog::reject);
}

QChartView* TFormTrend::chartView() const {
    return view_;
}

qint64 TFormTrend::now() const {
    return clock_.now().toMSecsSinceEpoch();
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
    range_ = TrendRange::Day;
    lastRange_ = TrendRange::Day;
    if (open) {
        TimerReread->stop();
        setRangeOf(TrendRange::Day);
        ListRelaysChange();
    }
    showOrRaise();
}

void TFormTrend::showFromMenu() {
    if (!isVisible()) {
        fillRelays();
        const int selected = devices_.hasSelection() ? devices_.SelectedDevice : 1;
        selectOnly(selected, false);
        range_ = lastRange_;
    }
    showOrRaise();
}

void TFormTrend::selectOnly(int number, bool keepOthers) {
    const QSignalBlocker block(ListRelays);
    if (!keepOthers) {
        for (int row = 0; row < ListRelays->count(); ++row) {
            ListRelays->item(row)->setCheckState(Qt::Unchecked);
        }
    }
    QListWidgetItem* item = itemOf(number);
    if (!item && ListRelays->count() > 0 && !keepOthers) {
        item = ListRelays->item(0);
    }
    if (item) {
        item->setCheckState(Qt::Checked);
        ListRelays->setCurrentItem(item);
        ListRelays->scrollToItem(item);
    }
}

QListWidgetItem* TFormTrend::itemOf(int number) const {
    for (int row = 0; row < ListRelays->count(); ++row) {
        QListWidgetItem* item = ListRelays->item(row);
        if (number > 0 && item->data(kNumberRole).toInt() == number) {
            return item;
        }
    }
    return nullptr;
}

void TFormTrend::showEvent(QShowEvent* event) {
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

void TFormTrend::hideEvent(QHideEvent* event) {
    if (!event->spontaneous()) {
        TimerRefresh->stop();
        TimerReread->stop();
    }
    QDialog::hideEvent(event);
}

void TFormTrend::FormShow() {
    fillRelays();
    if (range_) {
        setRangeOf(*range_);
    }
    ListRelaysChange();
}

bool TFormTrend::fillRelays() {
    struct Row {
        QString text;
        uint16_t address;
        int number;
        QString generator;
    };
    std::vector<Row> rows;
    std::set<uint16_t> inTable;
    for (int i = 1; i <= devices_.DeviceCount; ++i) {
        const DeviceEntry& relay = devices_.entry(i);
        rows.push_back(
            {QStringLiteral("%1. %2 (адрес %3)").arg(i).arg(relay.GeneratorName).arg(relay.Address),
             relay.Address, i, relay.GeneratorName});
        inTable.insert(relay.Address);
    }
    // A relay taken off the list keeps its history; it can still be looked at.
    if (trend_) {
        for (uint16_t address : trend_->addresses()) {
            if (!inTable.count(address)) {
                rows.push_back({QStringLiteral("Адрес %1 (нет в списке защит)").arg(address),
                                address, 0, QStringLiteral("Адрес %1").arg(address)});
            }
        }
    }
    // Unchanged, the list is left as it is: where it is scrolled to and what has the focus.
    bool same = static_cast<int>(rows.size()) == ListRelays->count();
    for (int row = 0; same && row < ListRelays->count(); ++row) {
        const QListWidgetItem* item = ListRelays->item(row);
        same = item->text() == rows[size_t(row)].text &&
               item->data(kNumberRole).toInt() == rows[size_t(row)].number;
    }
    if (same) {
        return false;
    }

    std::set<uint16_t> ticked;
    std::optional<uint16_t> current;
    for (int row = 0; row < ListRelays->count(); ++row) {
        const QListWidgetItem* item = ListRelays->item(row);
        const auto address = static_cast<uint16_t>(item->data(kAddressRole).toUInt());
        if (item->checkState() == Qt::Checked) {
            ticked.insert(address);
        }
        if (item == ListRelays->currentItem()) {
            current = address;
        }
    }
    filling_ = true;
    const QSignalBlocker block(ListRelays);
    ListRelays->clear();
    for (const Row& row : rows) {
        auto* item = new QListWidgetItem(row.text, ListRelays);
        item->setData(kAddressRole, row.address);
        item->setData(kNumberRole, row.number);
        item->setData(kGeneratorRole, row.generator);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        item->setCheckState(ticked.count(row.address) ? Qt::Checked : Qt::Unchecked);
        item->setIcon(swatch(relayColor(ListRelays->count() - 1)));
        item->setToolTip(row.text);
        if (current == row.address) {
            ListRelays->setCurrentItem(item);
        }
    }
    filling_ = false;
    return true;
}

// ---- what is shown ----

void TFormTrend::ListRelaysChange() {
    std::vector<ShownRelay> shown;
    for (int row = 0; row < ListRelays->count(); ++row) {
        const QListWidgetItem* item = ListRelays->item(row);
        if (item->checkState() != Qt::Checked) {
            continue;
        }
        ShownRelay relay;
        relay.address = static_cast<uint16_t>(item->data(kAddressRole).toUInt());
        relay.number = item->data(kNumberRole).toInt();
        // As the list was filled: the device table may have changed since.
        relay.generator = item->data(kGeneratorRole).toString();
        relay.color = relayColor(row);
        shown.push_back(std::move(relay));
    }
    shown_ = std::move(shown);
    reread(true);
}

const TFormTrend::ShownRelay* TFormTrend::chosen() const {
    if (shown_.empty()) {
        return nullptr;
    }
    if (const QListWidgetItem* item = ListRelays->currentItem();
        item && item->checkState() == Qt::Checked) {
        const auto address = static_cast<uint16_t>(item->data(kAddressRole).toUInt());
        for (const ShownRelay& relay : shown_) {
            if (relay.address == address) {
                return &relay;
            }
        }
    }
    return &shown_.front();
}

void TFormTrend::setRangeOf(TrendRange range) {
    const qint64 end = now();
    qint64 begin = end - spanOf(range);
    if (range == TrendRange::All && trend_) {
        std::optional<qint64> first;
        for (const ShownRelay& relay : shown_) {
            if (const auto span = trend_->span(relay.address)) {
                first = first ? std::min(*first, span->first) : span->first;
            }
        }
        // Nothing kept yet: the last day, where the first samples will appear.
        begin = first ? std::min(*first, end - kNarrowestMs) : end - kDayMs;
    }
    fromMs_ = begin;
    toMs_ = end;
}

void TFormTrend::BtnRangeClick(TrendRange range) {
    range_ = range;
    lastRange_ = range;
    TimerReread->stop();
    setRangeOf(range);
    reread(true);
}

void TFormTrend::showRange(qint64 fromMs, qint64 toMs, bool readNow) {
    if (toMs < fromMs) {
        std::swap(fromMs, toMs);
    }
    qint64 span = std::clamp(toMs - fromMs, kNarrowestMs, kWidestMs);
    const qint64 middle = fromMs + (toMs - fromMs) / 2;
    fromMs_ = middle - span / 2;
    toMs_ = fromMs_ + span;
    range_.reset();
    markRangeButton();
    if (readNow) {
        TimerReread->stop();
        reread();
        return;
    }
    // The axis moves with the mouse at once; the points of the new span come once it rests.
    axisTime_->setRange(QDateTime::fromMSecsSinceEpoch(fromMs_),
                        QDateTime::fromMSecsSinceEpoch(toMs_));
    showRangeText();
    placeOverlays();
    TimerReread->start();
}

void TFormTrend::zoomAround(qint64 atMs, double factor) {
    const double from = double(atMs) - (atMs - fromMs_) * factor;
    const double to = double(atMs) + (toMs_ - atMs) * factor;
    showRange(static_cast<qint64>(std::llround(from)), static_cast<qint64>(std::llround(to)),
              false);
}

void TFormTrend::TimerRereadTimer() {
    TimerReread->stop();
    reread();
}

void TFormTrend::TimerRefreshTimer() {
    if (!isVisible()) {
        return;
    }
    // The device table may have changed since: relays added, renamed or taken away.
    const bool listChanged = fillRelays();
    if (range_) {
        setRangeOf(*range_);
    }
    if (listChanged) {
        ListRelaysChange();
        return;
    }
    reread(true);
}

void TFormTrend::markRangeButton() {
    for (size_t i = 0; i < BtnRange.size(); ++i) {
        BtnRange[i]->setChecked(range_ && *range_ == kRangeButtons[i].range);
    }
}

void TFormTrend::CheckLogClick() {
    redraw();
}

// ---- reading ----

void TFormTrend::reread(bool forecasts) {
    markRangeButton();
    forecastsWanted_ = forecastsWanted_ || forecasts;
    // The levels are one step down an index each, read here; the points and the marks, which
    // grow with the span and the years kept, on the reader's thread.
    for (ShownRelay& relay : shown_) {
        relay.levels = trend_ ? trend_->levels(relay.address) : std::nullopt;
    }
    if (!trend_ || !reader_ || !journal_->isReadable()) {
        // Nothing to read: the series say why (the journal's own words), at once.
        problems_.clear();
        marks_.clear();
        marksCut_ = false;
        for (ShownRelay& relay : shown_) {
            relay.series = trend_ ? trend_->read(relay.address, fromMs_, toMs_) : TrendSeries{};
            if (!relay.series.error.isEmpty()) {
                problems_ << relay.series.error;
            }
            relay.forecast.reset();
        }
        redraw();
        if (std::exchange(forecastsWanted_, false)) {
            showForecasts();
        }
        return;
    }
    TrendReadRequest request;
    for (const ShownRelay& relay : shown_) {
        request.relays.push_back({relay.address, relay.number});
    }
    request.fromMs = fromMs_;
    request.toMs = toMs_;
    if (forecastsWanted_) {
        request.weekEndMs = now();
    }
    request.maxMarks = journal_ ? kMaxMarks : 0;
    reader_->submit(std::move(request));
}

bool TFormTrend::isReading() const {
    return reader_ && reader_->busy();
}

void TFormTrend::showRead(const TrendReadResult& result) {
    const TrendReadRequest& request = result.request;
    problems_.clear();
    for (size_t i = 0; i < request.relays.size() && i < result.series.size(); ++i) {
        const uint16_t address = request.relays[i].address;
        auto relay = std::find_if(shown_.begin(), shown_.end(),
                                  [address](const ShownRelay& r) { return r.address == address; });
        if (relay == shown_.end()) {
            continue;
        }
        relay->series = result.series[i];
        if (!relay->series.error.isEmpty()) {
            problems_ << relay->series.error;
        } else {
            // The readings of the last minute, not yet in the file.
            mergePendingSamples(relay->series, trend_->pendingSamples(address), request.fromMs,
                                request.toMs);
        }
        if (request.weekEndMs && i < result.weeks.size()) {
            relay->forecast.reset();
            const TrendSeries& week = result.weeks[i];
            if (week.error.isEmpty()) {
                const std::optional<double> signal =
                    relay->levels ? std::optional<double>(relay->levels->signalKohm) : std::nullopt;
                relay->forecast = forecastInsulation(week.points, *request.weekEndMs, signal);
            }
        }
    }

    marks_.clear();
    marksCut_ = false;
    const auto keep = [this](const TrendReadResult::Marks& rows, uint16_t address,
                             const QString& generator) {
        if (!rows.error.isEmpty()) {
            problems_ << rows.error;
            return;
        }
        marksCut_ = marksCut_ || rows.entries.size() >= size_t(kMaxMarks);
        for (const JournalEntry& e : rows.entries) {
            // The tile number of a record is that of its time: another relay may have stood on
            // the tile then.
            if (address != 0 && (!e.relay || e.relay->address != address)) {
                continue;
            }
            Mark mark;
            mark.timeMs = e.timeMs;
            mark.kind = e.kind;
            mark.address = address;
            mark.text = timeText(e.timeMs, "dd.MM.yyyy HH:mm:ss") + QStringLiteral(" — ") +
                        (generator.isEmpty() ? QString() : generator + QStringLiteral(": ")) +
                        e.text;
            marks_.push_back(std::move(mark));
        }
    };
    // Each relay's own records, then the lost links, which silence every relay at once and are
    // marked for all of them.
    if (!result.marks.empty()) {
        for (size_t i = 0; i < request.relays.size() && i < result.marks.size(); ++i) {
            const uint16_t address = request.relays[i].address;
            const auto relay =
                std::find_if(shown_.begin(), shown_.end(),
                             [address](const ShownRelay& r) { return r.address == address; });
            if (request.relays[i].number > 0 && relay != shown_.end()) {
                keep(result.marks[i], address, relay->generator);
            }
        }
        keep(result.marks.back(), 0, QString());
    }
    std::sort(marks_.begin(), marks_.end(),
              [](const Mark& a, const Mark& b) { return a.timeMs < b.timeMs; });
    redraw();
    if (request.weekEndMs) {
        forecastsWanted_ = false;
        showForecasts();
    }
}

// ---- drawing ----

void TFormTrend::setUpAxes(double low, double high) {
    const bool logarithmic = CheckLog->isChecked();
    const bool isLog = axisValue_ && axisValue_->type() == QAbstractAxis::AxisTypeLogValue;
    if (!axisValue_ || isLog != logarithmic) {
        if (axisValue_) {
            chart_->removeAxis(axisValue_);
            delete axisValue_;
        }
        if (logarithmic) {
            auto* axis = new QLogValueAxis(chart_);
            axis->setBase(10);
            axis->setLabelFormat(QStringLiteral("%.0f"));
            axis->setMinorTickCount(8);
            axis->setMinorGridLineColor(QColor(0xEE, 0xEE, 0xEE));
            axisValue_ = axis;
        } else {
            auto* axis = new QValueAxis(chart_);
            axis->setLabelFormat(QStringLiteral("%.0f"));
            axisValue_ = axis;
        }
        axisValue_->setObjectName(QStringLiteral("AxisValue"));
        axisValue_->setTitleText(QStringLiteral("Сопротивление изоляции, кОм"));
        axisValue_->setTitleFont(namedFont(14, true));
        axisValue_->setLabelsFont(namedFont(13));
        axisValue_->setGridLineColor(QColor(0xDD, 0xDD, 0xDD));
        chart_->addAxis(axisValue_, Qt::AlignLeft);
        for (QAbstractSeries* series : chart_->series()) {
            series->attachAxis(axisValue_);
        }
    }
    if (logarithmic) {
        // Below 1 kΩ a log scale says nothing more; a dead short is drawn on its bottom line.
        const double floorLow = std::pow(10.0, std::floor(std::log10(std::max(low, 1.0))));
        // The top at 1, 2 or 5 times a power of ten, with room above the lines for the marks.
        const double wanted = std::max(high * 1.6, floorLow * 10);
        const double power = std::pow(10.0, std::floor(std::log10(wanted)));
        double ceilHigh = 10 * power;
        for (const double m : {1.0, 2.0, 5.0}) {
            if (m * power >= wanted) {
                ceilHigh = m * power;
                break;
            }
        }
        axisValue_->setRange(floorLow, ceilHigh);
        valueLow_ = floorLow;
        valueHigh_ = ceilHigh;
    } else {
        // Round steps (1, 2 or 5 times a power of ten), about eight of them, from zero: how
        // far the resistance is from nothing matters as much as its changes.
        const double top = std::max(high * 1.12, 10.0);
        const double rough = top / 8;
        const double power = std::pow(10.0, std::floor(std::log10(rough)));
        double step = 10 * power;
        for (const double m : {1.0, 2.0, 5.0}) {
            if (m * power >= rough) {
                step = m * power;
                break;
            }
        }
        auto* axis = static_cast<QValueAxis*>(axisValue_);
        valueLow_ = 0;
        valueHigh_ = std::ceil(top / step) * step;
        axis->setRange(valueLow_, valueHigh_);
        axis->setTickType(QValueAxis::TicksDynamic);
        axis->setTickAnchor(0);
        axis->setTickInterval(step);
    }
}

void TFormTrend::attachSeries(QAbstractSeries* series) {
    chart_->addSeries(series);
    series->attachAxis(axisTime_);
    series->attachAxis(axisValue_);
}

QLegendMarker* TFormTrend::markerOf(QAbstractSeries* series) const {
    const QList<QLegendMarker*> markers = chart_->legend()->markers(series);
    return markers.isEmpty() ? nullptr : markers.front();
}

void TFormTrend::createFixedSeries() {
    // Made once and given new points at every drawing: a chart of hundreds of series spends more
    // on making and removing them than on anything else.
    const struct {
        const char* name;
        QColor color;
    } levels[] = {{"LevelSignal", kSignalColor}, {"LevelTrip", kTripColor}};
    for (size_t i = 0; i < levelLines_.size(); ++i) {
        levelLines_[i] = new QLineSeries;
        levelLines_[i]->setObjectName(QString::fromLatin1(levels[i].name));
        levelLines_[i]->setPen(QPen(levels[i].color, 2, Qt::DashLine));
        attachSeries(levelLines_[i]);
        markerOf(levelLines_[i])->setVisible(false);
    }
    const struct {
        const char* name;
        const char* caption;
        QColor color;
        QScatterSeries::MarkerShape shape;
    } marks[] = {
        {"MarksProtection", "Срабатывание защиты", kProtectionMarkColor,
         QScatterSeries::MarkerShapeTriangle},
        {"MarksLink", "Потеря связи", kLinkMarkColor, QScatterSeries::MarkerShapeRectangle}};
    for (size_t i = 0; i < markSeries_.size(); ++i) {
        markSeries_[i] = new QScatterSeries;
        markSeries_[i]->setObjectName(QString::fromLatin1(marks[i].name));
        markSeries_[i]->setName(QString::fromUtf8(marks[i].caption));
        markSeries_[i]->setMarkerShape(marks[i].shape);
        markSeries_[i]->setMarkerSize(11);
        markSeries_[i]->setColor(marks[i].color);
        markSeries_[i]->setBorderColor(marks[i].color.darker(140));
        attachSeries(markSeries_[i]);
        markerOf(markSeries_[i])->setVisible(false);
    }
    pointerMark_ = new QScatterSeries;
    pointerMark_->setObjectName(QStringLiteral("Pointer"));
    pointerMark_->setMarkerSize(10);
    pointerMark_->setColor(Qt::white);
    attachSeries(pointerMark_);
    markerOf(pointerMark_)->setVisible(false);
}

TFormTrend::Slot& TFormTrend::slot(size_t i) {
    while (slots_.size() <= i) {
        Slot s;
        s.band = new QAreaSeries;
        s.band->setUpperSeries(new QLineSeries(s.band));
        s.band->setLowerSeries(new QLineSeries(s.band));
        s.band->setPen(Qt::NoPen);
        s.line = new QLineSeries;
        attachSeries(s.band);
        attachSeries(s.line);
        markerOf(s.band)->setVisible(false);
        s.lineMarker = markerOf(s.line);
        s.lineMarker->setVisible(false);
        slots_.push_back(s);
    }
    return slots_[i];
}

void TFormTrend::redraw() {
    clearPointer();

    const ShownRelay* levelsOf = chosen();
    double low = std::numeric_limits<double>::max();
    double high = 0;
    bool anyPoint = false;
    for (const ShownRelay& relay : shown_) {
        for (const TrendPoint& p : relay.series.points) {
            low = std::min(low, p.min);
            high = std::max(high, p.max);
            anyPoint = true;
        }
    }
    if (levelsOf && levelsOf->levels) {
        for (const double level :
             {double(levelsOf->levels->signalKohm), double(levelsOf->levels->tripKohm)}) {
            low = std::min(low, level);
            high = std::max(high, level);
        }
    }
    if (high <= 0) {
        low = 1;
        high = 1000;
    }
    setUpAxes(low, high);
    axisTime_->setRange(QDateTime::fromMSecsSinceEpoch(fromMs_),
                        QDateTime::fromMSecsSinceEpoch(toMs_));
    const qint64 span = toMs_ - fromMs_;
    axisTime_->setFormat(span <= 6 * kHourMs   ? QStringLiteral("HH:mm")
                         : span <= 10 * kDayMs ? QStringLiteral("dd.MM HH:mm")
                                               : QStringLiteral("dd.MM.yyyy"));

    const bool logarithmic = CheckLog->isChecked();
    const auto y = [this, logarithmic](double kohm) {
        return logarithmic ? std::max(kohm, valueLow_) : kohm;
    };
    // Columns of the plot's width at least; a chart not yet laid out counts as a wide one.
    const qint64 columns = std::max<qint64>(view_->viewport()->width() - 100, 900);
    const qint64 bucketMs = std::max<qint64>(span / columns, 1);

    size_t used = 0;
    const size_t slotsBefore = slots_.size();
    const auto showLine = [](Slot& s, const ShownRelay& relay, bool inLegend) {
        s.line->setObjectName(QStringLiteral("Mean"));
        s.line->setProperty("address", relay.address);
        s.line->setName(relay.generator);
        s.line->setPen(QPen(relay.color, 2));
        if (s.inLegend != inLegend) {
            s.inLegend = inLegend;
            s.lineMarker->setVisible(inLegend);
        }
    };
    const auto noBand = [](Slot& s) {
        s.band->setObjectName(QString());
        s.band->setProperty("address", QVariant());
        s.band->upperSeries()->clear();
        s.band->lowerSeries()->clear();
    };
    legendLabels_.clear();
    // Bands of many relays would cover each other in tints: beyond a few, only the chosen one's.
    const bool bandsOfAll = shown_.size() <= 4;
    for (const ShownRelay& relay : shown_) {
        legendLabels_ << relay.generator;
        const bool aggregated =
            relay.series.resolution != TrendResolution::Raw && (bandsOfAll || &relay == levelsOf);
        const auto segments = trendSegments(relay.series);
        QColor tint = relay.color;
        tint.setAlpha(60);
        for (size_t k = 0; k < segments.size(); ++k) {
            const std::vector<TrendPoint> points = thinTrendSegment(segments[k], bucketMs);
            Slot& s = slot(used++);
            if (aggregated) {
                QList<QPointF> top;
                QList<QPointF> bottom;
                top.reserve(qsizetype(points.size()));
                bottom.reserve(qsizetype(points.size()));
                for (const TrendPoint& p : points) {
                    top.append(QPointF(double(p.timeMs), y(p.max)));
                    bottom.append(QPointF(double(p.timeMs), y(p.min)));
                }
                s.band->setObjectName(QStringLiteral("Band"));
                s.band->setProperty("address", relay.address);
                s.band->setName(relay.generator);
                s.band->setBrush(tint);
                s.band->upperSeries()->replace(top);
                s.band->lowerSeries()->replace(bottom);
            } else {
                noBand(s);
            }
            QList<QPointF> means;
            means.reserve(qsizetype(points.size()));
            for (const TrendPoint& p : points) {
                means.append(QPointF(double(p.timeMs), y(p.mean)));
            }
            showLine(s, relay, k == 0);
            s.line->replace(means);
            // A stretch of one point has no line to draw: its point stands alone.
            s.line->setPointsVisible(points.size() == 1);
            s.line->setMarkerSize(6);
        }
        if (segments.empty()) {
            // The relay keeps its place in the legend when the span holds none of its points.
            Slot& s = slot(used++);
            noBand(s);
            showLine(s, relay, true);
            s.line->clear();
        }
    }
    if (slots_.size() > slotsBefore) {
        // New stretches go to the end of the legend: the event marks follow the relays again,
        // and the levels and the pointer lie over the lines.
        std::vector<QAbstractSeries*> last(levelLines_.begin(), levelLines_.end());
        last.insert(last.end(), markSeries_.begin(), markSeries_.end());
        last.push_back(pointerMark_);
        for (QAbstractSeries* series : last) {
            chart_->removeSeries(series);
            attachSeries(series);
            markerOf(series)->setVisible(false);
        }
    }
    for (size_t i = used; i < slots_.size(); ++i) {
        Slot& s = slots_[i];
        noBand(s);
        s.line->setObjectName(QString());
        s.line->setProperty("address", QVariant());
        s.line->clear();
        if (s.inLegend) {
            s.inLegend = false;
            s.lineMarker->setVisible(false);
        }
    }

    // The alarm levels of the chosen relay.
    levelValues_ = {};
    for (size_t i = 0; i < levelLines_.size(); ++i) {
        levelLabels_[i]->hide();
        levelTexts_[i]->setText(QString());
        levelLines_[i]->clear();
        levelLines_[i]->setProperty("address", QVariant());
    }
    if (levelsOf && levelsOf->levels) {
        const AlarmLevels& levels = *levelsOf->levels;
        const QString read = QDateTime::fromMSecsSinceEpoch(levels.readAtMs)
                                 .toString(QStringLiteral("dd.MM.yyyy HH:mm"));
        const struct {
            const char* caption;
            double kohm;
        } lines[] = {{"Уровень срабатывания защиты на СИГНАЛ", double(levels.signalKohm)},
                     {"Уровень срабатывания защиты на ОТКЛЮЧЕНИЕ", double(levels.tripKohm)}};
        for (size_t i = 0; i < std::size(lines); ++i) {
            QString label = QString::fromUtf8(lines[i].caption);
            if (shown_.size() > 1) {
                label += QStringLiteral(" (") + levelsOf->generator + QLatin1Char(')');
            }
            label += QStringLiteral(": ") + kohmText(lines[i].kohm, true) +
                     QStringLiteral(" кОм, уставки прочитаны ") + read;
            levelLines_[i]->setName(label);
            levelLines_[i]->setProperty("address", levelsOf->address);
            levelLines_[i]->replace({QPointF(double(fromMs_), y(lines[i].kohm)),
                                     QPointF(double(toMs_), y(lines[i].kohm))});
            levelTexts_[i]->setText(label);
            levelValues_[i] = y(lines[i].kohm);
        }
    }

    // The journal's events along the top of the plot.
    for (size_t i = 0; i < markSeries_.size(); ++i) {
        const bool protection = i == 0;
        const double markY = yOfMarks(protection);
        QList<QPointF> at;
        for (const Mark& mark : marks_) {
            if ((mark.kind == JournalKind::ProtectionEvent) == protection) {
                at.append(QPointF(double(mark.timeMs), markY));
            }
        }
        markSeries_[i]->replace(at);
        markerOf(markSeries_[i])->setVisible(!at.isEmpty());
        if (!at.isEmpty()) {
            legendLabels_ << markSeries_[i]->name();
        }
    }

    LabelLevelsNote->setVisible(levelsOf && !levelsOf->levels && trend_);
    if (!trend_) {
        LabelNoData->setText(QStringLiteral("Станция не ведёт журнал: тренды не записываются."));
    } else if (shown_.empty()) {
        LabelNoData->setText(QStringLiteral("Отметьте в списке защиты, тренд которых показать."));
    } else if (!anyPoint) {
        LabelNoData->setText(QStringLiteral("За этот период записей сопротивления нет."));
    }
    LabelNoData->setVisible(!trend_ || shown_.empty() || !anyPoint);
    showRangeText();
    showProblem();
    placeOverlays();
}

double TFormTrend::yOfMarks(bool protection) const {
    // Two rows along the top of the plot, which the scale keeps clear of the lines (and of the
    // alarm levels, which lie low): the link losses, which come in runs, do not hide a protection
    // event among them.
    const double share = protection ? 0.94 : 0.975;
    if (CheckLog->isChecked()) {
        return valueLow_ * std::pow(valueHigh_ / valueLow_, share);
    }
    return valueLow_ + (valueHigh_ - valueLow_) * share;
}

double TFormTrend::valueToY(double kohm) const {
    const QRectF plot = chart_->plotArea();
    double share = 0;
    if (CheckLog->isChecked()) {
        share = (std::log10(std::max(kohm, valueLow_)) - std::log10(valueLow_)) /
                (std::log10(valueHigh_) - std::log10(valueLow_));
    } else {
        share = (kohm - valueLow_) / (valueHigh_ - valueLow_);
    }
    return plot.bottom() - share * plot.height();
}

qint64 TFormTrend::timeAtX(double chartX) const {
    const QRectF plot = chart_->plotArea();
    const double share = (chartX - plot.left()) / std::max(1.0, plot.width());
    return fromMs_ + static_cast<qint64>(std::llround(share * double(toMs_ - fromMs_)));
}

void TFormTrend::placeOverlays() {
    const QRectF plot = chart_->plotArea();
    if (plot.width() > 0) {
        axisTime_->setTickCount(std::clamp(static_cast<int>(plot.width() / 150) + 1, 3, 11));
    }
    // The labels of the levels sit above their lines at the right; when the two lines are too
    // close for both, the lower label goes under its line.
    // Where the label above ends: none yet.
    double previousBottom = std::numeric_limits<double>::lowest();
    std::array<size_t, 2> order{0, 1};
    std::sort(order.begin(), order.end(),
              [this](size_t a, size_t b) { return levelValues_[a] > levelValues_[b]; });
    for (const size_t i : order) {
        QGraphicsRectItem* label = levelLabels_[i];
        if (levelTexts_[i]->text().isEmpty() || levelValues_[i] <= 0 || plot.width() <= 0) {
            label->hide();
            continue;
        }
        // A label wider than the plot (a narrow screen, a relay's name added) is broken before
        // the date of its setpoints, and each line shortened to the room there is.
        const QString full = levelLines_[i]->name();
        const QFontMetricsF metrics(levelTexts_[i]->font());
        const double room = plot.width() - 14;
        QString shown = full;
        if (metrics.horizontalAdvance(full) > room) {
            const qsizetype cut = full.indexOf(QStringLiteral(", уставки"));
            QStringList lines =
                cut > 0 ? QStringList{full.left(cut), full.mid(cut + 2)} : QStringList{full};
            for (QString& line : lines) {
                line = metrics.elidedText(line, Qt::ElideRight, room);
            }
            shown = lines.join(QLatin1Char('\n'));
        }
        levelTexts_[i]->setText(shown);
        const QRectF text = levelTexts_[i]->boundingRect();
        const double lineY = valueToY(levelValues_[i]);
        double top = lineY - text.height() - 3;
        if (top < previousBottom + 1) {
            top = lineY + 3;
        }
        top = std::clamp(top, plot.top() + 1, plot.bottom() - text.height() - 1);
        const double left = std::max(plot.left() + 4, plot.right() - text.width() - 10);
        label->setRect(QRectF(0, 0, text.width() + 6, text.height()));
        label->setPos(left - 3, top);
        levelTexts_[i]->setPos(3, 0);
        label->setVisible(lineY >= plot.top() && lineY <= plot.bottom());
        previousBottom = top + text.height();
    }
    // A legend too long for one row would be cut to its colours alone: then the list of relays,
    // which has the same colours by the names, serves as the legend.
    QLegend* legend = chart_->legend();
    const QFontMetrics legendFont(legend->font());
    int needed = 0;
    for (const QString& label : legendLabels_) {
        needed += legendFont.horizontalAdvance(label) + 40;
    }
    const bool fits = needed <= chart_->size().width() - 40;
    if (legend->isVisible() != fits) {
        legend->setVisible(fits);
        // Room under the time axis for the note that stands in for it.
        QMargins margins = chart_->margins();
        margins.setBottom(fits ? 4 : LabelLegendNote->sizeHint().height() + 8);
        chart_->setMargins(margins);
    }
    LabelLegendNote->setVisible(!fits && !shown_.empty());
    if (!fits) {
        LabelLegendNote->adjustSize();
        const QPoint bottom = view_->mapFromScene(
            chart_->mapToScene(QPointF(plot.center().x(), chart_->size().height() - 6)));
        LabelLegendNote->move(bottom.x() - LabelLegendNote->width() / 2,
                              bottom.y() - LabelLegendNote->height());
    }

    // The notes at the left of the plot, under the rows of event marks, one under the other.
    const QPoint corner = view_->mapFromScene(
        chart_->mapToScene(QPointF(plot.left(), plot.top() + 0.08 * plot.height())));
    int top = corner.y() + 6;
    for (QLabel* note : {LabelLevelsNote, LabelNoData}) {
        note->adjustSize();
        note->move(corner.x() + 12, top);
        if (note->isVisibleTo(view_->viewport())) {
            top += note->height() + 6;
        }
    }
}

void TFormTrend::showRangeText() {
    TrendResolution resolution = InsulationTrend::resolutionFor(toMs_ - fromMs_);
    for (const ShownRelay& relay : shown_) {
        if (!relay.series.points.empty()) {
            resolution = relay.series.resolution;
            break;
        }
    }
    QString text = QStringLiteral("с %1 по %2 · %3")
                       .arg(timeText(fromMs_, "dd.MM.yyyy HH:mm"),
                            timeText(toMs_, "dd.MM.yyyy HH:mm"), resolutionText(resolution));
    if (marksCut_) {
        // The journal's newest records of each kind were taken; a narrower span shows the rest.
        text += QStringLiteral(" · отмечены последние %1 событий").arg(kMaxMarks);
    }
    LabelRange->setText(text);
}

void TFormTrend::showForecasts() {
    GridForecast->setRowCount(static_cast<int>(shown_.size()));
    int row = 0;
    for (const ShownRelay& relay : shown_) {
        auto* name = new QTableWidgetItem(swatch(relay.color), relay.generator);
        auto* slope = new QTableWidgetItem;
        auto* forecast = new QTableWidgetItem;
        if (relay.forecast) {
            slope->setText(slopeText(relay.forecast->slopeKohmPerDay));
            forecast->setText(forecastText(*relay.forecast));
        } else {
            slope->setText(QStringLiteral("—"));
            forecast->setText(QStringLiteral("мало часовых средних за неделю для прогноза"));
        }
        slope->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        for (QTableWidgetItem* item : {name, slope, forecast}) {
            item->setToolTip(item->text());
        }
        GridForecast->setItem(row, 0, name);
        GridForecast->setItem(row, 1, slope);
        GridForecast->setItem(row, 2, forecast);
        ++row;
    }
}

void TFormTrend::showProblem() {
    QString text;
    if (!trend_) {
        text = QStringLiteral("Станция не ведёт журнал событий.");
    } else if (!problems_.isEmpty()) {
        problems_.removeDuplicates();
        text = problems_.join(QLatin1Char('\n'));
    }
    LabelProblem->setText(text);
    LabelProblem->setVisible(!text.isEmpty());
}

// ---- the pointer ----

void TFormTrend::clearPointer() {
    if (pointerMark_) {
        pointerMark_->clear();
    }
    LabelPointer->setText(
        QStringLiteral("Наведите указатель на линию — здесь будут время и "
                       "значение ближайшей точки."));
    setTextColor(LabelPointer, QColor(0x60, 0x60, 0x60));
}

QString TFormTrend::pointerAt(QPoint viewPos) {
    const QPointF at = chart_->mapFromScene(view_->mapToScene(viewPos));
    const QRectF plot = chart_->plotArea();
    if (!plot.adjusted(-4, -4, 4, 4).contains(at) || toMs_ <= fromMs_) {
        clearPointer();
        return {};
    }
    const double msPerPixel = double(toMs_ - fromMs_) / std::max(1.0, plot.width());
    const auto xOf = [&](qint64 ms) { return plot.left() + double(ms - fromMs_) / msPerPixel; };
    const auto show = [this](const QString& text, const QColor& color) {
        LabelPointer->setText(text);
        setTextColor(LabelPointer, color);
        return text;
    };

    // An event mark: its record.
    {
        const double rows[] = {valueToY(yOfMarks(false)), valueToY(yOfMarks(true))};
        const Mark* nearest = nullptr;
        double best = 8;
        for (const Mark& mark : marks_) {
            const double dy = at.y() - rows[mark.kind == JournalKind::ProtectionEvent ? 1 : 0];
            if (std::abs(dy) > 8) {
                continue;
            }
            const double d = std::hypot(xOf(mark.timeMs) - at.x(), dy);
            if (d < best) {
                best = d;
                nearest = &mark;
            }
        }
        if (nearest) {
            if (pointerMark_) {
                pointerMark_->clear();
            }
            QToolTip::showText(view_->mapToGlobal(viewPos), nearest->text, view_);
            return show(nearest->text, nearest->kind == JournalKind::ProtectionEvent
                                           ? kDarkRed
                                           : QColor(0x30, 0x30, 0x30));
        }
    }

    // The nearest point of each relay in time, then the relay nearest on the screen.
    const qint64 t = timeAtX(at.x());
    const ShownRelay* bestRelay = nullptr;
    const TrendPoint* bestPoint = nullptr;
    double bestDistance = std::numeric_limits<double>::max();
    for (const ShownRelay& relay : shown_) {
        const std::vector<TrendPoint>& points = relay.series.points;
        const auto next =
            std::lower_bound(points.begin(), points.end(), t,
                             [](const TrendPoint& p, qint64 time) { return p.timeMs < time; });
        for (auto it : {next, next == points.begin() ? points.end() : std::prev(next)}) {
            if (it == points.end()) {
                continue;
            }
            const double dx = xOf(it->timeMs) - at.x();
            const double dy = valueToY(it->mean) - at.y();
            const double d = std::hypot(dx, dy);
            if (d < bestDistance) {
                bestDistance = d;
                bestRelay = &relay;
                bestPoint = &*it;
            }
        }
    }
    // A level line under the pointer, when no point is closer.
    for (size_t i = 0; i < levelValues_.size(); ++i) {
        if (levelValues_[i] > 0 && std::abs(valueToY(levelValues_[i]) - at.y()) <= 4 &&
            (!bestPoint || bestDistance > 6)) {
            if (pointerMark_) {
                pointerMark_->clear();
            }
            return show(levelLines_[i]->name(), i == 0 ? kSignalColor.darker(130) : kTripColor);
        }
    }
    if (!bestPoint || std::abs(xOf(bestPoint->timeMs) - at.x()) > 40) {
        clearPointer();
        return {};
    }
    const TrendResolution resolution = bestRelay->series.resolution;
    QString when;
    QString what;
    switch (resolution) {
        case TrendResolution::Raw:
            when = timeText(bestPoint->timeMs, "dd.MM.yyyy HH:mm:ss");
            what = kohmText(bestPoint->mean, true) + QStringLiteral(" кОм");
            break;
        case TrendResolution::Minute:
            when = timeText(bestPoint->timeMs, "dd.MM.yyyy HH:mm");
            what = QStringLiteral("%1 кОм (среднее за минуту; от %2 до %3 кОм)")
                       .arg(kohmText(bestPoint->mean, false), kohmText(bestPoint->min, true),
                            kohmText(bestPoint->max, true));
            break;
        case TrendResolution::Hour:
            when = timeText(bestPoint->timeMs, "dd.MM.yyyy HH:mm") + QStringLiteral("–") +
                   timeText(bestPoint->timeMs + kHourMs, "HH:mm");
            what = QStringLiteral("%1 кОм (среднее за час; от %2 до %3 кОм)")
                       .arg(kohmText(bestPoint->mean, false), kohmText(bestPoint->min, true),
                            kohmText(bestPoint->max, true));
            break;
    }
    if (pointerMark_) {
        const double y =
            CheckLog->isChecked() ? std::max(bestPoint->mean, valueLow_) : bestPoint->mean;
        pointerMark_->setBorderColor(bestRelay->color);
        pointerMark_->setPen(QPen(bestRelay->color, 2));
        pointerMark_->replace({QPointF(double(bestPoint->timeMs), y)});
    }
    return show(bestRelay->generator + QStringLiteral(": ") + when + QStringLiteral(" — ") + what,
                bestRelay->color.darker(130));
}

// ---- saving ----

QFileDialog* TFormTrend::csvDialog() {
    if (!csvDialog_) {
        csvDialog_ =
            newSaveDialog(this, "DialogSaveCsv", QStringLiteral("Сохранить тренд в CSV"),
                          QStringLiteral("CSV (*.csv)"), QStringLiteral("csv"), namesOnly_.get());
    }
    csvDialog_->setDirectory(workFolder_.absolutePath());
    csvDialog_->selectFile(
        QStringLiteral("trend-%1.csv").arg(clock_.now().toString(QStringLiteral("yyyyMMdd-HHmm"))));
    return csvDialog_;
}

QFileDialog* TFormTrend::pngDialog() {
    if (!pngDialog_) {
        pngDialog_ =
            newSaveDialog(this, "DialogSavePng", QStringLiteral("Сохранить изображение тренда"),
                          QStringLiteral("PNG (*.png)"), QStringLiteral("png"), namesOnly_.get());
    }
    pngDialog_->setDirectory(workFolder_.absolutePath());
    pngDialog_->selectFile(
        QStringLiteral("trend-%1.png").arg(clock_.now().toString(QStringLiteral("yyyyMMdd-HHmm"))));
    return pngDialog_;
}

void TFormTrend::BtnSaveCsvClick() {
    const QString path = askSavePath(csvDialog());
    if (!path.isEmpty()) {
        saveCsvTo(path);
    }
}

void TFormTrend::BtnSavePngClick() {
    const QString path = askSavePath(pngDialog());
    if (!path.isEmpty()) {
        savePngTo(path);
    }
}

bool TFormTrend::saveCsvTo(const QString& path) {
    if (shown_.empty()) {
        messages_.showMessage(MessageIcon::Error,
                              QStringLiteral("Не отмечено ни одной защиты: сохранять нечего."));
        return false;
    }
    // What the mouse chose last counts, even when its pause has not run out yet.
    if (TimerReread->isActive()) {
        TimerRereadTimer();
    }
    std::vector<TrendCsvRelay> relays;
    qint64 points = 0;
    for (const ShownRelay& relay : shown_) {
        relays.push_back({relay.number, relay.address,
                          relay.number > 0 ? relay.generator : QString(), &relay.series});
        points += static_cast<qint64>(relay.series.points.size());
    }
    const QString target = QFileInfo(path).absoluteFilePath();
    if (const std::optional<QString> refusal = stationFileSaveRefusal(workFolder_, target)) {
        messages_.showMessage(MessageIcon::Error, *refusal);
        return false;
    }
    if (const FileError error =
            saveFileAtomically(target, trendCsv(relays, QTimeZone::systemTimeZone()))) {
        messages_.showMessage(MessageIcon::Error, *error);
        return false;
    }
    messages_.showMessage(MessageIcon::Information,
                          QStringLiteral("Тренд сохранён в %1: %2.")
                              .arg(QDir::toNativeSeparators(target),
                                   russianCount(points, QStringLiteral("точка"),
                                                QStringLiteral("точки"), QStringLiteral("точек"))));
    return true;
}

namespace {

// A picture taken out of the window goes into reports on its own, so it carries a line above the
// chart naming what it shows. Drawn on a copy: the chart's own layout and marks stay as they are.
QPixmap titledPicture(const QPixmap& chart, const QString& title) {
    if (chart.isNull()) {
        return chart;
    }
    const qreal ratio = chart.devicePixelRatio();
    const QFont font = namedFont(15, true);
    const int strip = QFontMetrics(font).height() * 2;
    const QSize logical = chart.deviceIndependentSize().toSize();
    QPixmap out(QSize(logical.width(), logical.height() + strip) * ratio);
    out.setDevicePixelRatio(ratio);
    out.fill(Qt::white);
    QPainter painter(&out);
    painter.setFont(font);
    painter.setPen(kNavy);
    painter.drawText(QRect(0, 0, logical.width(), strip), Qt::AlignCenter, title);
    painter.drawPixmap(0, strip, chart);
    return out;
}

}  // namespace

bool TFormTrend::savePngTo(const QString& path) {
    if (TimerReread->isActive()) {
        TimerRereadTimer();
    }
    clearPointer();
    const QPixmap picture = titledPicture(
        view_->grab(), QStringLiteral("%1, %2").arg(windowTitle(), LabelRange->text()));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (picture.isNull() || !picture.save(&buffer, "PNG")) {
        messages_.showMessage(MessageIcon::Error,
                              QStringLiteral("Не удалось получить изображение графика."));
        return false;
    }
    const QString target = QFileInfo(path).absoluteFilePath();
    if (const std::optional<QString> refusal = stationFileSaveRefusal(workFolder_, target)) {
        messages_.showMessage(MessageIcon::Error, *refusal);
        return false;
    }
    if (const FileError error = saveFileAtomically(target, bytes)) {
        messages_.showMessage(MessageIcon::Error, *error);
        return false;
    }
    messages_.showMessage(
        MessageIcon::Information,
        QStringLiteral("Изображение тренда сохранено в %1.").arg(QDir::toNativeSeparators(target)));
    return true;
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

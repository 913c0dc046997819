// The trend window's chart: the series the model's picture becomes, the labels and notes over the
// plot, and the mouse on it.
#include <QAreaSeries>
#include <QChart>
#include <QChartView>
#include <QDateTimeAxis>
#include <QFontMetricsF>
#include <QGraphicsRectItem>
#include <QGraphicsSimpleTextItem>
#include <QHBoxLayout>
#include <QLabel>
#include <QLegend>
#include <QLegendMarker>
#include <QLineSeries>
#include <QLogValueAxis>
#include <QMouseEvent>
#include <QPainter>
#include <QRubberBand>
#include <QScatterSeries>
#include <QToolTip>
#include <QValueAxis>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>
#include <limits>

#include "widgets/widget_dialog.h"
#include "windows/trend/form_trend.h"
#include "windows/trend/trend_style.h"

namespace terval {

namespace trend_style {

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

}  // namespace trend_style

using namespace trend_style;

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
            form_->rereadTimeout();
        }
        event->accept();
    }

    void mouseDoubleClickEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton) {
            zoomFrom_.reset();
            band_->hide();
            form_->rangeClicked(form_->model_.lastRange());
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

// ---- the chart ----

QChartView* TFormTrend::chartView() const {
    return view_;
}

void TFormTrend::buildChart(QHBoxLayout* row) {
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
    setUpAxes(model_.scale());
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
    labelLevelsNote_ = note("LabelLevelsNote", QColor(0xFF, 0xF6, 0xD5));
    labelLevelsNote_->setText(
        QStringLiteral("Уставки защиты ещё не читались: откройте окно параметров защиты"));
    labelNoData_ = note("LabelNoData", QColor(0xF4, 0xF4, 0xF4));
    setTextColor(labelNoData_, QColor(0x40, 0x40, 0x40));
    labelLegendNote_ =
        plainLabel(view_->viewport(), QStringLiteral("Цвета защит — как в списке «Защиты» слева"),
                   "LabelLegendNote");
    labelLegendNote_->setFont(namedFont(14));
    setTextColor(labelLegendNote_, QColor(0x40, 0x40, 0x40));
    labelLegendNote_->hide();
}

// ---- drawing ----

void TFormTrend::setUpAxes(const TrendPlotModel::ValueScale& scale) {
    const bool logarithmic = scale.logarithmic;
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
    axisValue_->setRange(scale.low, scale.high);
    if (!logarithmic) {
        auto* axis = static_cast<QValueAxis*>(axisValue_);
        axis->setTickType(QValueAxis::TicksDynamic);
        axis->setTickAnchor(0);
        axis->setTickInterval(scale.step);
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

    // Columns of the plot's width at least; a chart not yet laid out counts as a wide one.
    const TrendPlotModel::Picture picture =
        model_.picture(currentAddress(), checkLog_->isChecked(), view_->viewport()->width() - 100);
    setUpAxes(picture.scale);
    axisTime_->setRange(QDateTime::fromMSecsSinceEpoch(model_.fromMs()),
                        QDateTime::fromMSecsSinceEpoch(model_.toMs()));
    axisTime_->setFormat(picture.timeFormat);

    const std::vector<ShownRelay>& shown = model_.relays();
    size_t used = 0;
    const size_t slotsBefore = slots_.size();
    const auto showLine = [](Slot& s, const ShownRelay& relay, bool inLegend) {
        s.line->setObjectName(QStringLiteral("Mean"));
        s.line->setProperty("address", relay.address);
        s.line->setName(relay.generator);
        s.line->setPen(QPen(colorOf(relay), 2));
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
    legendLabels_ = picture.legendLabels;
    for (const TrendPlotModel::Stretch& stretch : picture.stretches) {
        const ShownRelay& relay = shown[stretch.relay];
        const std::vector<TrendPoint>& points = stretch.points;
        Slot& s = slot(used++);
        if (stretch.band) {
            QColor tint = colorOf(relay);
            tint.setAlpha(60);
            QList<QPointF> top;
            QList<QPointF> bottom;
            top.reserve(qsizetype(points.size()));
            bottom.reserve(qsizetype(points.size()));
            for (const TrendPoint& p : points) {
                top.append(QPointF(double(p.timeMs), p.max));
                bottom.append(QPointF(double(p.timeMs), p.min));
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
        showLine(s, relay, stretch.inLegend);
        if (points.empty()) {
            s.line->clear();
            continue;
        }
        QList<QPointF> means;
        means.reserve(qsizetype(points.size()));
        for (const TrendPoint& p : points) {
            means.append(QPointF(double(p.timeMs), p.mean));
        }
        s.line->replace(means);
        // A stretch of one point has no line to draw: its point stands alone.
        s.line->setPointsVisible(points.size() == 1);
        s.line->setMarkerSize(6);
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
    const ShownRelay* levelsOf = chosen();
    for (size_t i = 0; i < levelLines_.size(); ++i) {
        const TrendPlotModel::Level& level = model_.levels()[i];
        levelLabels_[i]->hide();
        levelTexts_[i]->setText(level.label);
        if (level.label.isEmpty()) {
            levelLines_[i]->clear();
            levelLines_[i]->setProperty("address", QVariant());
            continue;
        }
        levelLines_[i]->setName(level.label);
        levelLines_[i]->setProperty("address", levelsOf->address);
        levelLines_[i]->replace({QPointF(double(model_.fromMs()), level.value),
                                 QPointF(double(model_.toMs()), level.value)});
    }

    // The journal's events along the top of the plot.
    for (size_t i = 0; i < markSeries_.size(); ++i) {
        const double markY = model_.markValue(i == 0);
        QList<QPointF> at;
        for (const qint64 t : picture.markTimes[i]) {
            at.append(QPointF(double(t), markY));
        }
        markSeries_[i]->replace(at);
        markerOf(markSeries_[i])->setVisible(!at.isEmpty());
    }

    labelLevelsNote_->setVisible(picture.levelsNote);
    if (!picture.noData.isEmpty()) {
        labelNoData_->setText(picture.noData);
    }
    labelNoData_->setVisible(!picture.noData.isEmpty());
    showRangeText();
    showProblem();
    placeOverlays();
}

qint64 TFormTrend::timeAtX(double chartX) const {
    return model_.timeAt(chartX, chart_->plotArea());
}

void TFormTrend::placeOverlays() {
    const QRectF plot = chart_->plotArea();
    if (plot.width() > 0) {
        axisTime_->setTickCount(std::clamp(static_cast<int>(plot.width() / 150) + 1, 3, 11));
    }
    placeLevelLabels(plot);
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
        margins.setBottom(fits ? 4 : labelLegendNote_->sizeHint().height() + 8);
        chart_->setMargins(margins);
    }
    labelLegendNote_->setVisible(!fits && !model_.relays().empty());
    if (!fits) {
        labelLegendNote_->adjustSize();
        const QPoint bottom = view_->mapFromScene(
            chart_->mapToScene(QPointF(plot.center().x(), chart_->size().height() - 6)));
        labelLegendNote_->move(bottom.x() - labelLegendNote_->width() / 2,
                               bottom.y() - labelLegendNote_->height());
    }

    // The notes at the left of the plot, under the rows of event marks, one under the other.
    const QPoint corner = view_->mapFromScene(
        chart_->mapToScene(QPointF(plot.left(), plot.top() + 0.08 * plot.height())));
    int top = corner.y() + 6;
    for (QLabel* note : {labelLevelsNote_, labelNoData_}) {
        note->adjustSize();
        note->move(corner.x() + 12, top);
        if (note->isVisibleTo(view_->viewport())) {
            top += note->height() + 6;
        }
    }
}

void TFormTrend::placeLevelLabels(const QRectF& plot) {
    // A label wider than the plot (a narrow screen, a relay's name added) is broken before the
    // date of its setpoints, and each line shortened to the room there is.
    std::array<QSizeF, 2> sizes{};
    for (size_t i = 0; i < levelTexts_.size(); ++i) {
        const QString full = model_.levels()[i].label;
        if (full.isEmpty() || plot.width() <= 0) {
            continue;
        }
        const QFontMetricsF metrics(levelTexts_[i]->font());
        const double room = plot.width() - 14;
        QString shown = full;
        if (metrics.horizontalAdvance(full) > room) {
            QStringList lines = TrendPlotModel::levelLabelLines(full);
            for (QString& line : lines) {
                line = metrics.elidedText(line, Qt::ElideRight, room);
            }
            shown = lines.join(QLatin1Char('\n'));
        }
        levelTexts_[i]->setText(shown);
        sizes[i] = levelTexts_[i]->boundingRect().size();
    }
    const auto places = model_.placeLevelLabels(plot, sizes);
    for (size_t i = 0; i < levelLabels_.size(); ++i) {
        QGraphicsRectItem* label = levelLabels_[i];
        if (sizes[i].isEmpty()) {
            label->hide();
            continue;
        }
        label->setRect(QRectF(0, 0, sizes[i].width() + 6, sizes[i].height()));
        label->setPos(places[i].topLeft.x() - 3, places[i].topLeft.y());
        levelTexts_[i]->setPos(3, 0);
        label->setVisible(places[i].visible);
    }
}

void TFormTrend::showRangeText() {
    labelRange_->setText(model_.rangeText());
}

void TFormTrend::clearPointer() {
    if (pointerMark_) {
        pointerMark_->clear();
    }
    labelPointer_->setText(
        QStringLiteral("Наведите указатель на линию — здесь будут время и "
                       "значение ближайшей точки."));
    setTextColor(labelPointer_, QColor(0x60, 0x60, 0x60));
}

QString TFormTrend::pointerAt(QPoint viewPos) {
    const QPointF at = chart_->mapFromScene(view_->mapToScene(viewPos));
    const TrendPlotModel::PointerHit hit = model_.pointerAt(at, chart_->plotArea());
    using What = TrendPlotModel::PointerHit::What;
    if (hit.what == What::Nothing) {
        clearPointer();
        return {};
    }
    QColor color;
    if (hit.what == What::Point) {
        color = colorOf(*hit.relay);
        if (pointerMark_) {
            pointerMark_->setBorderColor(color);
            pointerMark_->setPen(QPen(color, 2));
            pointerMark_->replace({QPointF(double(hit.point.timeMs), hit.plotted)});
        }
        color = color.darker(130);
    } else {
        if (pointerMark_) {
            pointerMark_->clear();
        }
        if (hit.what == What::Mark) {
            QToolTip::showText(view_->mapToGlobal(viewPos), hit.text, view_);
            color = hit.mark->protection() ? kDarkRed : QColor(0x30, 0x30, 0x30);
        } else {
            color = hit.level == TrendPlotModel::LevelKind::Signal ? kSignalColor.darker(130)
                                                                   : kTripColor;
        }
    }
    labelPointer_->setText(hit.text);
    setTextColor(labelPointer_, color);
    return hit.text;
}

}  // namespace terval

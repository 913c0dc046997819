#include "journal/trend_plot_model.h"

#include <QDateTime>
#include <QLocale>
#include <algorithm>
#include <cmath>
#include <limits>
#include <set>

#include "journal/trend_plot.h"
#include "station/clock.h"

namespace terval {

namespace {

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

// 1, 2 or 5 times the power of ten under `value`, the first at least `value`.
double roundUp125(double value) {
    const double power = std::pow(10.0, std::floor(std::log10(value)));
    for (const double m : {1.0, 2.0, 5.0}) {
        if (m * power >= value) {
            return m * power;
        }
    }
    return 10 * power;
}

// The scale that holds `low` to `high` with room above for the marks.
TrendPlotModel::ValueScale scaleFor(double low, double high, bool logarithmic) {
    TrendPlotModel::ValueScale scale;
    scale.logarithmic = logarithmic;
    if (logarithmic) {
        // Below 1 kΩ a log scale says nothing more; a dead short is drawn on its bottom line.
        scale.low = std::pow(10.0, std::floor(std::log10(std::max(low, 1.0))));
        // The top at 1, 2 or 5 times a power of ten, with room above the lines for the marks.
        scale.high = roundUp125(std::max(high * 1.6, scale.low * 10));
        return scale;
    }
    // Round steps (1, 2 or 5 times a power of ten), about eight of them, from zero: how far the
    // resistance is from nothing matters as much as its changes.
    const double top = std::max(high * 1.12, 10.0);
    scale.step = roundUp125(top / 8);
    scale.low = 0;
    scale.high = std::ceil(top / scale.step) * scale.step;
    return scale;
}

}  // namespace

TrendPlotModel::TrendPlotModel(InsulationTrend* trend, const Clock& clock)
    : trend_(trend), clock_(clock), scale_(scaleFor(1, 1000, false)) {
    toMs_ = now();
    fromMs_ = toMs_ - kDayMs;
}

qint64 TrendPlotModel::now() const {
    return clock_.now().toMSecsSinceEpoch();
}

std::vector<TrendPlotModel::ListRow> TrendPlotModel::listRows(
    const std::vector<std::pair<uint16_t, QString>>& table) const {
    std::vector<ListRow> rows;
    std::set<uint16_t> inTable;
    int number = 0;
    for (const auto& [address, generator] : table) {
        ++number;
        rows.push_back({QStringLiteral("%1. %2 (адрес %3)").arg(number).arg(generator).arg(address),
                        address, number, generator});
        inTable.insert(address);
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
    return rows;
}

// ---- the span ----

qint64 TrendPlotModel::spanOf(TrendRange range) {
    switch (range) {
        case TrendRange::Hour:
            return kHourMs;
        case TrendRange::Day:
            return kDayMs;
        case TrendRange::Week:
            return 7 * kDayMs;
        case TrendRange::Month:
            return 30 * kDayMs;
        case TrendRange::Year:
        case TrendRange::All:
            break;
    }
    return 365 * kDayMs;
}

void TrendPlotModel::setRange(TrendRange range) {
    range_ = range;
    lastRange_ = range;
}

void TrendPlotModel::applyRange() {
    if (!range_) {
        return;
    }
    const qint64 end = now();
    qint64 begin = end - spanOf(*range_);
    if (*range_ == TrendRange::All && trend_) {
        std::optional<qint64> first;
        for (const Relay& relay : relays_) {
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

void TrendPlotModel::setSpan(qint64 fromMs, qint64 toMs) {
    if (toMs < fromMs) {
        std::swap(fromMs, toMs);
    }
    const qint64 span = std::clamp(toMs - fromMs, kNarrowestMs, kWidestMs);
    const qint64 middle = fromMs + (toMs - fromMs) / 2;
    fromMs_ = middle - span / 2;
    toMs_ = fromMs_ + span;
    range_.reset();
}

std::pair<qint64, qint64> TrendPlotModel::zoomedAround(qint64 atMs, double factor) const {
    const double from = double(atMs) - (atMs - fromMs_) * factor;
    const double to = double(atMs) + (toMs_ - atMs) * factor;
    return {static_cast<qint64>(std::llround(from)), static_cast<qint64>(std::llround(to))};
}

qint64 TrendPlotModel::timeAt(double x, const QRectF& plot) const {
    const double share = (x - plot.left()) / std::max(1.0, plot.width());
    return fromMs_ + static_cast<qint64>(std::llround(share * double(toMs_ - fromMs_)));
}

// ---- the relays and what was read ----

const TrendPlotModel::Relay* TrendPlotModel::chosen(std::optional<uint16_t> current) const {
    if (relays_.empty()) {
        return nullptr;
    }
    if (current) {
        for (const Relay& relay : relays_) {
            if (relay.address == *current) {
                return &relay;
            }
        }
    }
    return &relays_.front();
}

void TrendPlotModel::readLevels() {
    // The levels are one step down an index each, read on the asking thread; the points and the
    // marks, which grow with the span and the years kept, on the reader's.
    for (Relay& relay : relays_) {
        relay.levels = trend_ ? trend_->levels(relay.address) : std::nullopt;
    }
}

void TrendPlotModel::readDirect() {
    problems_.clear();
    marks_.clear();
    marksCut_ = false;
    for (Relay& relay : relays_) {
        relay.series = trend_ ? trend_->read(relay.address, fromMs_, toMs_) : TrendSeries{};
        if (!relay.series.error.isEmpty()) {
            problems_ << relay.series.error;
        }
        relay.forecast.reset();
    }
}

TrendReadRequest TrendPlotModel::request(bool withWeek) const {
    TrendReadRequest request;
    for (const Relay& relay : relays_) {
        request.relays.push_back({relay.address, relay.number});
    }
    request.fromMs = fromMs_;
    request.toMs = toMs_;
    if (withWeek) {
        request.weekEndMs = now();
    }
    request.maxMarks = kMaxMarks;
    return request;
}

void TrendPlotModel::takeRead(const TrendReadResult& result) {
    const TrendReadRequest& request = result.request;
    const auto relayAt = [this](uint16_t address) {
        return std::find_if(relays_.begin(), relays_.end(),
                            [address](const Relay& r) { return r.address == address; });
    };
    problems_.clear();
    for (size_t i = 0; i < request.relays.size() && i < result.series.size(); ++i) {
        const uint16_t address = request.relays[i].address;
        const auto relay = relayAt(address);
        if (relay == relays_.end()) {
            continue;
        }
        relay->series = result.series[i];
        if (!relay->series.error.isEmpty()) {
            problems_ << relay->series.error;
        } else if (trend_) {
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
    // Each relay's own records, then the lost links, which silence every relay at once and are
    // marked for all of them.
    if (!result.marks.empty()) {
        for (size_t i = 0; i < request.relays.size() && i < result.marks.size(); ++i) {
            const uint16_t address = request.relays[i].address;
            const auto relay = relayAt(address);
            if (request.relays[i].number > 0 && relay != relays_.end()) {
                keepMarks(result.marks[i], address, relay->generator);
            }
        }
        keepMarks(result.marks.back(), 0, QString());
    }
    std::sort(marks_.begin(), marks_.end(),
              [](const Mark& a, const Mark& b) { return a.timeMs < b.timeMs; });
}

void TrendPlotModel::keepMarks(const TrendReadResult::Marks& rows, uint16_t address,
                               const QString& generator) {
    if (!rows.error.isEmpty()) {
        problems_ << rows.error;
        return;
    }
    marksCut_ = marksCut_ || rows.entries.size() >= size_t(kMaxMarks);
    for (const JournalEntry& e : rows.entries) {
        // The tile number of a record is that of its time: another relay may have stood on the
        // tile then.
        if (address != 0 && (!e.relay || e.relay->address != address)) {
            continue;
        }
        Mark mark;
        mark.timeMs = e.timeMs;
        mark.kind = e.kind;
        mark.address = address;
        mark.text = timeText(e.timeMs, "dd.MM.yyyy HH:mm:ss") + QStringLiteral(" — ") +
                    (generator.isEmpty() ? QString() : generator + QStringLiteral(": ")) + e.text;
        marks_.push_back(std::move(mark));
    }
}

QString TrendPlotModel::problemText() const {
    if (!trend_) {
        return QStringLiteral("Станция не ведёт журнал событий.");
    }
    QStringList problems = problems_;
    problems.removeDuplicates();
    return problems.join(QLatin1Char('\n'));
}

// ---- the drawing ----

TrendPlotModel::Picture TrendPlotModel::picture(std::optional<uint16_t> current, bool logarithmic,
                                                qint64 columns) {
    Picture picture;
    const Relay* levelsOf = chosen(current);
    double low = std::numeric_limits<double>::max();
    double high = 0;
    bool anyPoint = false;
    for (const Relay& relay : relays_) {
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
    scale_ = scaleFor(low, high, logarithmic);
    picture.scale = scale_;
    const qint64 span = toMs_ - fromMs_;
    picture.timeFormat = timeFormatFor(span);
    const qint64 bucketMs = bucketFor(span, columns);

    // Bands of many relays would cover each other in tints: beyond a few, only the chosen one's.
    const bool bandsOfAll = relays_.size() <= 4;
    for (size_t r = 0; r < relays_.size(); ++r) {
        const Relay& relay = relays_[r];
        picture.legendLabels << relay.generator;
        const bool aggregated =
            relay.series.resolution != TrendResolution::Raw && (bandsOfAll || &relay == levelsOf);
        const auto segments = trendSegments(relay.series);
        for (size_t k = 0; k < segments.size(); ++k) {
            Stretch stretch{r, thinTrendSegment(segments[k], bucketMs), aggregated, k == 0};
            for (TrendPoint& p : stretch.points) {
                p.mean = plotted(p.mean);
                p.min = plotted(p.min);
                p.max = plotted(p.max);
            }
            picture.stretches.push_back(std::move(stretch));
        }
        if (segments.empty()) {
            // The relay keeps its place in the legend when the span holds none of its points.
            picture.stretches.push_back({r, {}, false, true});
        }
    }

    // The alarm levels of the chosen relay.
    levels_ = {};
    if (levelsOf && levelsOf->levels) {
        const AlarmLevels& levels = *levelsOf->levels;
        const QString read = timeText(levels.readAtMs, "dd.MM.yyyy HH:mm");
        const struct {
            const char* caption;
            double kohm;
        } lines[] = {{"Уровень срабатывания защиты на СИГНАЛ", double(levels.signalKohm)},
                     {"Уровень срабатывания защиты на ОТКЛЮЧЕНИЕ", double(levels.tripKohm)}};
        for (size_t i = 0; i < std::size(lines); ++i) {
            QString label = QString::fromUtf8(lines[i].caption);
            if (relays_.size() > 1) {
                label += QStringLiteral(" (") + levelsOf->generator + QLatin1Char(')');
            }
            label += QStringLiteral(": ") + kohmText(lines[i].kohm, true) +
                     QStringLiteral(" кОм, уставки прочитаны ") + read;
            levels_[i] = {label, plotted(lines[i].kohm)};
        }
    }

    // The journal's events along the top of the plot.
    for (const Mark& mark : marks_) {
        picture.markTimes[mark.protection() ? 0 : 1].push_back(mark.timeMs);
    }
    if (!picture.markTimes[0].empty()) {
        picture.legendLabels << QStringLiteral("Срабатывание защиты");
    }
    if (!picture.markTimes[1].empty()) {
        picture.legendLabels << QStringLiteral("Потеря связи");
    }

    picture.levelsNote = levelsOf && !levelsOf->levels && trend_;
    if (!trend_) {
        picture.noData = QStringLiteral("Станция не ведёт журнал: тренды не записываются.");
    } else if (relays_.empty()) {
        picture.noData = QStringLiteral("Отметьте в списке защиты, тренд которых показать.");
    } else if (!anyPoint) {
        picture.noData = QStringLiteral("За этот период записей сопротивления нет.");
    }
    return picture;
}

double TrendPlotModel::plotted(double kohm) const {
    return scale_.logarithmic ? std::max(kohm, scale_.low) : kohm;
}

double TrendPlotModel::markValue(bool protection) const {
    // Two rows along the top of the plot, which the scale keeps clear of the lines (and of the
    // alarm levels, which lie low): the link losses, which come in runs, do not hide a protection
    // event among them.
    const double share = protection ? 0.94 : 0.975;
    if (scale_.logarithmic) {
        return scale_.low * std::pow(scale_.high / scale_.low, share);
    }
    return scale_.low + (scale_.high - scale_.low) * share;
}

double TrendPlotModel::yOf(double kohm, const QRectF& plot) const {
    double share = 0;
    if (scale_.logarithmic) {
        share = (std::log10(std::max(kohm, scale_.low)) - std::log10(scale_.low)) /
                (std::log10(scale_.high) - std::log10(scale_.low));
    } else {
        share = (kohm - scale_.low) / (scale_.high - scale_.low);
    }
    return plot.bottom() - share * plot.height();
}

QString TrendPlotModel::timeFormatFor(qint64 spanMs) {
    return spanMs <= 6 * kHourMs   ? QStringLiteral("HH:mm")
           : spanMs <= 10 * kDayMs ? QStringLiteral("dd.MM HH:mm")
                                   : QStringLiteral("dd.MM.yyyy");
}

qint64 TrendPlotModel::bucketFor(qint64 spanMs, qint64 columns) {
    // Columns of the plot's width at least; a chart not yet laid out counts as a wide one.
    return std::max<qint64>(spanMs / std::max<qint64>(columns, 900), 1);
}

QString TrendPlotModel::resolutionText(TrendResolution resolution) {
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

QString TrendPlotModel::rangeText() const {
    TrendResolution resolution = InsulationTrend::resolutionFor(toMs_ - fromMs_);
    for (const Relay& relay : relays_) {
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
    return text;
}

QStringList TrendPlotModel::levelLabelLines(const QString& label) {
    const qsizetype cut = label.indexOf(QStringLiteral(", уставки"));
    return cut > 0 ? QStringList{label.left(cut), label.mid(cut + 2)} : QStringList{label};
}

std::array<TrendPlotModel::LabelPlace, 2> TrendPlotModel::placeLevelLabels(
    const QRectF& plot, const std::array<QSizeF, 2>& sizes) const {
    std::array<LabelPlace, 2> places{};
    // Where the label above ends: none yet.
    double previousBottom = std::numeric_limits<double>::lowest();
    std::array<size_t, 2> order{0, 1};
    std::sort(order.begin(), order.end(),
              [this](size_t a, size_t b) { return levels_[a].value > levels_[b].value; });
    for (const size_t i : order) {
        if (levels_[i].label.isEmpty() || levels_[i].value <= 0 || plot.width() <= 0) {
            continue;
        }
        const QSizeF text = sizes[i];
        const double lineY = yOf(levels_[i].value, plot);
        double top = lineY - text.height() - 3;
        if (top < previousBottom + 1) {
            top = lineY + 3;
        }
        top = std::clamp(top, plot.top() + 1, plot.bottom() - text.height() - 1);
        const double left = std::max(plot.left() + 4, plot.right() - text.width() - 10);
        places[i] = {QPointF(left, top), lineY >= plot.top() && lineY <= plot.bottom()};
        previousBottom = top + text.height();
    }
    return places;
}

// ---- the pointer ----

TrendPlotModel::PointerHit TrendPlotModel::pointerAt(QPointF at, const QRectF& plot) const {
    PointerHit hit;
    if (!plot.adjusted(-4, -4, 4, 4).contains(at) || toMs_ <= fromMs_) {
        return hit;
    }
    const double msPerPixel = double(toMs_ - fromMs_) / std::max(1.0, plot.width());
    const auto xOf = [&](qint64 ms) { return plot.left() + double(ms - fromMs_) / msPerPixel; };

    // An event mark: its record.
    {
        const double rows[] = {yOf(markValue(false), plot), yOf(markValue(true), plot)};
        const Mark* nearest = nullptr;
        double best = 8;
        for (const Mark& mark : marks_) {
            const double dy = at.y() - rows[mark.protection() ? 1 : 0];
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
            hit.what = PointerHit::What::Mark;
            hit.mark = nearest;
            hit.text = nearest->text;
            return hit;
        }
    }

    // The nearest point of each relay in time, then the relay nearest on the screen.
    const qint64 t = timeAt(at.x(), plot);
    const Relay* bestRelay = nullptr;
    const TrendPoint* bestPoint = nullptr;
    double bestDistance = std::numeric_limits<double>::max();
    for (const Relay& relay : relays_) {
        const std::vector<TrendPoint>& points = relay.series.points;
        const auto next =
            std::lower_bound(points.begin(), points.end(), t,
                             [](const TrendPoint& p, qint64 time) { return p.timeMs < time; });
        for (auto it : {next, next == points.begin() ? points.end() : std::prev(next)}) {
            if (it == points.end()) {
                continue;
            }
            const double dx = xOf(it->timeMs) - at.x();
            const double dy = yOf(it->mean, plot) - at.y();
            const double d = std::hypot(dx, dy);
            if (d < bestDistance) {
                bestDistance = d;
                bestRelay = &relay;
                bestPoint = &*it;
            }
        }
    }
    // A level line under the pointer, when no point is closer.
    for (size_t i = 0; i < levels_.size(); ++i) {
        if (levels_[i].value > 0 && std::abs(yOf(levels_[i].value, plot) - at.y()) <= 4 &&
            (!bestPoint || bestDistance > 6)) {
            hit.what = PointerHit::What::Level;
            hit.level = static_cast<LevelKind>(i);
            hit.text = levels_[i].label;
            return hit;
        }
    }
    if (!bestPoint || std::abs(xOf(bestPoint->timeMs) - at.x()) > 40) {
        return hit;
    }
    hit.what = PointerHit::What::Point;
    hit.relay = bestRelay;
    hit.point = *bestPoint;
    hit.plotted = plotted(bestPoint->mean);
    hit.text = pointText(*bestRelay, *bestPoint);
    return hit;
}

QString TrendPlotModel::pointText(const Relay& relay, const TrendPoint& point) {
    QString when;
    QString what;
    switch (relay.series.resolution) {
        case TrendResolution::Raw:
            when = timeText(point.timeMs, "dd.MM.yyyy HH:mm:ss");
            what = kohmText(point.mean, true) + QStringLiteral(" кОм");
            break;
        case TrendResolution::Minute:
            when = timeText(point.timeMs, "dd.MM.yyyy HH:mm");
            what = QStringLiteral("%1 кОм (среднее за минуту; от %2 до %3 кОм)")
                       .arg(kohmText(point.mean, false), kohmText(point.min, true),
                            kohmText(point.max, true));
            break;
        case TrendResolution::Hour:
            when = timeText(point.timeMs, "dd.MM.yyyy HH:mm") + QStringLiteral("–") +
                   timeText(point.timeMs + kHourMs, "HH:mm");
            what = QStringLiteral("%1 кОм (среднее за час; от %2 до %3 кОм)")
                       .arg(kohmText(point.mean, false), kohmText(point.min, true),
                            kohmText(point.max, true));
            break;
    }
    return relay.generator + QStringLiteral(": ") + when + QStringLiteral(" — ") + what;
}

// ---- the exports ----

std::vector<TrendCsvRelay> TrendPlotModel::csvRelays() const {
    std::vector<TrendCsvRelay> relays;
    for (const Relay& relay : relays_) {
        relays.push_back({relay.number, relay.address,
                          relay.number > 0 ? relay.generator : QString(), &relay.series});
    }
    return relays;
}

qint64 TrendPlotModel::pointCount() const {
    qint64 points = 0;
    for (const Relay& relay : relays_) {
        points += static_cast<qint64>(relay.series.points.size());
    }
    return points;
}

QString TrendPlotModel::slopeCell(const Relay& relay) {
    return relay.forecast ? slopeText(relay.forecast->slopeKohmPerDay) : QStringLiteral("—");
}

QString TrendPlotModel::forecastCell(const Relay& relay) {
    return relay.forecast ? forecastText(*relay.forecast)
                          : QStringLiteral("мало часовых средних за неделю для прогноза");
}

}  // namespace terval

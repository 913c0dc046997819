// The trend chart's rules without a chart: over thousands of random pictures (relays, series with
// gaps at every resolution, alarm levels, journal marks, spans, scales and plots of any size) the
// span stays within what can be shown, the scale holds every value and the marks above the lines,
// bands go only where they may, level labels stay inside the plot without overlapping, and the
// pointer finds what is drawn where it points. The texts of spans and points in a table.
#include "journal/trend_plot_model.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <cmath>
#include <cstdlib>
#include <random>

#include "support/fakes.h"

namespace terval {
namespace {

using testing::FixedClock;

const QDateTime kNow(QDate(2026, 12, 6), QTime(14, 30, 0));
const qint64 kNowMs = kNow.toMSecsSinceEpoch();

// Whether `v` is 1, 2 or 5 times a power of ten.
bool isRoundStep(double v) {
    const double mantissa = v / std::pow(10.0, std::floor(std::log10(v)));
    return std::abs(mantissa - 1) < 1e-9 || std::abs(mantissa - 2) < 1e-9 ||
           std::abs(mantissa - 5) < 1e-9;
}

TEST(TrendPlotModel, RandomPicturesKeepTheirScaleBandsLabelsAndPointer) {
    uint32_t seed = std::random_device{}();
    if (const char* replay = std::getenv("TERVAL_PLOT_SEED")) {
        seed = static_cast<uint32_t>(std::strtoul(replay, nullptr, 10));
    }
    SCOPED_TRACE(::testing::Message() << "replay with TERVAL_PLOT_SEED=" << seed);
    std::mt19937 rng(seed);
    const auto uniform = [&rng](qint64 lo, qint64 hi) {
        return std::uniform_int_distribution<qint64>(lo, hi)(rng);
    };
    const auto real = [&rng](double lo, double hi) {
        return std::uniform_real_distribution<double>(lo, hi)(rng);
    };
    FixedClock clock(kNow);
    const TrendResolution resolutions[] = {TrendResolution::Raw, TrendResolution::Minute,
                                           TrendResolution::Hour};

    int pointsFound = 0;
    int marksFound = 0;
    int labelPairs = 0;
    for (int step = 0; step < 2500; ++step) {
        SCOPED_TRACE(::testing::Message() << "step " << step);
        TrendPlotModel model(nullptr, clock);

        // The span: any width asked for comes back within the widest and narrowest, around the
        // same middle, and no button is followed any more.
        const qint64 askedFrom = kNowMs - uniform(0, 40 * 366 * kDayMs);
        const qint64 askedTo =
            askedFrom + uniform(-kDayMs, 30 * kDayMs) * (uniform(0, 9) == 0 ? 400 : 1);
        model.setSpan(askedFrom, askedTo);
        const qint64 from = model.fromMs();
        const qint64 to = model.toMs();
        ASSERT_GE(to - from, TrendPlotModel::kNarrowestMs);
        ASSERT_LE(to - from, TrendPlotModel::kWidestMs);
        const qint64 askedMiddle = std::min(askedFrom, askedTo) + std::abs(askedTo - askedFrom) / 2;
        ASSERT_LE(std::abs((from + to) / 2 - askedMiddle), 1);
        ASSERT_FALSE(model.range());
        // Zooming keeps the time under the pointer where it is on the axis.
        {
            const qint64 at = from + uniform(0, to - from);
            const auto [zFrom, zTo] = model.zoomedAround(at, real(0.3, 3));
            ASSERT_NEAR(double(at - zFrom) / double(zTo - zFrom),
                        double(at - from) / double(to - from), 1e-3);
        }

        // Relays with series of points in and around the span, cut by gaps.
        const int relayCount = static_cast<int>(uniform(0, 7));
        std::vector<TrendPlotModel::Relay> relays;
        TrendReadResult read;
        read.request.fromMs = from;
        read.request.toMs = to;
        for (int r = 0; r < relayCount; ++r) {
            TrendPlotModel::Relay relay;
            relay.address = static_cast<uint16_t>(r * 3 + 1);
            relay.number = uniform(0, 4) == 0 ? 0 : r + 1;
            relay.generator = QStringLiteral("ТГ-%1").arg(r + 1);
            relay.colorIndex = r;
            if (uniform(0, 2) != 0) {
                relay.levels = AlarmLevels{kNowMs - uniform(0, 400) * kDayMs,
                                           static_cast<uint16_t>(uniform(0, 3000)),
                                           static_cast<uint16_t>(uniform(0, 3000))};
            }
            TrendSeries series;
            series.address = relay.address;
            series.resolution = resolutions[uniform(0, 2)];
            const int n = static_cast<int>(uniform(0, 60));
            const qint64 pace = std::max<qint64>((to - from) / std::max(n, 1), 1);
            series.gapMs = pace * 2;
            qint64 t = from + uniform(0, pace);
            for (int i = 0; i < n; ++i, t += pace * (uniform(0, 8) == 0 ? 3 : 1)) {
                const double low = real(0, 4000);
                const double high = low + real(0, 300);
                series.points.push_back({t, real(low, high), low, high, 100, 3});
            }
            relays.push_back(relay);
            read.request.relays.push_back({relay.address, relay.number});
            read.series.push_back(series);
        }
        // The journal's marks: each relay's own records, one of a relay that stood on its tile
        // before, and the link's.
        int expectedMarks = 0;
        for (int r = 0; r < relayCount; ++r) {
            TrendReadResult::Marks marks;
            for (int k = static_cast<int>(uniform(0, 3)); k > 0; --k) {
                const bool stranger = uniform(0, 3) == 0;
                const JournalRelay on{r + 1, static_cast<uint16_t>(stranger ? 200 : r * 3 + 1),
                                      QString(), QString()};
                marks.entries.push_back(
                    {0,
                     from + uniform(0, to - from),
                     uniform(0, 1) ? JournalKind::ProtectionEvent : JournalKind::RelaySilent,
                     on,
                     QStringLiteral("запись %1").arg(k),
                     {}});
                expectedMarks += !stranger && relays[size_t(r)].number > 0 ? 1 : 0;
            }
            read.marks.push_back(marks);
        }
        TrendReadResult::Marks link;
        for (int k = static_cast<int>(uniform(0, 2)); k > 0; --k) {
            link.entries.push_back({0,
                                    from + uniform(0, to - from),
                                    JournalKind::LinkLost,
                                    std::nullopt,
                                    QStringLiteral("Связь потеряна"),
                                    {}});
            ++expectedMarks;
        }
        read.marks.push_back(link);
        model.setRelays(relays);
        model.takeRead(read);
        ASSERT_EQ(static_cast<int>(model.marks().size()), expectedMarks);
        for (size_t i = 0; i < model.marks().size(); ++i) {
            const TrendPlotModel::Mark& mark = model.marks()[i];
            ASSERT_TRUE(i == 0 || model.marks()[i - 1].timeMs <= mark.timeMs);
            ASSERT_TRUE(mark.address == 0 || mark.text.contains(QStringLiteral(": запись")))
                << mark.text.toStdString();
        }

        // The picture.
        const std::optional<uint16_t> current =
            relayCount > 0 && uniform(0, 1)
                ? std::optional<uint16_t>(relays[size_t(uniform(0, relayCount - 1))].address)
                : std::nullopt;
        const bool logarithmic = uniform(0, 1) == 1;
        const TrendPlotModel::Picture picture =
            model.picture(current, logarithmic, uniform(-100, 2000));
        const TrendPlotModel::ValueScale& scale = picture.scale;
        const TrendPlotModel::Relay* chosen = model.chosen(current);
        ASSERT_EQ(chosen != nullptr, relayCount > 0);
        if (current) {
            ASSERT_EQ(chosen->address, *current);
        }
        ASSERT_EQ(scale.logarithmic, logarithmic);
        if (logarithmic) {
            ASSERT_GE(scale.low, 1);
            ASSERT_TRUE(isRoundStep(scale.low) &&
                        std::abs(std::log10(scale.low) - std::round(std::log10(scale.low))) < 1e-9);
            ASSERT_GE(scale.high, scale.low * 10);
            ASSERT_TRUE(isRoundStep(scale.high));
        } else {
            ASSERT_EQ(scale.low, 0);
            ASSERT_TRUE(isRoundStep(scale.step)) << scale.step;
            ASSERT_NEAR(std::remainder(scale.high, scale.step), 0, 1e-6 * scale.high);
            ASSERT_LE(scale.high / scale.step, 10);
        }
        double highest = 0;
        std::vector<size_t> stretchesOf(size_t(relayCount), 0);
        for (const TrendPlotModel::Stretch& stretch : picture.stretches) {
            ASSERT_LT(stretch.relay, size_t(relayCount));
            ASSERT_EQ(stretch.inLegend, stretchesOf[stretch.relay]++ == 0);
            const TrendPlotModel::Relay& relay = model.relays()[stretch.relay];
            // Bands under aggregates only, and of the chosen relay alone beyond four relays.
            if (stretch.band) {
                ASSERT_NE(relay.series.resolution, TrendResolution::Raw);
                ASSERT_TRUE(relayCount <= 4 || &relay == chosen);
            } else if (!stretch.points.empty()) {
                ASSERT_TRUE(relay.series.resolution == TrendResolution::Raw ||
                            (relayCount > 4 && &relay != chosen));
            }
            for (size_t i = 0; i < stretch.points.size(); ++i) {
                const TrendPoint& p = stretch.points[i];
                ASSERT_TRUE(i == 0 || stretch.points[i - 1].timeMs <= p.timeMs);
                ASSERT_GE(p.min, scale.low);
                ASSERT_LE(p.max, scale.high);
                ASSERT_LE(p.min, p.mean);
                ASSERT_LE(p.mean, p.max);
                highest = std::max(highest, p.max);
            }
        }
        for (size_t r = 0; r < size_t(relayCount); ++r) {
            ASSERT_GE(stretchesOf[r], 1u) << "relay " << r << " lost its place in the legend";
        }
        ASSERT_EQ(picture.noData.isEmpty(), false);  // a station that keeps no trend says so
        // The levels of the chosen relay, on the scale, named after it among several.
        for (size_t i = 0; i < 2; ++i) {
            const TrendPlotModel::Level& level = model.levels()[i];
            ASSERT_EQ(level.label.isEmpty(), !(chosen && chosen->levels));
            if (!level.label.isEmpty()) {
                ASSERT_GE(level.value, scale.low);
                ASSERT_LE(level.value, scale.high);
                ASSERT_EQ(level.label.contains(QStringLiteral(" (") + chosen->generator + ")"),
                          relayCount > 1);
                highest = std::max(highest, level.value);
            }
        }
        // The rows of marks lie above every line of a linear scale.
        for (const bool protection : {true, false}) {
            const double row = model.markValue(protection);
            ASSERT_GT(row, scale.low);
            ASSERT_LT(row, scale.high);
            if (!logarithmic) {
                ASSERT_GT(row, highest);
            }
        }

        // A plot anywhere on a screen.
        const QRectF plot(real(0, 300), real(0, 200), real(40, 1500), real(40, 900));
        // The labels of the levels stay inside the plot, and apart while there is room for both.
        std::array<QSizeF, 2> sizes{};
        for (size_t i = 0; i < 2; ++i) {
            if (!model.levels()[i].label.isEmpty()) {
                sizes[i] = QSizeF(real(20, plot.width() - 14), real(10, 40));
            }
        }
        const auto places = model.placeLevelLabels(plot, sizes);
        std::vector<QRectF> placed;
        std::vector<double> lines;
        for (size_t i = 0; i < 2; ++i) {
            if (sizes[i].isEmpty() || model.levels()[i].value <= 0) {
                ASSERT_FALSE(places[i].visible);
                continue;
            }
            const QRectF box(places[i].topLeft, sizes[i]);
            if (sizes[i].height() + 2 <= plot.height()) {
                ASSERT_GE(box.top(), plot.top());
                ASSERT_LE(box.bottom(), plot.bottom());
            }
            ASSERT_GE(box.left(), plot.left());
            ASSERT_LE(box.right(), plot.right());
            placed.push_back(box);
            lines.push_back(model.yOf(model.levels()[i].value, plot));
        }
        if (placed.size() == 2) {
            const double upper = std::min(lines[0], lines[1]);
            const double lower = std::max(lines[0], lines[1]);
            const double tallest = std::max(placed[0].height(), placed[1].height());
            if (upper - tallest - 4 >= plot.top() && lower + tallest + 4 <= plot.bottom()) {
                ++labelPairs;
                ASSERT_FALSE(placed[0].intersects(placed[1]))
                    << "labels of lines at " << lines[0] << " and " << lines[1] << " overlap";
            }
        }

        // The pointer: nothing outside the plot; on a mark, a mark there; on a point away from
        // the marks and the levels, a point there with its text.
        ASSERT_EQ(model.pointerAt(plot.topLeft() - QPointF(10, 10), plot).what,
                  TrendPlotModel::PointerHit::What::Nothing);
        const double msPerPixel = double(to - from) / plot.width();
        const auto xOf = [&](qint64 ms) { return plot.left() + double(ms - from) / msPerPixel; };
        const double rows[] = {model.yOf(model.markValue(false), plot),
                               model.yOf(model.markValue(true), plot)};
        if (!model.marks().empty()) {
            const TrendPlotModel::Mark& mark =
                model.marks()[size_t(uniform(0, qint64(model.marks().size()) - 1))];
            const QPointF at(xOf(mark.timeMs), rows[mark.protection() ? 1 : 0]);
            const auto hit = model.pointerAt(at, plot);
            ASSERT_EQ(hit.what, TrendPlotModel::PointerHit::What::Mark);
            ASSERT_LE(std::hypot(xOf(hit.mark->timeMs) - at.x(),
                                 rows[hit.mark->protection() ? 1 : 0] - at.y()),
                      1e-6);
            ASSERT_EQ(hit.text, hit.mark->text);
            ++marksFound;
        }
        for (const TrendPlotModel::Relay& relay : model.relays()) {
            if (relay.series.points.empty()) {
                continue;
            }
            const TrendPoint& p =
                relay.series.points[size_t(uniform(0, qint64(relay.series.points.size()) - 1))];
            const QPointF at(xOf(p.timeMs), model.yOf(p.mean, plot));
            const bool nearMarks =
                std::abs(at.y() - rows[0]) <= 8 || std::abs(at.y() - rows[1]) <= 8;
            if (!plot.contains(at) || (nearMarks && !model.marks().empty())) {
                continue;
            }
            const auto hit = model.pointerAt(at, plot);
            ASSERT_EQ(hit.what, TrendPlotModel::PointerHit::What::Point);
            ASSERT_LE(std::hypot(xOf(hit.point.timeMs) - at.x(),
                                 model.yOf(hit.point.mean, plot) - at.y()),
                      1e-6);
            ASSERT_EQ(hit.text, TrendPlotModel::pointText(*hit.relay, hit.point));
            ASSERT_EQ(hit.plotted, model.plotted(hit.point.mean));
            ++pointsFound;
        }
    }
    EXPECT_GT(pointsFound, 1000);
    EXPECT_GT(marksFound, 500);
    EXPECT_GT(labelPairs, 100);
}

TEST(TrendPlotModel, RangesAndTexts) {
    FixedClock clock(kNow);
    TrendPlotModel model(nullptr, clock);
    EXPECT_EQ(model.range(), TrendRange::Day);
    EXPECT_EQ(model.toMs() - model.fromMs(), kDayMs);
    const struct {
        TrendRange range;
        qint64 span;
    } ranges[] = {{TrendRange::Hour, kHourMs},      {TrendRange::Day, kDayMs},
                  {TrendRange::Week, 7 * kDayMs},   {TrendRange::Month, 30 * kDayMs},
                  {TrendRange::Year, 365 * kDayMs}, {TrendRange::All, 365 * kDayMs}};
    for (const auto& r : ranges) {
        model.setSpan(0, 1);
        model.setRange(r.range);
        model.applyRange();
        EXPECT_EQ(model.toMs(), kNowMs);
        EXPECT_EQ(model.fromMs(), kNowMs - r.span);
        EXPECT_EQ(model.lastRange(), r.range);
    }
    // A span of the mouse's is not moved by the clock.
    model.setSpan(kNowMs - 3 * kHourMs, kNowMs - kHourMs);
    clock.time = kNow.addSecs(600);
    model.applyRange();
    EXPECT_EQ(model.toMs(), kNowMs - kHourMs);

    const struct {
        qint64 span;
        const char* format;
    } formats[] = {{kMinuteMs, "HH:mm"},
                   {6 * kHourMs, "HH:mm"},
                   {6 * kHourMs + 1, "dd.MM HH:mm"},
                   {10 * kDayMs, "dd.MM HH:mm"},
                   {10 * kDayMs + 1, "dd.MM.yyyy"}};
    for (const auto& f : formats) {
        EXPECT_EQ(TrendPlotModel::timeFormatFor(f.span), QString::fromLatin1(f.format)) << f.span;
    }
    EXPECT_EQ(TrendPlotModel::bucketFor(kDayMs, 0), kDayMs / 900);
    EXPECT_EQ(TrendPlotModel::bucketFor(kDayMs, 1800), kDayMs / 1800);
    EXPECT_EQ(TrendPlotModel::bucketFor(10, 1800), 1);

    EXPECT_EQ(model.rangeText(),
              QStringLiteral("с 06.12.2026 11:30 по 06.12.2026 13:30 · каждый отсчёт"));
    EXPECT_EQ(
        TrendPlotModel::levelLabelLines(QStringLiteral(
            "Уровень срабатывания защиты на СИГНАЛ: 1500 кОм, уставки прочитаны 05.12.2026 14:30")),
        (QStringList{QStringLiteral("Уровень срабатывания защиты на СИГНАЛ: 1500 кОм"),
                     QStringLiteral("уставки прочитаны 05.12.2026 14:30")}));

    TrendPlotModel::Relay relay;
    relay.generator = QStringLiteral("ТГ-1");
    const qint64 at = QDateTime(QDate(2026, 12, 6), QTime(13, 45, 0)).toMSecsSinceEpoch();
    const TrendPoint point{at, 1234.56, 1200, 1300, 100, 40};
    const struct {
        TrendResolution resolution;
        const char* text;
    } points[] = {
        {TrendResolution::Raw, "ТГ-1: 06.12.2026 13:45:00 — 1235 кОм"},
        {TrendResolution::Minute,
         "ТГ-1: 06.12.2026 13:45 — 1234,6 кОм (среднее за минуту; от 1200 до 1300 кОм)"},
        {TrendResolution::Hour,
         "ТГ-1: 06.12.2026 13:45–14:45 — 1234,6 кОм (среднее за час; от 1200 до 1300 кОм)"}};
    for (const auto& p : points) {
        relay.series.resolution = p.resolution;
        EXPECT_EQ(TrendPlotModel::pointText(relay, point), QString::fromUtf8(p.text));
    }
    EXPECT_EQ(TrendPlotModel::slopeCell(relay), QStringLiteral("—"));
    EXPECT_EQ(TrendPlotModel::forecastCell(relay),
              QStringLiteral("мало часовых средних за неделю для прогноза"));
    EXPECT_EQ(model.problemText(), QStringLiteral("Станция не ведёт журнал событий."));
}

}  // namespace
}  // namespace terval

#pragma once

#include <QPointF>
#include <QRectF>
#include <QSizeF>
#include <QString>
#include <QStringList>
#include <array>
#include <optional>
#include <vector>

#include "journal/insulation_trend.h"
#include "journal/trend_csv.h"
#include "journal/trend_forecast.h"
#include "journal/trend_reader.h"
#include "station/journal_entry.h"

namespace terval {

class Clock;

// The spans of the range buttons, each ending now; All starts at the first sample of the relays
// shown.
enum class TrendRange { Hour, Day, Week, Month, Year, All };

// What the trend chart shows and why, without the chart: the span and the button it follows, the
// relays and what was read of them, the value scale, the alarm levels of the chosen relay, the
// journal's marks, which stretches get a minimum–maximum band, the texts of the range, the notes
// and the pointer. The window turns a picture into series and places it; everything it could get
// wrong without a screen is decided here. Positions are in the plot's own coordinates (a QRectF
// the window passes), so the pointer's rules hold whatever draws them.
class TrendPlotModel {
  public:
    // Closer than this the raw samples are a handful of points; wider than twenty years is no
    // span the station has kept.
    static constexpr qint64 kNarrowestMs = 2 * kMinuteMs;
    static constexpr qint64 kWidestMs = 20 * 366 * kDayMs;
    // Records marked per relay and span: the newest of them when there are more.
    static constexpr int kMaxMarks = 2000;

    // A journal record marked on the time axis.
    struct Mark {
        qint64 timeMs = 0;
        JournalKind kind = JournalKind::Unknown;
        uint16_t address = 0;  // 0: the station's own (the link)
        QString text;          // as the pointer shows it
        bool protection() const { return kind == JournalKind::ProtectionEvent; }
    };
    // A relay on the chart, as last read.
    struct Relay {
        uint16_t address = 0;
        int number = 0;  // its tile; 0 when it is no longer in the device table
        QString generator;
        int colorIndex = 0;  // its row in the list of relays, which gives its colour
        TrendSeries series;  // the visible span
        std::optional<AlarmLevels> levels;
        std::optional<TrendForecast> forecast;
    };
    // A row of the list of relays.
    struct ListRow {
        QString text;
        uint16_t address = 0;
        int number = 0;
        QString generator;
    };
    // The value axis: from zero in round steps, or logarithmic in powers of ten.
    struct ValueScale {
        bool logarithmic = false;
        double low = 0;
        double high = 1000;
        double step = 0;  // between the ticks of a linear scale
    };
    enum class LevelKind { Signal = 0, Trip = 1 };
    struct Level {
        QString label;     // empty: not drawn
        double value = 0;  // where its line lies on the scale
    };
    // A stretch of a relay between its gaps, thinned to the plot's columns; values as plotted.
    struct Stretch {
        size_t relay = 0;  // into relays()
        std::vector<TrendPoint> points;
        bool band = false;      // the minimum–maximum band drawn under it
        bool inLegend = false;  // the relay's first stretch carries its name
    };
    // What one drawing shows.
    struct Picture {
        ValueScale scale;
        QString timeFormat;
        std::vector<Stretch> stretches;
        std::array<std::vector<qint64>, 2> markTimes;  // [0] protection events, [1] the others
        QStringList legendLabels;                      // the entries the legend would show
        bool levelsNote = false;                       // the chosen relay's levels were never read
        QString noData;                                // empty when there is data to show
    };
    // What lies under the pointer.
    struct PointerHit {
        enum class What { Nothing, Mark, Level, Point } what = What::Nothing;
        QString text;
        const Mark* mark = nullptr;
        LevelKind level = LevelKind::Signal;
        const Relay* relay = nullptr;
        TrendPoint point;
        double plotted = 0;  // the point's value on the scale
    };
    // Where a level's label goes: its top-left corner in the plot's coordinates.
    struct LabelPlace {
        QPointF topLeft;
        bool visible = false;
    };

    // `trend` may be null, for a station that keeps no journal.
    TrendPlotModel(InsulationTrend* trend, const Clock& clock);

    bool keepsTrend() const { return trend_ != nullptr; }
    qint64 now() const;

    // The rows of the list: the device table's relays (address and generator, in tile order),
    // then the addresses with a history but no tile any more.
    std::vector<ListRow> listRows(const std::vector<std::pair<uint16_t, QString>>& table) const;

    // ---- the span ----
    qint64 fromMs() const { return fromMs_; }
    qint64 toMs() const { return toMs_; }
    // The button the span follows; none once the mouse has changed it.
    std::optional<TrendRange> range() const { return range_; }
    TrendRange lastRange() const { return lastRange_; }
    static qint64 spanOf(TrendRange range);
    // The span follows `range` from now on; applyRange() moves it there.
    void setRange(TrendRange range);
    // The span of the button followed, ending now; nothing when the mouse chose the span.
    void applyRange();
    // A span of the mouse's, kept within what can be shown around its middle.
    void setSpan(qint64 fromMs, qint64 toMs);
    // The span narrowed (factor < 1) or widened around `atMs`, not yet set.
    std::pair<qint64, qint64> zoomedAround(qint64 atMs, double factor) const;
    // The time at `x` across `plot`.
    qint64 timeAt(double x, const QRectF& plot) const;

    // ---- the relays and what was read ----
    void setRelays(std::vector<Relay> relays) { relays_ = std::move(relays); }
    const std::vector<Relay>& relays() const { return relays_; }
    // The relay whose alarm levels are drawn: the one at `current` when it is shown, else the
    // first.
    const Relay* chosen(std::optional<uint16_t> current) const;
    const std::vector<Mark>& marks() const { return marks_; }
    // More events in the span than were read.
    bool marksCut() const { return marksCut_; }
    // Each relay's alarm levels as stored now.
    void readLevels();
    // Without a reader: the series read at once (their errors as problems), no marks, no
    // forecasts.
    void readDirect();
    TrendReadRequest request(bool withWeek) const;
    // A reader's result: the series with the samples still in memory, the forecasts when it
    // brought the week, the marks of each relay and the link's.
    void takeRead(const TrendReadResult& result);
    // Why something could not be read, one line each; "no journal" when none is kept.
    QString problemText() const;

    // ---- the drawing ----
    // The picture of what is held, for a plot `columns` wide; it sets the scale and the levels
    // that the positions below go by.
    Picture picture(std::optional<uint16_t> current, bool logarithmic, qint64 columns);
    const ValueScale& scale() const { return scale_; }
    const std::array<Level, 2>& levels() const { return levels_; }
    // A resistance where the scale draws it: a log scale has nothing below its bottom line.
    double plotted(double kohm) const;
    // The value of the row of marks along the top of the plot.
    double markValue(bool protection) const;
    // Where `kohm` is up `plot`.
    double yOf(double kohm, const QRectF& plot) const;
    static QString timeFormatFor(qint64 spanMs);
    // A plot `columns` wide shows one point per column at most.
    static qint64 bucketFor(qint64 spanMs, qint64 columns);
    QString rangeText() const;
    static QString resolutionText(TrendResolution resolution);
    // A level's label wider than the plot: its lines, broken before the date of its setpoints.
    static QStringList levelLabelLines(const QString& label);
    // The labels of the levels at the right end of their lines, above them, or under the line
    // where the label above would be overlapped; `sizes` as drawn, empty for a level not shown.
    std::array<LabelPlace, 2> placeLevelLabels(const QRectF& plot,
                                               const std::array<QSizeF, 2>& sizes) const;

    // ---- the pointer ----
    // At `at` on `plot`: an event mark, a level line, or the nearest point of the nearest relay.
    PointerHit pointerAt(QPointF at, const QRectF& plot) const;
    static QString pointText(const Relay& relay, const TrendPoint& point);

    // ---- the exports ----
    std::vector<TrendCsvRelay> csvRelays() const;
    qint64 pointCount() const;
    static QString slopeCell(const Relay& relay);
    static QString forecastCell(const Relay& relay);

  private:
    void keepMarks(const TrendReadResult::Marks& rows, uint16_t address, const QString& generator);

    InsulationTrend* trend_;
    const Clock& clock_;
    qint64 fromMs_ = 0;
    qint64 toMs_ = 0;
    std::optional<TrendRange> range_ = TrendRange::Day;
    TrendRange lastRange_ = TrendRange::Day;
    std::vector<Relay> relays_;
    std::vector<Mark> marks_;
    bool marksCut_ = false;
    QStringList problems_;
    ValueScale scale_;
    std::array<Level, 2> levels_{};
};

}  // namespace terval

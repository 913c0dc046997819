#pragma once

#include <QCheckBox>
#include <QColor>
#include <QDialog>
#include <QDir>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <array>
#include <memory>
#include <optional>
#include <vector>

#include "journal/insulation_trend.h"
#include "journal/journal.h"
#include "journal/trend_forecast.h"
#include "journal/trend_plot_model.h"
#include "station/clock.h"
#include "station/message_sink.h"

class QAbstractAxis;
class QAbstractSeries;
class QAreaSeries;
class QChart;
class QChartView;
class QDateTimeAxis;
class QFileDialog;
class QGraphicsRectItem;
class QGraphicsSimpleTextItem;
class QLegendMarker;
class QLineSeries;
class QScatterSeries;
class QHBoxLayout;
class QVBoxLayout;

namespace terval {

class DeviceTable;
class NamesOnlyIconProvider;
class TrendChartView;
class TrendReader;
struct TrendReadResult;

// "Тренд сопротивления изоляции": the insulation resistance of one relay or of several on one
// chart, read from journal.db at the resolution of the span shown, with the minimum–maximum band
// of aggregated points, gaps where the relay did not answer, the alarm levels, the protection
// events and link losses, and how fast the resistance is falling. It stays open beside the main
// window; zooming and panning with the mouse read the new span again. What it shows is decided by
// its TrendPlotModel; the window reads, draws what the model pictures and forwards the mouse.
// The drawing is in form_trend_chart.cpp, the exports in form_trend_export.cpp.
// Legacy names: the class and its controls' object names ("ListRelays", "BtnDay", "CheckLog", …)
// follow the station's older windows, which tools and tests find them by; everything else is the
// project's own camelCase.
class TFormTrend : public QDialog {
    Q_OBJECT
  public:
    using Mark = TrendPlotModel::Mark;
    using ShownRelay = TrendPlotModel::Relay;

    // `trend` and `journal` may be null, for a station that keeps no journal; the window then says
    // so.
    TFormTrend(InsulationTrend* trend, Journal* journal, const DeviceTable& devices,
               const QDir& workFolder, MessageSink& messages, const Clock& clock, QWidget* parent);
    ~TFormTrend() override;

    // From a tile or the parameter window: that relay over the last day. When the window is open
    // already, the relay joins the ones shown and becomes the chosen one. `modalOpener` is the
    // modal window asking, whose input this window then shares.
    void showForRelay(int number, QWidget* modalOpener = nullptr);
    // From the main menu: the selected relay, or the first, when the window opens.
    void showFromMenu();

    // Handlers, callable without a click.
    void formShown();
    void rangeClicked(TrendRange range);
    // The span the mouse chose; read again at once, or after a pause while the mouse still moves.
    void showRange(qint64 fromMs, qint64 toMs, bool readNow = true);
    // The wheel: the span narrowed (factor < 1) or widened around `atMs`.
    void zoomAround(qint64 atMs, double factor);
    void relaysChanged();
    void logScaleClicked();
    // Every minute while open: a span that ends now moves on with the clock, and the forecast
    // with it.
    void refreshTimeout();
    void rereadTimeout();
    // What lies under the pointer at `viewPos` (the chart view's coordinates), as the status line
    // shows it: an event mark, or the nearest point of the nearest relay.
    QString pointerAt(QPoint viewPos);
    void saveCsvClicked();
    void savePngClicked();
    QFileDialog* csvDialog();
    QFileDialog* pngDialog();
    // The shown points of every shown relay to `path`; the outcome goes to the message sink.
    bool saveCsvTo(const QString& path);
    // The chart as it is on the screen, as a PNG picture.
    bool savePngTo(const QString& path);

    const std::vector<ShownRelay>& shown() const { return model_.relays(); }
    const std::vector<Mark>& marks() const { return model_.marks(); }
    qint64 fromMs() const { return model_.fromMs(); }
    qint64 toMs() const { return model_.toMs(); }
    // The button the span follows; none once the mouse has changed it.
    std::optional<TrendRange> range() const { return model_.range(); }
    // A span asked for is being read; what is shown is the span read before it until it comes.
    bool isReading() const;
    // The relay whose alarm levels are drawn.
    const ShownRelay* chosen() const;
    // The colour of a relay's line, its band and its swatch in the list.
    static QColor colorOf(const ShownRelay& relay);
    QChart* chart() const { return chart_; }
    QChartView* chartView() const;

  protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    friend class TrendChartView;

    void buildTop(QVBoxLayout* column);
    void buildMiddle(QVBoxLayout* column);
    void buildChart(QHBoxLayout* row);
    void buildBottom(QVBoxLayout* column);
    void showOrRaise();
    // The relays of the device table, then addresses that have a history but no tile any more;
    // what was ticked stays ticked. Whether the list changed.
    bool fillRelays();
    QListWidgetItem* itemOf(int number) const;
    void selectOnly(int number, bool keepOthers);
    void markRangeButton();
    // The shown relays' points and marks of the span, and their forecasts when asked for, read
    // on the reader's thread; shown by showRead() when they come.
    void reread(bool forecasts = false);
    void showRead(const TrendReadResult& result);
    // The address of the list's current row when it is ticked.
    std::optional<uint16_t> currentAddress() const;
    void redraw();
    void setUpAxes(const TrendPlotModel::ValueScale& scale);
    void placeOverlays();
    void placeLevelLabels(const QRectF& plot);
    void showRangeText();
    void showForecasts();
    void showProblem();
    void clearPointer();
    qint64 timeAtX(double chartX) const;

    TrendPlotModel model_;
    InsulationTrend* trend_;
    Journal* journal_;
    TrendReader* reader_ = nullptr;  // a child; none without a trend
    bool forecastsWanted_ = false;   // asked for and not yet shown
    const DeviceTable& devices_;
    QDir workFolder_;
    MessageSink& messages_;
    const Clock& clock_;

    QListWidget* listRelays_ = nullptr;
    std::array<QPushButton*, 6> rangeButtons_{};
    QCheckBox* checkLog_ = nullptr;
    QLabel* labelRange_ = nullptr;
    QLabel* labelLevelsNote_ = nullptr;
    QLabel* labelNoData_ = nullptr;
    QLabel* labelLegendNote_ = nullptr;
    QLabel* labelPointer_ = nullptr;
    QTableWidget* gridForecast_ = nullptr;
    QLabel* labelProblem_ = nullptr;
    QPushButton* btnSaveCsv_ = nullptr;
    QPushButton* btnSavePng_ = nullptr;
    QPushButton* btnClose_ = nullptr;
    QTimer* timerRefresh_ = nullptr;
    QTimer* timerReread_ = nullptr;

    TrendChartView* view_ = nullptr;
    QChart* chart_ = nullptr;
    QDateTimeAxis* axisTime_ = nullptr;
    QAbstractAxis* axisValue_ = nullptr;
    // A stretch of a relay's line and the band under it.
    struct Slot {
        QAreaSeries* band = nullptr;
        QLineSeries* line = nullptr;
        QLegendMarker* lineMarker = nullptr;
        // Whether the line has its entry in the legend. A marker's own isVisible() is false
        // while the legend is hidden, whatever the marker was set to, so it cannot tell.
        bool inLegend = false;
    };
    void attachSeries(QAbstractSeries* series);
    QLegendMarker* markerOf(QAbstractSeries* series) const;
    void createFixedSeries();
    Slot& slot(size_t i);
    std::vector<Slot> slots_;
    std::array<QLineSeries*, 2> levelLines_{};
    std::array<QScatterSeries*, 2> markSeries_{};
    QScatterSeries* pointerMark_ = nullptr;
    std::array<QGraphicsRectItem*, 2> levelLabels_{};
    std::array<QGraphicsSimpleTextItem*, 2> levelTexts_{};

    QStringList legendLabels_;  // the entries the legend would show
    bool placed_ = false;
    bool filling_ = false;

    std::unique_ptr<NamesOnlyIconProvider> namesOnly_;
    QFileDialog* csvDialog_ = nullptr;
    QFileDialog* pngDialog_ = nullptr;
};

}  // namespace terval

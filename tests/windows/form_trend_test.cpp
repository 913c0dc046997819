// The trend window over a real journal.db holding two days of two relays, one of them silent for
// three hours, with protection events and link losses in the journal: what the chart draws at each
// span (lines cut at the gap, minimum–maximum bands, the alarm levels, event marks), the mouse
// zooming and panning, the pointer, the log scale, the forecast, both exports, and the window
// opened from the main menu, a tile and the modal parameter window.
#include "windows/trend/form_trend.h"

#include <gtest/gtest.h>
#include <QAbstractAxis>
#include <QApplication>
#include <QAreaSeries>
#include <QChart>
#include <QChartView>
#include <QDateTimeAxis>
#include <QFileDialog>
#include <QGraphicsSimpleTextItem>
#include <QGraphicsTextItem>
#include <QLegend>
#include <QLegendMarker>
#include <QLineSeries>
#include <QLogValueAxis>
#include <QMenuBar>
#include <QScatterSeries>
#include <QTest>
#include <QTimer>
#include <QValueAxis>
#include <QWheelEvent>
#include <map>

#include "devices/device_editor.h"
#include "devices/device_table.h"
#include "journal/trend_forecast.h"
#include "support/fakes.h"
#include "support/find_child.h"
#include "support/find_widget.h"
#include "support/trend_fixture.h"
#include "windows/main/form_main.h"
#include "windows/main/windowed_station.h"
#include "windows/param/form_param.h"

namespace terval {
namespace {

using testing::child;

// What a file holds; nothing when it is not there.
QByteArray fileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

using testing::kDay;
using testing::kHour;
using testing::kMinute;
using testing::kSecond;
using testing::WorkFolder;

const QDateTime kNow(QDate(2026, 12, 6), QTime(14, 30, 0));
const qint64 kNowMs = kNow.toMSecsSinceEpoch();
constexpr uint16_t kNorth = 5;   // tile 1
constexpr uint16_t kSouth = 12;  // tile 2
// Relay 5 did not answer in [now − 10 h, now − 7 h).
const qint64 kGapFrom = kNowMs - 10 * kHour;
const qint64 kGapTo = kNowMs - 7 * kHour;
const qint64 kProtectionAt = kNowMs - 5 * kHour;
const qint64 kStrangerAt = kNowMs - 3 * kHour;
const qint64 kSouthSilentAt = kNowMs - 2 * kHour;
const qint64 kLinkLostAt = kNowMs - 20 * kHour;

const auto kohm = testing::kohmText;

class FormTrendTest : public testing::TrendJournalTest {
  protected:
    FormTrendTest() : TrendJournalTest(kNow) {}
    static void SetUpTestSuite() { installFontSubstitutions(); }

    void SetUp() override {
        const char* names[] = {"ТГ-1 Северный", "ТГ-2 «Южный»", "ГГ-3"};
        const uint16_t addresses[] = {kNorth, kSouth, 31};
        for (int i = 0; i < 3; ++i) {
            DeviceEntry d;
            d.GeneratorName = QString::fromUtf8(names[i]);
            d.BreakerName = QStringLiteral("В-%1").arg(i + 1);
            d.Address = addresses[i];
            devices.append(d);
        }
        ASSERT_TRUE(make());

        // Relay 5: every 20 s for two days, three samples a minute 10 kΩ apart, 4 kΩ lower each
        // hour; relay 12: every 30 s, falling 1 kΩ an hour.
        const qint64 start = kNowMs - 2 * kDay;
        for (qint64 i = 0; start + i * 20 * kSecond < kNowMs; ++i) {
            const qint64 t = start + i * 20 * kSecond;
            if (t >= kGapFrom && t < kGapTo) {
                continue;
            }
            add(kNorth, t, 2000 - 4 * (i / 180) + (i % 3) * 10, 100);
        }
        for (qint64 i = 0; start + i * 30 * kSecond < kNowMs; ++i) {
            add(kSouth, start + i * 30 * kSecond, 900 - i / 120 + (i % 2) * 6, 120);
        }
        ASSERT_TRUE(trend->flush());
        ASSERT_TRUE(trend->storeLevels(kNorth, {kNowMs - kDay, 1500, 800}));

        const JournalRelay north{1, kNorth, QStringLiteral("ТГ-1 Северный"), QStringLiteral("В-1")};
        const JournalRelay south{2, kSouth, QStringLiteral("ТГ-2 «Южный»"), QStringLiteral("В-2")};
        // Tile 1 held another relay then: not relay 5's event.
        const JournalRelay stranger{1, 99, QStringLiteral("ТГ-1 Северный"), QStringLiteral("В-1")};
        const auto protection = [](qint64 at) {
            return ProtectionEventDetails{QDateTime::fromMSecsSinceEpoch(at), 1,
                                          QStringLiteral("Реле ОТКЛЮЧЕНИЯ"), std::nullopt};
        };
        const auto record = [](qint64 at, JournalKind kind, std::optional<JournalRelay> relay,
                               const char* text, JournalDetails details = {}) {
            return JournalEntry{
                0, at, kind, std::move(relay), QString::fromUtf8(text), std::move(details)};
        };
        const JournalEntry records[] = {
            record(kNowMs - 30 * kHour, JournalKind::ProtectionEvent, north, "вне суток",
                   protection(kNowMs - 30 * kHour)),
            record(kLinkLostAt, JournalKind::LinkLost, std::nullopt, "Связь потеряна: порт закрыт",
                   LinkDetails{QStringLiteral("RS-485 COM3"), QStringLiteral("порт закрыт"), {}}),
            record(kGapFrom, JournalKind::RelaySilent, north, "Защита не отвечает"),
            record(kProtectionAt, JournalKind::ProtectionEvent, north,
                   "09:30:00 : ТГ-1 Северный,Реле ОТКЛЮЧЕНИЯ", protection(kProtectionAt)),
            record(kNowMs - 4 * kHour, JournalKind::Acknowledgement, north, "Событие квитировано"),
            record(kStrangerAt, JournalKind::ProtectionEvent, stranger, "чужое событие",
                   protection(kStrangerAt)),
            record(kSouthSilentAt, JournalKind::RelaySilent, south, "Защита не отвечает")};
        for (const JournalEntry& e : records) {
            ASSERT_TRUE(journal->append(e)) << e.text.toStdString();
        }
    }

    void TearDown() override {
        form.reset();
        TrendJournalTest::TearDown();
    }

    void add(uint16_t address, qint64 t, qint64 kohm, uint16_t control) {
        const InsulationSample s{address, t, static_cast<uint16_t>(kohm), control};
        trend->add(s);
        samples[address].push_back(s);
    }

    // Minimum, mean and maximum of a relay's samples in [from, from + length), from the samples
    // themselves.
    TrendPoint expected(uint16_t address, qint64 from, qint64 length) const {
        return testing::aggregateOf(samples.at(address), from, length);
    }

    void open(int relay) {
        form = std::make_unique<TFormTrend>(trend.get(), journal.get(), devices, folder.dir(),
                                            messages, clock, nullptr);
        form->showForRelay(relay);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        ASSERT_TRUE(findControls(form.get()));
        settle();
    }
    // The window's controls, found by their names as the operator's tools know them.
    bool findControls(TFormTrend* window) {
        using testing::findWidget;
        listRelays = findWidget<QListWidget>(window, "ListRelays");
        const char* ranges[] = {"BtnHour", "BtnDay", "BtnWeek", "BtnMonth", "BtnYear", "BtnAll"};
        for (size_t i = 0; i < btnRange.size(); ++i) {
            btnRange[i] = findWidget<QPushButton>(window, ranges[i]);
        }
        checkLog = findWidget<QCheckBox>(window, "CheckLog");
        labelLevelsNote = findWidget<QLabel>(window, "LabelLevelsNote");
        labelNoData = findWidget<QLabel>(window, "LabelNoData");
        labelPointer = findWidget<QLabel>(window, "LabelPointer");
        gridForecast = findWidget<QTableWidget>(window, "GridForecast");
        labelProblem = findWidget<QLabel>(window, "LabelProblem");
        timerReread = findWidget<QTimer>(window, "TimerReread");
        return listRelays && checkLog && labelLevelsNote && labelNoData && labelPointer &&
               gridForecast && labelProblem && timerReread &&
               std::all_of(btnRange.begin(), btnRange.end(), [](auto* b) { return b; });
    }
    // The points of the span asked for are read on the reader's thread: shown once they come.
    void settle() {
        ASSERT_TRUE(QTest::qWaitFor([this] { return !form->isReading(); }, 20000));
    }

    // The chart's series of that name, in the order drawn; of one relay when `address` is given.
    template <class Series = QXYSeries>
    std::vector<Series*> series(const char* name, int address = -1) const {
        std::vector<Series*> found;
        for (QAbstractSeries* s : form->chart()->series()) {
            if (s->objectName() == QLatin1String(name) &&
                (address < 0 || s->property("address").toInt() == address)) {
                if (auto* typed = qobject_cast<Series*>(s)) {
                    found.push_back(typed);
                }
            }
        }
        return found;
    }
    static std::vector<double> xs(const QXYSeries* s) {
        std::vector<double> out;
        for (const QPointF& p : s->points()) {
            out.push_back(p.x());
        }
        return out;
    }
    QAbstractAxis* valueAxis() const { return form->chart()->axes(Qt::Vertical).value(0); }
    QDateTimeAxis* timeAxis() const {
        return qobject_cast<QDateTimeAxis*>(form->chart()->axes(Qt::Horizontal).value(0));
    }
    // Where a value of the chart is, in the chart view's coordinates.
    QPoint viewPoint(QPointF value, QAbstractSeries* series) const {
        const QPointF inChart = form->chart()->mapToPosition(value, series);
        return form->chartView()->mapFromScene(form->chart()->mapToScene(inChart));
    }
    QStringList legend() const {
        QStringList labels;
        for (QLegendMarker* m : form->chart()->legend()->markers()) {
            if (m->isVisible()) {
                labels << m->label();
            }
        }
        return labels;
    }

    DeviceTable devices;
    std::map<uint16_t, std::vector<InsulationSample>> samples;
    std::unique_ptr<TFormTrend> form;
    QListWidget* listRelays = nullptr;
    std::array<QPushButton*, 6> btnRange{};
    QCheckBox* checkLog = nullptr;
    QLabel* labelLevelsNote = nullptr;
    QLabel* labelNoData = nullptr;
    QLabel* labelPointer = nullptr;
    QTableWidget* gridForecast = nullptr;
    QLabel* labelProblem = nullptr;
    QTimer* timerReread = nullptr;
};

TEST_F(FormTrendTest, TwoRelaysOverADayWithTheirGapBandsLevelsAndEvents) {
    open(1);
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Тренд сопротивления изоляции"));
    ASSERT_EQ(listRelays->count(), 3);
    EXPECT_EQ(listRelays->item(1)->text(), QStringLiteral("2. ТГ-2 «Южный» (адрес 12)"));
    EXPECT_EQ(listRelays->item(0)->checkState(), Qt::Checked);
    EXPECT_EQ(listRelays->item(1)->checkState(), Qt::Unchecked);
    EXPECT_EQ(form->range(), TrendRange::Day);
    EXPECT_TRUE(btnRange[1]->isChecked());
    EXPECT_EQ(form->fromMs(), kNowMs - kDay);
    EXPECT_EQ(form->toMs(), kNowMs);
    EXPECT_EQ(timeAxis()->min().toMSecsSinceEpoch(), kNowMs - kDay);
    EXPECT_EQ(timeAxis()->max().toMSecsSinceEpoch(), kNowMs);

    // The second generator joins the first, in a colour of its own.
    listRelays->item(1)->setCheckState(Qt::Checked);
    settle();
    ASSERT_EQ(form->shown().size(), 2u);
    EXPECT_NE(TFormTrend::colorOf(form->shown()[0]), TFormTrend::colorOf(form->shown()[1]));
    // The legend is laid out once the event loop runs.
    const QStringList named{"ТГ-1 Северный", "ТГ-2 «Южный»", "Срабатывание защиты", "Потеря связи"};
    EXPECT_TRUE(QTest::qWaitFor([&] { return legend() == named; }))
        << legend().join('|').toStdString();

    // A day reads minutes: relay 5's line is cut at its silence, with a band under each piece;
    // relay 12 answered all day.
    const auto northLines = series<QLineSeries>("Mean", kNorth);
    const auto northBands = series<QAreaSeries>("Band", kNorth);
    ASSERT_EQ(northLines.size(), 2u);
    ASSERT_EQ(northBands.size(), 2u);
    EXPECT_EQ(series<QLineSeries>("Mean", kSouth).size(), 1u);
    EXPECT_EQ(series<QAreaSeries>("Band", kSouth).size(), 1u);
    EXPECT_EQ(form->shown()[0].series.resolution, TrendResolution::Minute);
    EXPECT_EQ(northLines[0]->color(), TFormTrend::colorOf(form->shown()[0]));
    EXPECT_EQ(northLines[0]->points().last().x(), double(kGapFrom - kMinute));
    EXPECT_EQ(northLines[1]->points().first().x(), double(kGapTo));
    for (QLineSeries* line : series<QLineSeries>("Mean")) {
        const std::vector<double> t = xs(line);
        for (size_t i = 1; i < t.size(); ++i) {
            ASSERT_LT(t[i] - t[i - 1], 3.0 * kMinute) << "a line across a gap";
        }
    }
    // The first minute of the day: its mean on the line, its extremes on the band.
    const TrendPoint first = expected(kNorth, kNowMs - kDay, kMinute);
    ASSERT_EQ(first.count, 3);
    EXPECT_EQ(northLines[0]->at(0), QPointF(double(kNowMs - kDay), first.mean));
    EXPECT_EQ(northBands[0]->upperSeries()->at(0), QPointF(double(kNowMs - kDay), first.max));
    EXPECT_EQ(northBands[0]->lowerSeries()->at(0), QPointF(double(kNowMs - kDay), first.min));
    EXPECT_EQ(northLines[0]->count() + northLines[1]->count(), (24 * 60) - 3 * 60);

    // The levels of the chosen relay, dashed, with the date they were read.
    const auto signal = series<QLineSeries>("LevelSignal");
    const auto trip = series<QLineSeries>("LevelTrip");
    ASSERT_EQ(signal.size(), 1u);
    ASSERT_EQ(trip.size(), 1u);
    EXPECT_EQ(signal[0]->points(),
              (QList<QPointF>{{double(kNowMs - kDay), 1500}, {double(kNowMs), 1500}}));
    EXPECT_EQ(trip[0]->at(0).y(), 800);
    EXPECT_EQ(signal[0]->pen().style(), Qt::DashLine);
    EXPECT_EQ(trip[0]->pen().color(), QColor(0xD0, 0x00, 0x00));
    EXPECT_EQ(signal[0]->name(),
              QStringLiteral("Уровень срабатывания защиты на СИГНАЛ (ТГ-1 Северный): 1500 кОм, "
                             "уставки прочитаны 05.12.2026 14:30"))
        << signal[0]->name().toStdString();
    EXPECT_TRUE(trip[0]->name().startsWith("Уровень срабатывания защиты на ОТКЛЮЧЕНИЕ"));
    EXPECT_TRUE(labelLevelsNote->isHidden());
    // Each level's label stands whole inside the plot, on a narrow screen too.
    {
        auto* view = form->findChild<QChartView*>(QStringLiteral("ChartViewTrend"));
        ASSERT_NE(view, nullptr);
        const QRectF plot = view->chart()->mapRectToScene(view->chart()->plotArea());
        QList<QRectF> labels;
        for (QGraphicsItem* item : view->scene()->items()) {
            const auto* text = dynamic_cast<QGraphicsSimpleTextItem*>(item);
            if (text && text->isVisible() && text->text().startsWith("Уровень срабатывания")) {
                const QRectF drawn = text->sceneBoundingRect();
                labels << drawn;
                EXPECT_GE(drawn.left(), plot.left() - 1) << text->text().toStdString();
                EXPECT_LE(drawn.right(), plot.right() + 1) << text->text().toStdString();
            }
        }
        ASSERT_EQ(labels.size(), 2);
        EXPECT_FALSE(labels[0].intersects(labels[1])) << "the two labels overlap";
    }
    // Relay 12's levels were never read: the chart says where to read them.
    listRelays->setCurrentRow(1);
    EXPECT_EQ(series<QLineSeries>("LevelSignal")[0]->count(), 0);
    EXPECT_EQ(series<QLineSeries>("LevelTrip")[0]->count(), 0);
    EXPECT_FALSE(labelLevelsNote->isHidden());
    EXPECT_EQ(labelLevelsNote->text(),
              QStringLiteral("Уставки защиты ещё не читались: откройте окно параметров защиты"));
    listRelays->setCurrentRow(0);
    EXPECT_TRUE(labelLevelsNote->isHidden());

    // Events of the day at their times: the protection event of relay 5, not the one of the relay
    // on its tile before, and the silences and the lost link.
    const auto protections = series<QScatterSeries>("MarksProtection");
    const auto losses = series<QScatterSeries>("MarksLink");
    ASSERT_EQ(protections.size(), 1u);
    ASSERT_EQ(losses.size(), 1u);
    EXPECT_EQ(xs(protections[0]), std::vector<double>{double(kProtectionAt)});
    EXPECT_EQ(xs(losses[0]),
              (std::vector<double>{double(kLinkLostAt), double(kGapFrom), double(kSouthSilentAt)}));

    // Under the pointer: the event of a mark, the value of a point.
    form->chart()->legend()->hide();  // a steady plot for the positions below
    ASSERT_TRUE(QTest::qWaitFor([this] { return form->chart()->plotArea().width() > 100; }));
    const QString event = form->pointerAt(viewPoint(protections[0]->at(0), protections[0]));
    EXPECT_EQ(event,
              QStringLiteral("06.12.2026 09:30:00 — ТГ-1 Северный: 09:30:00 : ТГ-1 Северный,Реле "
                             "ОТКЛЮЧЕНИЯ"));
    EXPECT_EQ(labelPointer->text(), event);
    // Zoomed to the last hour, every sample is a point of its own on the screen.
    btnRange[0]->click();
    settle();
    const auto southLine = series<QLineSeries>("Mean", kSouth)[0];
    const qint64 at = kNowMs - 45 * kMinute;
    const TrendPoint south = expected(kSouth, at, kSecond);
    ASSERT_EQ(south.count, 1);
    EXPECT_EQ(form->pointerAt(viewPoint(QPointF(double(at), south.mean), southLine) + QPoint(0, 3)),
              QStringLiteral("ТГ-2 «Южный»: 06.12.2026 13:45:00 — %1 кОм").arg(south.mean));
    btnRange[1]->click();
    settle();
    form->chart()->legend()->show();

    // The log scale and back.
    checkLog->setChecked(true);
    auto* log = qobject_cast<QLogValueAxis*>(valueAxis());
    ASSERT_NE(log, nullptr);
    EXPECT_LE(log->min(), 800);
    EXPECT_GE(log->max(), first.max);
    EXPECT_EQ(series<QLineSeries>("Mean", kNorth)[0]->at(0).y(), first.mean);
    checkLog->setChecked(false);
    auto* linear = qobject_cast<QValueAxis*>(valueAxis());
    ASSERT_NE(linear, nullptr);
    EXPECT_EQ(linear->min(), 0);
    EXPECT_GE(linear->max(), first.max);

    // Rate of change over the last week's hours, against relay 5's signal level; relay 12 has no
    // level to reach.
    ASSERT_EQ(gridForecast->rowCount(), 2);
    const TrendSeries week = trend->read(kNorth, kNowMs - 7 * kDay, kNowMs, TrendResolution::Hour);
    const auto forecast = forecastInsulation(week.points, kNowMs, 1500.0);
    ASSERT_TRUE(forecast && forecast->signalReachedAtMs);
    EXPECT_LT(forecast->slopeKohmPerDay, -90);
    EXPECT_EQ(gridForecast->item(0, 0)->text(), QStringLiteral("ТГ-1 Северный"));
    EXPECT_EQ(gridForecast->item(0, 1)->text(), slopeText(forecast->slopeKohmPerDay));
    EXPECT_EQ(gridForecast->item(0, 2)->text(), forecastText(*forecast));
    EXPECT_TRUE(gridForecast->item(0, 2)->text().endsWith("(прогноз)"));
    EXPECT_EQ(gridForecast->item(1, 2)->text(),
              QStringLiteral("уровень СИГНАЛ неизвестен: уставки защиты ещё не прочитаны"));

    // The shown points to CSV: both relays, oldest first, each minute as the samples give it.
    ASSERT_TRUE(form->saveCsvTo(folder.path("тренд.csv")));
    const QByteArray bytes = folder.read("тренд.csv");
    ASSERT_TRUE(bytes.startsWith("\xEF\xBB\xBF"));
    const QStringList lines = QString::fromUtf8(bytes.mid(3)).split("\r\n", Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 1 + (24 * 60 - 3 * 60) + 24 * 60);
    EXPECT_EQ(lines[0], QStringLiteral("Защита;Адрес;Генератор;Дата и время;Среднее, кОм;Минимум, "
                                       "кОм;Максимум, кОм"));
    EXPECT_EQ(lines[1], QStringLiteral("1;5;ТГ-1 Северный;05.12.2026 14:30:00;%1;%2;%3")
                            .arg(kohm(first.mean, 1), kohm(first.min, 1), kohm(first.max, 1)));
    const TrendPoint lastSouth = expected(kSouth, kNowMs - kMinute, kMinute);
    EXPECT_EQ(lines.last(),
              QStringLiteral("2;12;ТГ-2 «Южный»;06.12.2026 14:29:00;%1;%2;%3")
                  .arg(kohm(lastSouth.mean, 1), kohm(lastSouth.min, 1), kohm(lastSouth.max, 1)));
    ASSERT_EQ(messages.messages.size(), 1);
    EXPECT_EQ(messages.messages[0].icon, MessageIcon::Information);
    EXPECT_EQ(messages.messages[0].text,
              QStringLiteral("Тренд сохранён в %1: 2700 точек.").arg(folder.path("тренд.csv")));

    // The chart as a picture.
    ASSERT_TRUE(form->savePngTo(folder.path("тренд.png")));
    EXPECT_TRUE(folder.read("тренд.png").startsWith("\x89PNG\r\n"));
    {
        // The chart under a line that names it: as wide as the chart, taller by the line.
        const QImage picture(folder.path("тренд.png"));
        const QSize chartSize = form->chartView()->size() * form->chartView()->devicePixelRatio();
        EXPECT_EQ(picture.width(), chartSize.width());
        const int strip = picture.height() - chartSize.height();
        ASSERT_GT(strip, 10);
        int inked = 0;
        for (int x = 0; x < picture.width(); ++x) {
            inked += picture.pixelColor(x, strip / 2).lightness() < 128 ? 1 : 0;
        }
        EXPECT_GT(inked, 20) << "no title drawn above the chart";
    }
    // A folder that is not there: said, nothing written.
    EXPECT_FALSE(form->saveCsvTo(folder.path("нет/тренд.csv")));
    EXPECT_EQ(messages.messages.last().icon, MessageIcon::Error);
    EXPECT_TRUE(messages.messages.last().text.contains("тренд.csv"));
    // Nor may a picture or a table replace one of the station's own files.
    const QByteArray devices = fileBytes(folder.path("gen.dat"));
    EXPECT_FALSE(form->saveCsvTo(folder.path("gen.dat")));
    EXPECT_FALSE(form->savePngTo(folder.path("journal.db")));
    EXPECT_TRUE(messages.messages.last().text.contains("файл станции"));
    EXPECT_EQ(fileBytes(folder.path("gen.dat")), devices);

    // For looking at the window as an operator would: TERVAL_SCREENSHOTS=folder.
    const QString shots = qEnvironmentVariable("TERVAL_SCREENSHOTS");
    if (!shots.isEmpty()) {
        form->grab().save(shots + QStringLiteral("/trend-window.png"));
    }
}

TEST_F(FormTrendTest, RangeButtonsAndTheMouseChooseTheSpanAndItsResolution) {
    open(1);
    listRelays->item(1)->setCheckState(Qt::Checked);
    settle();
    const auto bands = [this] { return series<QAreaSeries>("Band").size(); };
    const auto resolution = [this] { return form->shown()[0].series.resolution; };
    const auto span = [this] { return form->toMs() - form->fromMs(); };

    btnRange[0]->click();  // Час: every sample, no band
    settle();
    EXPECT_EQ(form->range(), TrendRange::Hour);
    EXPECT_EQ(timeAxis()->min().toMSecsSinceEpoch(), kNowMs - kHour);
    EXPECT_EQ(resolution(), TrendResolution::Raw);
    EXPECT_EQ(bands(), 0u);
    EXPECT_EQ(series<QLineSeries>("Mean", kNorth)[0]->count(), 180);
    EXPECT_TRUE(btnRange[0]->isChecked());
    EXPECT_FALSE(btnRange[1]->isChecked());

    btnRange[2]->click();  // Неделя: minutes
    settle();
    EXPECT_EQ(form->fromMs(), kNowMs - 7 * kDay);
    EXPECT_EQ(resolution(), TrendResolution::Minute);
    btnRange[3]->click();  // Месяц: hours, still cut at the silence
    settle();
    EXPECT_EQ(form->fromMs(), kNowMs - 30 * kDay);
    EXPECT_EQ(resolution(), TrendResolution::Hour);
    EXPECT_EQ(series<QLineSeries>("Mean", kNorth).size(), 2u);
    EXPECT_EQ(bands(), 3u);
    const TrendPoint hour = expected(kNorth, kNowMs - 2 * kDay - 30 * kMinute, kHour);
    EXPECT_EQ(series<QLineSeries>("Mean", kNorth)[0]->at(0).y(), hour.mean);
    btnRange[4]->click();  // Год
    settle();
    EXPECT_EQ(form->fromMs(), kNowMs - 365 * kDay);
    btnRange[5]->click();  // Всё: from the first sample
    settle();
    EXPECT_EQ(form->fromMs(), kNowMs - 2 * kDay);
    EXPECT_EQ(form->toMs(), kNowMs);
    EXPECT_TRUE(btnRange[5]->isChecked());

    btnRange[1]->click();
    settle();
    form->chart()->legend()->hide();
    ASSERT_TRUE(QTest::qWaitFor([this] { return form->chart()->plotArea().width() > 100; }));
    const QRectF plot = form->chart()->plotArea();
    QWidget* viewport = form->chartView()->viewport();
    // A share of the plot's width as it is now, in the middle of its height.
    const auto at = [this](double share) {
        const QRectF now = form->chart()->plotArea();
        return form->chartView()->mapFromScene(
            form->chart()->mapToScene(QPointF(now.left() + share * now.width(), now.center().y())));
    };
    const auto timeAt = [&](double share) {
        return kNowMs - kDay + static_cast<qint64>(std::llround(share * kDay));
    };
    const qint64 pixel = kDay / static_cast<qint64>(plot.width()) + 1;

    // A rubber band over a tenth of the day: about two and a half hours, every sample.
    QTest::mousePress(viewport, Qt::LeftButton, {}, at(0.6));
    QTest::mouseMove(viewport, at(0.65));
    QTest::mouseMove(viewport, at(0.7));
    QTest::mouseRelease(viewport, Qt::LeftButton, {}, at(0.7));
    settle();
    EXPECT_EQ(form->range(), std::nullopt);
    for (QPushButton* b : btnRange) {
        EXPECT_FALSE(b->isChecked());
    }
    EXPECT_NEAR(form->fromMs(), timeAt(0.6), pixel);
    EXPECT_NEAR(form->toMs(), timeAt(0.7), pixel);
    EXPECT_EQ(resolution(), TrendResolution::Raw);
    EXPECT_EQ(bands(), 0u);
    EXPECT_EQ(series<QLineSeries>("Mean", kNorth).size(), 1u);  // the gap lies before

    // The wheel widens the span around the pointer and reads it again once it rests.
    const qint64 before = span();
    const QPoint middle = at(0.5);
    QWheelEvent wheel(middle, viewport->mapToGlobal(middle), QPoint(), QPoint(0, -600),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(viewport, &wheel);
    EXPECT_NEAR(span(), before / std::pow(0.8, 5), 5);
    EXPECT_TRUE(timerReread->isActive());
    ASSERT_TRUE(QTest::qWaitFor([this] { return !timerReread->isActive(); }));
    settle();
    EXPECT_EQ(resolution(), TrendResolution::Minute);
    EXPECT_EQ(series<QLineSeries>("Mean", kNorth).size(), 2u);

    // Dragging with the right button moves the span, the same width, to later times.
    const qint64 from = form->fromMs();
    const qint64 width = span();
    const qint64 moved = static_cast<qint64>(std::llround(0.25 * width));
    QTest::mousePress(viewport, Qt::RightButton, {}, at(0.5));
    QTest::mouseMove(viewport, at(0.375));
    QTest::mouseMove(viewport, at(0.25));
    QTest::mouseRelease(viewport, Qt::RightButton, {}, at(0.25));
    settle();
    EXPECT_EQ(span(), width);
    EXPECT_NEAR(form->fromMs(), from + moved, width / plot.width() + 1);
    EXPECT_FALSE(timerReread->isActive());

    // A double click goes back to the span of the button chosen last.
    QTest::mouseDClick(viewport, Qt::LeftButton, {}, at(0.5));
    settle();
    EXPECT_EQ(form->range(), TrendRange::Day);
    EXPECT_EQ(form->fromMs(), kNowMs - kDay);

    // Ten minutes on, the day shown moves with the clock and takes in what was written since.
    for (qint64 t = kNowMs; t < kNowMs + 10 * kMinute; t += 20 * kSecond) {
        add(kNorth, t, 1500, 100);
    }
    ASSERT_TRUE(trend->flush());
    clock.time = kNow.addSecs(600);
    form->refreshTimeout();
    settle();
    EXPECT_EQ(form->toMs(), kNowMs + 10 * kMinute);
    EXPECT_EQ(form->fromMs(), kNowMs + 10 * kMinute - kDay);
    EXPECT_EQ(series<QLineSeries>("Mean", kNorth).back()->points().last(),
              QPointF(double(kNowMs + 9 * kMinute), 1500));

    // A reading of the minute under way, still in memory, is on the chart too.
    add(kNorth, kNowMs + 10 * kMinute + 5 * kSecond, 1400, 100);
    clock.time = kNow.addSecs(660);
    form->refreshTimeout();
    settle();
    EXPECT_EQ(series<QLineSeries>("Mean", kNorth).back()->points().last(),
              QPointF(double(kNowMs + 10 * kMinute), 1400));
}

// The legend's names, as drawn: the text items of its visible entries.
QStringList drawnLegend(QLegend* legend) {
    QStringList texts;
    const QList<QGraphicsItem*> top = legend->childItems();
    std::vector<QGraphicsItem*> items(top.begin(), top.end());
    while (!items.empty()) {
        QGraphicsItem* item = items.back();
        items.pop_back();
        if (!item->isVisible()) {
            continue;
        }
        if (auto* text = dynamic_cast<QGraphicsTextItem*>(item)) {
            if (text->boundingRect().width() > 1) {
                texts << text->toPlainText();
            }
        }
        const QList<QGraphicsItem*> children = item->childItems();
        items.insert(items.end(), children.begin(), children.end());
    }
    texts.sort();
    return texts;
}

// A view of more relays than the legend's row holds puts the list in its place; the legend that
// comes back after the window is closed and opened again carries its names and the marks again.
TEST_F(FormTrendTest, LegendComesBackWithItsNamesAfterAViewOfManyRelays) {
    for (int i = 4; i <= 16; ++i) {
        DeviceEntry d;
        d.GeneratorName = QStringLiteral("Турбогенератор блока %1").arg(i);
        d.BreakerName = QStringLiteral("В-%1").arg(i);
        d.Address = static_cast<uint16_t>(40 + i);
        devices.append(d);
    }
    open(1);
    for (int row = 0; row < listRelays->count(); ++row) {
        listRelays->item(row)->setCheckState(Qt::Checked);
    }
    settle();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !form->chart()->legend()->isVisible(); }));
    form->close();
    QApplication::processEvents();

    form->showForRelay(1);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    settle();
    QStringList named{"ТГ-1 Северный", "Срабатывание защиты", "Потеря связи"};
    EXPECT_TRUE(QTest::qWaitFor([&] { return legend() == named; }))
        << legend().join('|').toStdString();
    QStringList shownNames = named;
    shownNames.sort();
    EXPECT_TRUE(QTest::qWaitFor([&] {
        return form->chart()->legend()->isVisible() &&
               drawnLegend(form->chart()->legend()) == shownNames;
    })) << drawnLegend(form->chart()->legend()).join('|').toStdString();
}

TEST_F(FormTrendTest, WithoutAJournalTheWindowSaysSo) {
    TFormTrend window(nullptr, nullptr, devices, folder.dir(), messages, clock, nullptr);
    window.showForRelay(2);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    ASSERT_TRUE(findControls(&window));
    EXPECT_EQ(listRelays->item(1)->checkState(), Qt::Checked);
    EXPECT_FALSE(labelNoData->isHidden());
    EXPECT_EQ(labelProblem->text(), QStringLiteral("Станция не ведёт журнал событий."));
    EXPECT_TRUE(labelLevelsNote->isHidden());
    ASSERT_TRUE(window.saveCsvTo(folder.path("пусто.csv")));
    EXPECT_EQ(QString::fromUtf8(folder.read("пусто.csv").mid(3)).count("\r\n"), 1);
}

TEST_F(FormTrendTest, OpensFromTheMenuATileAndTheModalParameterWindow) {
    WorkFolder station;
    station.addPictures();
    DeviceTable table;
    for (int n = 1; n <= 3; ++n) {
        table.append(newDeviceEntry(n));
    }
    station.write("gen.dat", table.toFileBytes());
    WindowedStation windowed(station.dir(), messages, clock,
                             QLocale(QLocale::Russian, QLocale::Russia));
    TFormMain& main = windowed.window();
    main.show();
    QApplication::setActiveWindow(&main);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&main));

    // In "Объект" after "Журнал событий", with a key nothing else has, whatever the menu mask.
    QMenu* object = main.findChild<QMenu*>("N2");
    ASSERT_NE(object, nullptr);
    const QList<QAction*> items = object->actions();
    ASSERT_EQ(items.indexOf(child<QAction>(&main, "NTrend")),
              items.indexOf(child<QAction>(&main, "NJournal")) + 1);
    EXPECT_EQ(child<QAction>(&main, "NTrend")->text(),
              QStringLiteral("Тренд сопротивления изоляции"));
    EXPECT_EQ(child<QAction>(&main, "NTrend")->shortcut(), QKeySequence(Qt::Key_F11));
    for (QAction* a : main.findChildren<QAction*>()) {
        if (a != child<QAction>(&main, "NTrend") && a != child<QAction>(&main, "NPTrend")) {
            EXPECT_NE(a->shortcut(), QKeySequence(Qt::Key_F11)) << a->text().toStdString();
        }
    }
    main.applyMenuMask(menu_masks::kTcpStarted);
    EXPECT_TRUE(child<QAction>(&main, "NTrend")->isEnabled());

    // F11 with no tile selected: the first relay.
    QTest::keyClick(&main, Qt::Key_F11);
    TFormTrend* window = child<TFormTrend>(&main, "FormTrend");
    ASSERT_TRUE(findControls(window));
    ASSERT_TRUE(window->isVisible());
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    ASSERT_EQ(window->shown().size(), 1u);
    EXPECT_EQ(window->shown()[0].number, 1);
    EXPECT_EQ(window->shown()[0].generator, QStringLiteral("Ген. 1"));
    btnRange[2]->click();
    window->hide();

    // The tile pop-up keeps its items and keys and adds the trend of its relay, over a day, and
    // after a separator the relay's alarms.
    QTest::mouseClick(main.tilePicture(3), Qt::LeftButton);
    QTest::mousePress(main.tileGeneratorLabel(3), Qt::RightButton);
    ASSERT_TRUE(main.tilePopup()->isVisible());
    QStringList popup;
    for (QAction* a : main.tilePopup()->actions()) {
        popup << a->text() + QLatin1Char('|') + a->shortcut().toString();
    }
    EXPECT_EQ(popup, (QStringList{"Параметры |F4", "Статистика связи        |F6", "Открыть окно|F3",
                                  "Тренд сопротивления изоляции|F11", "|", "Квитировать|",
                                  "Заглушить|Ctrl+Space", "Отложить...|"}));
    QTest::keyClick(main.tilePopup(), Qt::Key_F11);
    ASSERT_TRUE(window->isVisible());
    ASSERT_EQ(window->shown().size(), 1u);
    EXPECT_EQ(window->shown()[0].number, 3);
    EXPECT_EQ(window->range(), TrendRange::Day);

    // From the modal parameter window of relay 2: the same window, relay 2 joining and chosen,
    // and usable while the parameter window stays open.
    QTest::mouseClick(main.tilePicture(2), Qt::LeftButton);
    btnRange[2]->click();
    bool blocked = false;
    class BlockWatch final : public QObject {
      public:
        explicit BlockWatch(bool& blocked) : blocked_(blocked) {}
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::WindowBlocked) {
                blocked_ = true;
            } else if (e->type() == QEvent::WindowUnblocked) {
                blocked_ = false;
            }
            return false;
        }

      private:
        bool& blocked_;
    } watch(blocked);
    window->installEventFilter(&watch);
    bool checked = false;
    QTimer::singleShot(0, [&] {
        ASSERT_EQ(QApplication::activeModalWidget(), child<TFormParam>(&main, "FormParam"));
        ASSERT_TRUE(blocked);  // the parameter window is modal
        ASSERT_NE(child<QPushButton>(child<TFormParam>(&main, "FormParam"), "BtnTrend"), nullptr);
        child<QPushButton>(child<TFormParam>(&main, "FormParam"), "BtnTrend")->click();
        EXPECT_FALSE(blocked);
        EXPECT_TRUE(window->isVisible());
        EXPECT_EQ(window->range(), TrendRange::Day);
        ASSERT_EQ(window->shown().size(), 2u);
        EXPECT_EQ(window->chosen()->number, 2);
        window->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(window));
        checked = true;
        child<TFormParam>(&main, "FormParam")->reject();
    });
    child<TFormParam>(&main, "FormParam")->openForSelectedRelay();
    EXPECT_TRUE(checked);
    // It stays open when the parameter window has closed.
    EXPECT_TRUE(window->isVisible());
    window->removeEventFilter(&watch);
    main.close();
}

}  // namespace
}  // namespace terval

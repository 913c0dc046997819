// The journal window over a real journal.db of a few hundred records: what the operator filters
// by, the order and the pages of the table, new records arriving, a protection event's protocol
// and its report, the CSV export, a journal that cannot be read, and F9 from the main window.
#include "windows/journal/form_journal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QMenuBar>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

#include "devices/device_table.h"
#include "journal/journal_table_model.h"
#include "param/param_controls.h"
#include "poll/protocol_pages.h"
#include "poll/report_file.h"
#include "support/fakes.h"
#include "support/find_child.h"
#include "support/find_widget.h"
#include "support/journal_fixture.h"
#include "support/wait_until.h"
#include "widgets/widget_led.h"
#include "windows/journal/form_alarm_report.h"
#include "windows/main/form_main.h"
#include "windows/main/windowed_station.h"

namespace terval {
namespace {

using testing::child;

// What a file holds; nothing when it is not there.
QByteArray fileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

using testing::findWidget;
using testing::FixedClock;
using testing::RecordingMessageSink;
using testing::WorkFolder;
using namespace param_controls;

struct Relay {
    int number;
    uint16_t address;
    const char* generator;
    const char* breaker;
};
const Relay kRelays[] = {{1, 5, "ТГ-1 Северный", "В-1"},
                         {2, 12, "Турбогенератор Ёлочный", "Q-2"},
                         {3, 31, "ГГ-3 «Южный»", "В-3"}};

constexpr int kRecords = 450;
// The newest protection event came without its protocol.
constexpr int kWithoutProtocol = 445;
const QDateTime kFirst(QDate(2026, 12, 3), QTime(0, 5));

JournalRelay relayOf(int i) {
    const Relay& r = kRelays[i % 3];
    return {r.number, r.address, QString::fromUtf8(r.generator), QString::fromUtf8(r.breaker)};
}

TripRecord tripRecord(int i) {
    TripRecord r{};
    r[0] = static_cast<uint16_t>(((i / 5 % 64 + 1) << 8) | 12);
    r[1] = static_cast<uint16_t>((4 << 8) | 13);
    r[2] = static_cast<uint16_t>((25 << 8) | 7);
    r[3] = static_cast<uint16_t>(300 + i);
    r[4] = 125;
    r[5] = 250;
    r[6] = static_cast<uint16_t>(1000 + i);
    r[7] = 2205;
    r[8] = 481;
    r[27] = 0b00011;
    r[31] = 1;
    return r;
}

// Record i of the journal, ten minutes after record i - 1: five kinds in turn, over three relays.
JournalEntry record(int i) {
    JournalEntry e;
    e.timeMs = kFirst.addSecs(600LL * i).toMSecsSinceEpoch();
    e.relay = relayOf(i);
    switch (i % 5) {
        case 0:
            e.kind = JournalKind::ProtectionEvent;
            e.text = QStringLiteral("%1 : %2,Реле ОТКЛЮЧЕНИЯ").arg(i).arg(e.relay->generator);
            e.details = ProtectionEventDetails{
                kFirst.addSecs(600LL * i - 3), 1, QStringLiteral("Реле ОТКЛЮЧЕНИЯ"),
                i == kWithoutProtocol ? std::nullopt : std::optional<TripRecord>(tripRecord(i))};
            break;
        case 1:
            e.kind = JournalKind::RelaySilent;
            e.text = QStringLiteral("Защита не отвечает (%1)").arg(i);
            break;
        case 2:
            e.kind = JournalKind::Acknowledgement;
            e.text = QStringLiteral("Событие квитировано (%1)").arg(i);
            break;
        case 3:
            e.kind = JournalKind::RelayWrite;
            e.text = QStringLiteral("Уставка записана (%1)").arg(i);
            e.details = WriteDetails{
                0x0405, QStringLiteral("Уставка сигнализации, кОм"), 150, 120, WriteOutcome::Echoed,
                0};
            break;
        default:
            e.kind = JournalKind::StationStarted;
            e.relay.reset();
            e.text = QStringLiteral("Станция запущена (%1)").arg(i);
            break;
    }
    return e;
}

// The records numbers that pass `keep`, newest first, as the window must list them.
template <class Keep>
QStringList expectedTexts(Keep keep) {
    QStringList texts;
    for (int i = kRecords - 1; i >= 0; --i) {
        if (keep(i)) {
            texts << record(i).text;
        }
    }
    return texts;
}

// The locks this process holds on the file, as the system lists them.
int locksHeldOn(const QString& path) {
    struct stat info {};
    if (stat(QFile::encodeName(path).constData(), &info) != 0) {
        return -1;
    }
    QFile list(QStringLiteral("/proc/locks"));
    if (!list.open(QIODevice::ReadOnly)) {
        return -1;
    }
    const QString pid = QString::number(QCoreApplication::applicationPid());
    const QString inode = QStringLiteral(":%1").arg(info.st_ino);
    int held = 0;
    for (const QByteArray& line : list.readAll().split('\n')) {
        const QStringList fields = QString::fromLatin1(line).simplified().split(' ');
        if (fields.size() > 5 && fields[4] == pid && fields[5].endsWith(inode)) {
            ++held;
        }
    }
    return held;
}

QString countLabel(qint64 n) {
    return QStringLiteral("Записей: ") + QLocale(QLocale::Russian).toString(n);
}

class FormJournalTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { installFontSubstitutions(); }

    void SetUp() override {
        for (const Relay& r : kRelays) {
            DeviceEntry d;
            d.GeneratorName = QString::fromUtf8(r.generator);
            d.BreakerName = QString::fromUtf8(r.breaker);
            d.Address = r.address;
            devices.append(d);
        }
        journal = std::make_unique<Journal>(folder.dir(), clock, messages);
        ASSERT_TRUE(journal->open());
        std::vector<JournalEntry> records;
        for (int i = 0; i < kRecords; ++i) {
            records.push_back(record(i));
        }
        testing::appendAll(*journal, records);
    }

    void openWindow() {
        form = std::make_unique<TFormJournal>(journal.get(), devices, folder.dir(), messages, clock,
                                              nullptr);
        form->showOrRaise();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    }
    JournalTableModel& model() const { return *form->model(); }
    // The window's control of that objectName.
    template <class W>
    W* child(const char* name) const {
        return findWidget<W>(form.get(), name);
    }
    QString cell(int row, int column) const {
        return child<QTableView>("GridJournal")->model()->index(row, column).data().toString();
    }
    // The texts of every row read so far.
    QStringList shownTexts() const {
        QStringList texts;
        for (int row = 0; row < model().rowCount(); ++row) {
            texts << model().entry(row)->text;
        }
        return texts;
    }
    // Scrolls down as the operator would until every row of the filter has been read.
    bool scrollToTheEnd() const {
        QScrollBar* bar = child<QTableView>("GridJournal")->verticalScrollBar();
        return QTest::qWaitFor([&] {
            bar->setValue(bar->maximum());
            return !model().canFetchMore({});
        });
    }
    // The alarm report, read on a thread of its own, is shown.
    bool reportDone() const {
        return testing::waitUntil(
            [this] {
                QCoreApplication::processEvents();
                return !form->alarmReportRunning();
            },
            std::chrono::seconds(10));
    }
    void selectRow(int row) const {
        child<QTableView>("GridJournal")
            ->setCurrentIndex(child<QTableView>("GridJournal")->model()->index(row, 0));
    }

    WorkFolder folder;
    FixedClock clock{QDateTime(QDate(2026, 12, 6), QTime(14, 30, 0))};
    RecordingMessageSink messages;
    DeviceTable devices;
    std::unique_ptr<Journal> journal;
    std::unique_ptr<TFormJournal> form;
};

TEST_F(FormJournalTest, NewestFirstInPagesThroughEveryFilterAndNewRecordsKeepThePlace) {
    openWindow();
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Журнал событий"));
    QStringList headers;
    for (int c = 0; c < JournalTableModel::ColumnCount; ++c) {
        headers
            << child<QTableView>("GridJournal")->model()->headerData(c, Qt::Horizontal).toString();
    }
    EXPECT_EQ(headers, (QStringList{"Дата и время", "Вид", "Защита", "Адрес", "Генератор",
                                    "Выключатель", "Событие"}));

    // The first page only, newest first, and the count of the whole journal.
    EXPECT_EQ(child<QLabel>("LabelCount")->text(), countLabel(kRecords));
    EXPECT_EQ(model().rowCount(), JournalTableModel::kPageSize);
    const QStringList all = expectedTexts([](int) { return true; });
    EXPECT_EQ(shownTexts(), all.mid(0, JournalTableModel::kPageSize));
    const JournalEntry newest = record(kRecords - 1);
    EXPECT_EQ(cell(0, JournalTableModel::Time),
              QDateTime::fromMSecsSinceEpoch(newest.timeMs).toString("dd.MM.yyyy HH:mm:ss"));
    EXPECT_EQ(cell(0, JournalTableModel::Group), QStringLiteral("Станция"));
    EXPECT_EQ(cell(1, JournalTableModel::Group), QStringLiteral("Запись в защиту"));
    EXPECT_EQ(cell(0, JournalTableModel::Relay), QString());
    EXPECT_EQ(cell(1, JournalTableModel::Relay), QStringLiteral("2"));
    EXPECT_EQ(cell(1, JournalTableModel::Address), QStringLiteral("12"));
    EXPECT_EQ(cell(1, JournalTableModel::Generator), QStringLiteral("Турбогенератор Ёлочный"));
    EXPECT_EQ(cell(1, JournalTableModel::Breaker), QStringLiteral("Q-2"));
    // Protection red as in the alarm log, the others in colours of their own.
    const QAbstractItemModel* shown = child<QTableView>("GridJournal")->model();
    const auto color = [shown](int row) {
        return shown->index(row, JournalTableModel::Text).data(Qt::ForegroundRole).value<QColor>();
    };
    EXPECT_EQ(color(4), QColor(Qt::red));
    EXPECT_EQ(color(2), QColor(0x00, 0x80, 0x00));
    EXPECT_EQ(
        QSet<QRgb>({color(0).rgb(), color(1).rgb(), color(2).rgb(), color(3).rgb(), color(4).rgb()})
            .size(),
        5);

    // More pages come as the table is scrolled down, until the last.
    ASSERT_TRUE(scrollToTheEnd());
    EXPECT_EQ(shownTexts(), all);

    // A relay chosen in the list.
    ASSERT_EQ(child<QComboBox>("ComboRelay")->count(), 4);
    EXPECT_EQ(child<QComboBox>("ComboRelay")->itemText(0), QStringLiteral("Все защиты"));
    EXPECT_EQ(child<QComboBox>("ComboRelay")->itemText(2),
              QStringLiteral("2. Турбогенератор Ёлочный (адрес 12)"));
    child<QComboBox>("ComboRelay")->setCurrentIndex(2);
    const auto ofRelay2 = [](int i) { return i % 5 != 4 && i % 3 == 1; };
    EXPECT_EQ(child<QLabel>("LabelCount")->text(), countLabel(expectedTexts(ofRelay2).size()));
    ASSERT_TRUE(scrollToTheEnd());
    EXPECT_EQ(shownTexts(), expectedTexts(ofRelay2));

    // And a kind with it.
    // Every group of records, the alarms' among them, after "all".
    ASSERT_EQ(child<QComboBox>("ComboKind")->count(), 9);
    EXPECT_GE(child<QComboBox>("ComboKind")->findText("Аварийные сигналы"), 1);
    EXPECT_EQ(child<QComboBox>("ComboKind")->itemText(0), QStringLiteral("Все записи"));
    child<QComboBox>("ComboKind")
        ->setCurrentIndex(child<QComboBox>("ComboKind")->findText("Срабатывание защиты"));
    const auto protection2 = [&](int i) { return ofRelay2(i) && i % 5 == 0; };
    EXPECT_EQ(shownTexts(), expectedTexts(protection2));
    EXPECT_EQ(child<QLabel>("LabelCount")->text(), countLabel(expectedTexts(protection2).size()));

    // The CSV file holds the rows of the filter shown, and the operator is told how many.
    const QString csvPath = folder.path("выгрузка.csv");
    ASSERT_TRUE(form->exportTo(csvPath));
    QStringList lines =
        QString::fromUtf8(folder.read("выгрузка.csv").mid(3)).split("\r\n", Qt::SkipEmptyParts);
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_EQ(lines.takeFirst(),
              QStringLiteral("Дата и время;Вид;Защита;Адрес;Генератор;Выключатель;Событие"));
    QStringList csvTexts;
    for (const QString& line : lines) {
        const QStringList fields = line.split(';');
        ASSERT_EQ(fields.size(), 7) << line.toStdString();
        EXPECT_EQ(fields[1], QStringLiteral("Срабатывание защиты"));
        EXPECT_EQ(fields[2], QStringLiteral("2"));
        EXPECT_EQ(fields[4], QStringLiteral("Турбогенератор Ёлочный"));
        csvTexts << fields[6];
    }
    EXPECT_EQ(csvTexts, expectedTexts(protection2));
    ASSERT_EQ(messages.messages.size(), 1);
    EXPECT_EQ(messages.messages[0].icon, MessageIcon::Information);
    EXPECT_EQ(messages.messages[0].text,
              QStringLiteral("Выгружено %1 записей в %2").arg(csvTexts.size()).arg(csvPath));
    // Its save dialog shows the working folder without opening journal.db: a file opened and
    // closed in this process would take SQLite's locks on it away.
    ASSERT_GT(locksHeldOn(journal->filePath()), 0);
    QFileDialog* dialog = form->exportDialog();
    EXPECT_EQ(dialog->directory().absolutePath(), folder.dir().absolutePath());
    EXPECT_EQ(QFileInfo(dialog->selectedFiles().value(0)).fileName(),
              QStringLiteral("journal-20261206-1430.csv"));
    auto* listing = dialog->findChild<QFileSystemModel*>();
    ASSERT_NE(listing, nullptr);
    QSignalSpy loaded(listing, &QFileSystemModel::directoryLoaded);
    dialog->show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !loaded.isEmpty(); }));
    dialog->reject();
    EXPECT_GT(locksHeldOn(journal->filePath()), 0);

    // A folder that is not there: the message says why, and nothing is written.
    EXPECT_FALSE(form->exportTo(folder.path("нет такой папки/журнал.csv")));
    ASSERT_EQ(messages.messages.size(), 2);
    EXPECT_EQ(messages.messages[1].icon, MessageIcon::Error);
    EXPECT_TRUE(messages.messages[1].text.contains("журнал.csv"))
        << messages.texts()[1].toStdString();
    // The station's own files are never replaced by an export, whatever the operator picks.
    for (const QString& own : {QStringLiteral("journal.db"), QStringLiteral("gen.dat")}) {
        const QString path = folder.path(own);
        const QByteArray before = fileBytes(path);
        EXPECT_FALSE(form->exportTo(path)) << own.toStdString();
        EXPECT_EQ(messages.messages.last().icon, MessageIcon::Error);
        EXPECT_TRUE(messages.messages.last().text.contains("файл станции"))
            << messages.messages.last().text.toStdString();
        EXPECT_EQ(fileBytes(path), before) << own.toStdString();
    }

    // A period of whole days: "по" takes its day in to the last minute.
    child<QComboBox>("ComboRelay")->setCurrentIndex(0);
    child<QComboBox>("ComboKind")->setCurrentIndex(0);
    const QDate day(2026, 12, 4);
    child<QDateEdit>("DateFrom")->setDate(day);
    child<QDateEdit>("DateTo")->setDate(day);
    child<QCheckBox>("CheckFrom")->setChecked(true);
    child<QCheckBox>("CheckTo")->setChecked(true);
    const auto ofTheDay = [&](int i) {
        return QDateTime::fromMSecsSinceEpoch(record(i).timeMs).date() == day;
    };
    EXPECT_EQ(child<QLabel>("LabelCount")->text(), countLabel(expectedTexts(ofTheDay).size()));
    EXPECT_EQ(cell(0, JournalTableModel::Time), QStringLiteral("04.12.2026 23:55:00"));
    ASSERT_TRUE(scrollToTheEnd());
    EXPECT_EQ(shownTexts(), expectedTexts(ofTheDay));
    child<QCheckBox>("CheckFrom")->setChecked(false);
    child<QCheckBox>("CheckTo")->setChecked(false);

    // A search runs after a pause in the typing, whatever the case or the "ё".
    for (const QChar letter : QStringLiteral("ЕЛОЧНЫЙ")) {
        QTest::sendKeyEvent(QTest::Click, child<QLineEdit>("EditSearch"), Qt::Key_unknown,
                            QString(letter), Qt::NoModifier);
    }
    EXPECT_EQ(child<QLineEdit>("EditSearch")->text(), QStringLiteral("ЕЛОЧНЫЙ"));
    EXPECT_EQ(child<QLabel>("LabelCount")->text(), countLabel(kRecords));
    EXPECT_TRUE(child<QTimer>("TimerSearch")->isActive());
    ASSERT_TRUE(QTest::qWaitFor([&] {
        return child<QLabel>("LabelCount")->text() == countLabel(expectedTexts(ofRelay2).size());
    }));
    ASSERT_TRUE(scrollToTheEnd());
    EXPECT_EQ(shownTexts(), expectedTexts(ofRelay2));
    child<QLineEdit>("EditSearch")->clear();
    form->applyFilter();

    // A new record while the table is at its top goes above the others, and the chosen row stays
    // chosen.
    ASSERT_EQ(model().rowCount(), JournalTableModel::kPageSize);
    selectRow(3);
    const qint64 chosen = model().entry(3)->id;
    ASSERT_TRUE(journal->append(JournalKind::StationStopped, std::nullopt,
                                QStringLiteral("Станция остановлена")));
    form->showNewRecords();
    EXPECT_EQ(model().entry(0)->text, QStringLiteral("Станция остановлена"));
    EXPECT_EQ(model().entry(child<QTableView>("GridJournal")->currentIndex().row())->id, chosen);
    EXPECT_EQ(child<QLabel>("LabelCount")->text(), countLabel(kRecords + 1));
    EXPECT_TRUE(child<QLabel>("LabelNews")->isHidden());

    // Scrolled down, the table stays as it is and says that there are new records.
    child<QTableView>("GridJournal")->verticalScrollBar()->setValue(40);
    ASSERT_TRUE(journal->append(JournalKind::StationStarted, std::nullopt,
                                QStringLiteral("Станция запущена снова")));
    form->showNewRecords();
    EXPECT_EQ(model().entry(0)->text, QStringLiteral("Станция остановлена"));
    EXPECT_EQ(child<QTableView>("GridJournal")->verticalScrollBar()->value(), 40);
    EXPECT_FALSE(child<QLabel>("LabelNews")->isHidden());
    EXPECT_EQ(child<QLabel>("LabelNews")->text(), QStringLiteral("Есть новые записи"));
    child<QPushButton>("BtnRefresh")->click();
    EXPECT_EQ(model().entry(0)->text, QStringLiteral("Станция запущена снова"));
    EXPECT_EQ(child<QLabel>("LabelCount")->text(), countLabel(kRecords + 2));
    EXPECT_TRUE(child<QLabel>("LabelNews")->isHidden());
    EXPECT_TRUE(child<QLabel>("LabelProblem")->isHidden());
}

TEST_F(FormJournalTest, AProtectionEventOpensItsProtocolAndItsReport) {
    openWindow();
    // A row of another kind has no protocol.
    selectRow(0);
    EXPECT_FALSE(child<QPushButton>("BtnProtocol")->isEnabled());
    EXPECT_FALSE(form->openProtocol(0));

    child<QComboBox>("ComboKind")->setCurrentIndex(1);
    ASSERT_EQ(model().entry(0)->text, record(kWithoutProtocol).text);
    ASSERT_EQ(model().entry(1)->text, record(440).text);

    // The newest one came without its protocol, and says so.
    selectRow(0);
    ASSERT_TRUE(child<QPushButton>("BtnProtocol")->isEnabled());
    child<QPushButton>("BtnProtocol")->click();
    auto* protocol = child<TFormJournalProtocol>("FormJournalProtocol");
    ASSERT_NE(protocol, nullptr);
    ASSERT_TRUE(protocol->isVisible());
    EXPECT_FALSE(findWidget<QLabel>(protocol, "LabelNoProtocol")->isHidden());
    EXPECT_TRUE(findWidget<QLabel>(protocol, "LabelNoProtocol")->text().contains("не сохранён"));
    EXPECT_FALSE(findWidget<QPushButton>(protocol, "BtnReport")->isEnabled());

    // Enter on the next row opens its protocol, laid out as the parameter window's page.
    form->activateWindow();
    selectRow(1);
    child<QTableView>("GridJournal")->setFocus();
    QTest::keyClick(child<QTableView>("GridJournal"), Qt::Key_Return);
    EXPECT_TRUE(findWidget<QLabel>(protocol, "LabelNoProtocol")->isHidden());
    EXPECT_EQ(findWidget<QLabel>(protocol, "LabelName")->text(), QStringLiteral("ГГ-3 «Южный»"));
    EXPECT_EQ(findWidget<QLabel>(protocol, "LabelRelay")->text(),
              QStringLiteral("Защита 3, адрес 31, выключатель В-3"));
    const auto panel = [protocol](const QString& name) {
        const auto* label = protocol->findChild<QLabel*>(name);
        return label ? label->text() : QStringLiteral("<none>");
    };
    using namespace registers::trip;
    EXPECT_EQ(panel(kTripNumber), QStringLiteral("25"));
    EXPECT_EQ(panel(kTripDate), QStringLiteral("4/12"));
    EXPECT_EQ(panel(kTripTime), QStringLiteral("13:25:07"));
    EXPECT_EQ(panel(kTripSign), QStringLiteral("Реле ОТКЛЮЧЕНИЯ"));
    EXPECT_EQ(panel(tripValuePanel(kInsulationResistance)), QStringLiteral("1440"));
    EXPECT_EQ(panel(tripValuePanel(kRemoteness)), QStringLiteral("74.0"));
    EXPECT_EQ(panel(tripValuePanel(kInjectedVoltage)), QStringLiteral("48.1"));
    for (int bit = 0; bit < registers::kStatusBits; ++bit) {
        const auto* lamp = protocol->findChild<LedIndicator*>(tripStatusLamp(bit));
        ASSERT_NE(lamp, nullptr);
        EXPECT_EQ(lamp->isLit(), bit < 2) << bit;
    }

    // The report under the names the record kept; a Protokols that is a file is told, not hidden.
    folder.write(kReportFolder, "not a folder");
    findWidget<QPushButton>(protocol, "BtnReport")->click();
    ASSERT_EQ(messages.messages.size(), 1);
    EXPECT_EQ(messages.messages[0].icon, MessageIcon::Error);
    ASSERT_TRUE(QFile::remove(folder.path(kReportFolder)));
    findWidget<QPushButton>(protocol, "BtnReport")->click();
    EXPECT_EQ(messages.messages.size(), 1);
    RegisterWords words{};
    const TripRecord trip = tripRecord(440);
    std::copy(trip.begin(), trip.end(), words.begin());
    const TripProtocolPage page = decodeTripProtocol(words);
    const QString report = QStringLiteral("%1/%2").arg(kReportFolder, reportFileName(page.stamp));
    EXPECT_EQ(folder.read(report), reportBytes(QStringLiteral("ГГ-3 «Южный»"), 31, page));
    EXPECT_TRUE(
        findWidget<QLabel>(protocol, "LabelReport")->text().contains(reportFileName(page.stamp)));
}

TEST_F(FormJournalTest, PagesStopAtTheirLimitAndAnUnreadableJournalIsExplained) {
    // However far the operator scrolls, the rows held stay within the limit.
    JournalTableModel limited(journal.get(), nullptr, 50, 120);
    limited.setFilter({});
    EXPECT_EQ(limited.rowCount(), 50);
    while (limited.canFetchMore({})) {
        limited.fetchMore({});
    }
    EXPECT_EQ(limited.rowCount(), 120);
    EXPECT_TRUE(limited.reachedLimit());
    JournalTableModel whole(journal.get(), nullptr, 50, kRecords);
    whole.setFilter({});
    while (whole.canFetchMore({})) {
        whole.fetchMore({});
    }
    EXPECT_EQ(whole.rowCount(), kRecords);
    EXPECT_FALSE(whole.reachedLimit());

    // A journal whose file is taken by a folder: the window says why and stays usable.
    WorkFolder other;
    ASSERT_TRUE(other.dir().mkdir("journal.db"));
    RecordingMessageSink otherMessages;
    Journal broken(other.dir(), clock, otherMessages);
    ASSERT_FALSE(broken.open());
    ASSERT_FALSE(broken.problem().isEmpty());
    TFormJournal window(&broken, devices, other.dir(), messages, clock, nullptr);
    window.showOrRaise();
    EXPECT_FALSE(findWidget<QLabel>(&window, "LabelProblem")->isHidden());
    EXPECT_EQ(findWidget<QLabel>(&window, "LabelProblem")->text(), broken.problem());
    EXPECT_EQ(window.model()->rowCount(), 0);
    EXPECT_EQ(findWidget<QLabel>(&window, "LabelCount")->text(), countLabel(0));
    findWidget<QComboBox>(&window, "ComboKind")->setCurrentIndex(1);
    window.showNewRecords();
    findWidget<QPushButton>(&window, "BtnRefresh")->click();
    EXPECT_EQ(findWidget<QLabel>(&window, "LabelProblem")->text(), broken.problem());
    EXPECT_FALSE(window.exportTo(other.path("журнал.csv")));
    ASSERT_EQ(messages.messages.size(), 1);
    EXPECT_EQ(messages.messages[0].icon, MessageIcon::Error);
    EXPECT_FALSE(other.exists("журнал.csv"));

    // Its alarm report says why there is none, and there is nothing to save.
    findWidget<QPushButton>(&window, "BtnAlarmReport")->click();
    ASSERT_TRUE(testing::waitUntil(
        [&] {
            QCoreApplication::processEvents();
            return !window.alarmReportRunning();
        },
        std::chrono::seconds(10)));
    auto* report = findWidget<TFormAlarmReport>(&window, "FormAlarmReport");
    ASSERT_TRUE(report->isVisible());
    EXPECT_FALSE(findWidget<QLabel>(report, "LabelProblem")->isHidden());
    EXPECT_TRUE(findWidget<QLabel>(report, "LabelProblem")->text().contains("journal.db"))
        << findWidget<QLabel>(report, "LabelProblem")->text().toStdString();
    EXPECT_FALSE(findWidget<QPushButton>(report, "BtnSaveCsv")->isEnabled());
    EXPECT_FALSE(report->saveTo(other.path("отчёт.csv")));
    EXPECT_FALSE(other.exists("отчёт.csv"));
}

// An alarm's journal record: the alarm after the change, at that moment.
JournalEntry alarmRecord(const QDateTime& at, AlarmKind kind, int relay, AlarmChange change,
                         AlarmState state, const QDateTime& raised, bool suppressed = false) {
    JournalEntry e;
    e.timeMs = at.toMSecsSinceEpoch();
    e.kind = JournalKind::AlarmChanged;
    AlarmDetails d;
    d.alarm.kind = kind;
    d.alarm.state = state;
    d.alarm.raisedAtMs = raised.toMSecsSinceEpoch();
    d.alarm.suppressed = suppressed;
    if (relay >= 0) {
        e.relay = relayOf(relay);
        d.alarm.address = e.relay->address;
    }
    d.alarm.text =
        QStringLiteral("%1: %2").arg(e.relay ? e.relay->generator : "Связь", alarmKindText(kind));
    d.change = change;
    if (change == AlarmChange::Acknowledged) {
        d.user = QStringLiteral("dispatcher");
    }
    e.text = d.alarm.text + QStringLiteral(" — ") + alarmStateText(state);
    e.details = d;
    return e;
}

TEST_F(FormJournalTest, AlarmRecordsAreAGroupOfTheirOwnAndTheReportShowsThePeriodChosen) {
    const QDate day(2026, 12, 4);
    const QDateTime raise(day, QTime(10, 0));
    const QDateTime linkLost(QDate(2026, 12, 3), QTime(1, 0));
    std::vector<JournalEntry> alarms;
    // Before the period: a raise the report leaves out, and the link lost, standing into it.
    alarms.push_back(alarmRecord(QDateTime(day.addDays(-2), QTime(12, 0)), AlarmKind::TripRelay, 0,
                                 AlarmChange::Raised, AlarmState::ActiveUnacknowledged,
                                 QDateTime(day.addDays(-2), QTime(12, 0))));
    alarms.push_back(alarmRecord(linkLost, AlarmKind::LinkLost, -1, AlarmChange::Raised,
                                 AlarmState::ActiveUnacknowledged, linkLost));
    // Relay 2's trip relay five times in 40 s: chattering.
    for (int i = 0; i < 5; ++i) {
        const QDateTime at = raise.addSecs(10 * i);
        alarms.push_back(alarmRecord(at, AlarmKind::TripRelay, 1, AlarmChange::Raised,
                                     AlarmState::ActiveUnacknowledged, at));
        alarms.push_back(alarmRecord(at.addSecs(5), AlarmKind::TripRelay, 1, AlarmChange::Returned,
                                     AlarmState::ReturnedUnacknowledged, at));
    }
    // Relay 1 silent while the link was down: counted, and marked as not annunciated.
    alarms.push_back(alarmRecord(raise.addSecs(3600), AlarmKind::NoAnswer, 0, AlarmChange::Raised,
                                 AlarmState::ActiveUnacknowledged, raise.addSecs(3600), true));
    const QDateTime linkBack(day.addDays(1), QTime(6, 0));
    alarms.push_back(alarmRecord(linkBack, AlarmKind::LinkLost, -1, AlarmChange::Acknowledged,
                                 AlarmState::Normal, linkLost));
    testing::appendAll(*journal, alarms);

    openWindow();
    // The alarm records as a group of the kind filter, in their colour, with their details.
    QComboBox* kind = child<QComboBox>("ComboKind");
    kind->setCurrentIndex(kind->findText("Аварийные сигналы"));
    EXPECT_EQ(model().rowCount(), static_cast<int>(alarms.size()));
    EXPECT_EQ(cell(0, JournalTableModel::Group), QStringLiteral("Аварийные сигналы"));
    EXPECT_EQ(cell(0, JournalTableModel::Text), alarms.back().text);
    EXPECT_EQ(cell(1, JournalTableModel::Generator), QStringLiteral("ТГ-1 Северный"));
    EXPECT_EQ(child<QTableView>("GridJournal")
                  ->model()
                  ->index(0, JournalTableModel::Text)
                  .data(Qt::ForegroundRole)
                  .value<QColor>(),
              QColor(0xA0, 0x30, 0x00));
    // The tip of its event tells what the record keeps beyond its line.
    const QString tip = child<QTableView>("GridJournal")
                            ->model()
                            ->index(0, JournalTableModel::Text)
                            .data(Qt::ToolTipRole)
                            .toString();
    EXPECT_TRUE(tip.startsWith(alarms.back().text + "\n\n")) << tip.toStdString();
    for (const char* fact : {"Сигнал: Связь потеряна, приоритет высокий\nИзменение: квитирован\n"
                             "Состояние: Норма\nПоявился: 03.12.2026 01:00:00",
                             "Пользователь: dispatcher"}) {
        EXPECT_TRUE(tip.contains(QString::fromUtf8(fact))) << tip.toStdString();
    }
    ASSERT_TRUE(form->exportTo(folder.path("сигналы.csv")));
    const QStringList lines = QString::fromUtf8(folder.read("сигналы.csv").mid(3)).split("\r\n");
    ASSERT_GE(lines.size(), 3);
    EXPECT_EQ(lines[1].section(';', 1),
              QStringLiteral("Аварийные сигналы;;;;;") + alarms.back().text);

    // The report takes the period alone: the kind chosen plays no part.
    kind->setCurrentIndex(0);
    child<QDateEdit>("DateFrom")->setDate(day);
    child<QCheckBox>("CheckFrom")->setChecked(true);
    child<QDateEdit>("DateTo")->setDate(day.addDays(1));
    child<QCheckBox>("CheckTo")->setChecked(true);
    child<QPushButton>("BtnAlarmReport")->click();
    ASSERT_TRUE(reportDone());
    auto* report = child<TFormAlarmReport>("FormAlarmReport");
    ASSERT_NE(report, nullptr);
    ASSERT_TRUE(report->isVisible());
    EXPECT_EQ(findWidget<QLabel>(report, "LabelPeriod")->text(),
              QStringLiteral("Период: с 04.12.2026 00:00:00 по 06.12.2026 00:00:00"));
    const auto rows = [report](const char* grid) {
        const QTableWidget* table = findWidget<QTableWidget>(report, grid);
        QStringList texts;
        for (int r = 0; r < table->rowCount(); ++r) {
            QStringList cells;
            for (int c = 0; c < table->columnCount(); ++c) {
                cells << table->item(r, c)->text();
            }
            texts << cells.join('|');
        }
        return texts;
    };
    const QString lastTrip = raise.addSecs(40).toString("dd.MM.yyyy HH:mm:ss");
    const QString silent = raise.addSecs(3600).toString("dd.MM.yyyy HH:mm:ss");
    EXPECT_EQ(rows("GridPerAlarm"),
              (QStringList{"1|5|ТГ-1 Северный|Защита не отвечает|низкий|1|1|" + silent,
                           "2|12|Турбогенератор Ёлочный|Реле ОТКЛЮЧЕНИЯ|высокий|5||" + lastTrip}));
    EXPECT_EQ(rows("GridMostFrequent"),
              (QStringList{"1|2|12|Турбогенератор Ёлочный|Реле ОТКЛЮЧЕНИЯ|высокий|5||" + lastTrip,
                           "2|1|5|ТГ-1 Северный|Защита не отвечает|низкий|1|1|" + silent}));
    EXPECT_EQ(rows("GridChattering"),
              (QStringList{"2|12|Турбогенератор Ёлочный|Реле ОТКЛЮЧЕНИЯ|5|5|" +
                           raise.toString("dd.MM.yyyy HH:mm:ss")}));
    // Whatever did not come back to normal stood on to the period's end, the longest first.
    EXPECT_EQ(
        rows("GridStanding"),
        (QStringList{"1|5|ТГ-1 Северный|Реле ОТКЛЮЧЕНИЯ|02.12.2026 12:00:00|не вернулся|"
                     "48 ч 00 мин",
                     "2|12|Турбогенератор Ёлочный|Реле ОТКЛЮЧЕНИЯ|" +
                         raise.toString("dd.MM.yyyy HH:mm:ss") + "|не вернулся|38 ч 00 мин",
                     "1|5|ТГ-1 Северный|Защита не отвечает|" + silent + "|не вернулся|37 ч 00 мин",
                     "Связь|||Связь потеряна|03.12.2026 01:00:00|" +
                         linkBack.toString("dd.MM.yyyy HH:mm:ss") + "|30 ч 00 мин"}));
    const auto* tabs = findWidget<QTabWidget>(report, "TabsReport");
    EXPECT_EQ(tabs->tabText(0), QStringLiteral("Сигналы по защитам и видам (2)"));
    EXPECT_EQ(tabs->tabText(3), QStringLiteral("Стоят дольше 24 ч (4)"));

    // Saved whole, in the journal export's format; a folder that is not there is told and leaves
    // nothing behind.
    ASSERT_TRUE(report->saveTo(folder.path("отчёт.csv")));
    const QByteArray bytes = folder.read("отчёт.csv");
    EXPECT_TRUE(bytes.startsWith("\xEF\xBB\xBF"));
    EXPECT_TRUE(QString::fromUtf8(bytes).contains(
        "\r\nСтоят дольше 24 ч\r\nЗащита;Адрес;Генератор;Сигнал;Появился;Вернулся в норму;"
        "В периоде\r\n1;5;ТГ-1 Северный;Реле ОТКЛЮЧЕНИЯ;02.12.2026 12:00:00;не вернулся;48 ч 00 "
        "мин\r\n"));
    const qsizetype told = messages.messages.size();
    EXPECT_FALSE(report->saveTo(folder.path("нет такой папки/отчёт.csv")));
    ASSERT_EQ(messages.messages.size(), told + 1);
    EXPECT_EQ(messages.messages.back().icon, MessageIcon::Error);
    EXPECT_FALSE(folder.exists("нет такой папки"));
    EXPECT_FALSE(report->saveTo(folder.path("journal.db")));

    // The journal window's period moved: the report follows it.
    child<QCheckBox>("CheckFrom")->setChecked(false);
    child<QDateEdit>("DateTo")->setDate(day.addDays(-1));
    child<QPushButton>("BtnAlarmReport")->click();
    ASSERT_TRUE(reportDone());
    EXPECT_EQ(findWidget<QLabel>(report, "LabelPeriod")->text(),
              QStringLiteral("Период: с первой записи по 04.12.2026 00:00:00"));
    EXPECT_EQ(rows("GridPerAlarm"),
              (QStringList{"Связь|||Связь потеряна|высокий|1||03.12.2026 01:00:00",
                           "1|5|ТГ-1 Северный|Реле ОТКЛЮЧЕНИЯ|высокий|1||02.12.2026 12:00:00"}));
    EXPECT_EQ(rows("GridStanding"),
              (QStringList{"1|5|ТГ-1 Северный|Реле ОТКЛЮЧЕНИЯ|02.12.2026 12:00:00|не вернулся|"
                           "36 ч 00 мин"}));
    EXPECT_TRUE(rows("GridChattering").isEmpty());
}

TEST_F(FormJournalTest, F9OpensTheWindowFromTheMainMenuAndRaisesItAgain) {
    WorkFolder station;
    station.addPictures();
    WindowedStation windowed(station.dir(), messages, clock,
                             QLocale(QLocale::Russian, QLocale::Russia));
    TFormMain& main = windowed.window();
    main.show();
    QApplication::setActiveWindow(&main);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&main));

    // In "Объект" after "Статистика связи", always there whatever the menu mask.
    QMenu* object = main.findChild<QMenu*>("N2");
    ASSERT_NE(object, nullptr);
    const QList<QAction*> items = object->actions();
    const qsizetype at = items.indexOf(findWidget<QAction>(&main, "NJournal"));
    ASSERT_GT(at, 0);
    EXPECT_EQ(items[at - 1], main.menuAction(MenuItem::NStatisticConnect));
    EXPECT_EQ(findWidget<QAction>(&main, "NJournal")->text(), QStringLiteral("Журнал событий"));
    EXPECT_EQ(findWidget<QAction>(&main, "NJournal")->shortcut(), QKeySequence(Qt::Key_F9));
    main.applyMenuMask(menu_masks::kTcpStarted);
    EXPECT_TRUE(findWidget<QAction>(&main, "NJournal")->isEnabled());

    QTest::keyClick(&main, Qt::Key_F9);
    TFormJournal* window = findWidget<TFormJournal>(&main, "FormJournal");
    ASSERT_TRUE(window->isVisible());
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    // The station's own start is in its journal.
    ASSERT_GE(window->model()->rowCount(), 1);
    EXPECT_EQ(window->model()->entry(0)->kind, JournalKind::StationStarted);

    // F9 again from the main window brings up the same window.
    QApplication::setActiveWindow(&main);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&main));
    QTest::keyClick(&main, Qt::Key_F9);
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    EXPECT_EQ(main.findChildren<TFormJournal*>().size(), 1);

    // Escape closes it.
    QTest::keyClick(window, Qt::Key_Escape);
    EXPECT_FALSE(window->isVisible());
    main.close();
}

}  // namespace
}  // namespace terval

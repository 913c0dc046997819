// The journal's file that cannot be written for a while, with real SQLite: another connection
// holding the write lock (as a backup or an engineer's sqlite3 would), and a full file system of
// the test's own. Nothing made in the meantime is lost, it reaches the file in its order with its
// own times, the operator is told once at each turn, and a memory that fills drops the newest and
// says how many.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <atomic>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <random>
#include <thread>

#include "journal/insulation_trend.h"
#include "journal/journal.h"
#include "support/fakes.h"
#include "support/journal_fixture.h"
#include "support/wait_until.h"

namespace terval {
namespace {

using testing::FixedClock;
using testing::RecordingMessageSink;
using testing::WorkFolder;
using namespace std::chrono_literals;

const QDateTime kStart(QDate(2026, 12, 7), QTime(10, 0));

// Another program's connection to the journal's file. The station's own copying of its log takes
// the lock for a moment now and then, which its statements wait out.
class OtherProgram : public testing::OtherConnection {
  public:
    explicit OtherProgram(const QString& path) : OtherConnection(path, 5000) {}
};

JournalRelay relay(int number) {
    return {number, static_cast<uint16_t>(number + 10), QStringLiteral("Г-%1").arg(number),
            QStringLiteral("В-%1").arg(number)};
}

// A station's journal and trend on a clock the test moves, and what was given to them.
struct Station {
    Station(const QDir& folder, JournalOptions options = {}, TrendOptions trendOptions = {})
        : folder(folder), options(options), trendOptions(trendOptions) {
        start();
    }
    void start() {
        trend.reset();
        journal = std::make_unique<Journal>(folder, clock, sink, options);
        journal->open();
        trend = std::make_unique<InsulationTrend>(*journal, trendOptions);
    }
    void stop() {
        trend.reset();
        journal.reset();
    }
    // A record of this moment; whether the journal took it.
    bool record(int n, JournalKind kind = JournalKind::RelaySilent) {
        const JournalEntry e{0,
                             clock.time.toMSecsSinceEpoch(),
                             kind,
                             kind == JournalKind::RelaySilent
                                 ? std::optional<JournalRelay>(relay(n % 32 + 1))
                                 : std::nullopt,
                             QStringLiteral("Запись %1").arg(n),
                             {}};
        const bool taken = journal->append(e);
        if (taken) {
            made.push_back(e);
        }
        return taken;
    }
    // A reading of this moment, which then moves on a millisecond: a relay gives one at a time.
    void sample(uint16_t address) {
        trend->add({address, clock.time.toMSecsSinceEpoch(),
                    static_cast<uint16_t>(1000 + samples % 500), 40});
        ++samples;
        advance(1);
    }
    void advance(qint64 ms) { clock.time = clock.time.addMSecs(ms); }

    // Every record in the file, in the order written.
    std::vector<JournalEntry> inFile() { return testing::readAllInOrder(*journal, {}, 5000); }
    qint64 samplesInFile() {
        qint64 n = 0;
        for (uint16_t a = 1; a <= 42; ++a) {
            n += static_cast<qint64>(
                trend->read(a, 0, clock.time.toMSecsSinceEpoch() + 1, TrendResolution::Raw)
                    .points.size());
        }
        return n;
    }
    // The records of the file that are not about what was lost, which must be exactly those
    // taken, in their order, with their own times.
    void expectEveryRecordTakenInOrder() {
        std::vector<JournalEntry> file;
        for (JournalEntry& e : inFile()) {
            if (e.kind != JournalKind::RecordsLost) {
                e.id = 0;
                file.push_back(e);
            }
        }
        ASSERT_EQ(file.size(), made.size());
        for (size_t i = 0; i < made.size(); ++i) {
            ASSERT_EQ(file[i], made[i]) << "record " << i;
        }
    }

    QDir folder;
    JournalOptions options;
    TrendOptions trendOptions;
    FixedClock clock{kStart};
    RecordingMessageSink sink;
    std::unique_ptr<Journal> journal;
    std::unique_ptr<InsulationTrend> trend;
    std::vector<JournalEntry> made;
    qint64 samples = 0;
};

TEST(JournalOutage, ALockOfThirtySecondsLosesNoRecordAndTheyArriveInTheirOrder) {
    WorkFolder folder;
    Station s(folder.dir());
    ASSERT_TRUE(s.journal->isWriting()) << s.journal->problem().toStdString();
    const QString path = s.journal->filePath();

    // A lock shorter than the wait for it is waited out: nothing held, nothing said. The other
    // program lets go once the record has waited 150 ms for it.
    {
        std::atomic<bool> locked{false};
        std::atomic<bool> recording{false};
        QElapsedTimer waited;
        std::thread holder([&] {
            OtherProgram other(path);
            const bool held = other.lock();
            locked = true;
            if (held) {
                testing::waitUntil([&] { return recording.load(); }, 10s);
                testing::waitUntil([&] { return waited.elapsed() >= 150; }, 10s);
                other.unlock();
            }
        });
        ASSERT_TRUE(testing::waitUntil([&] { return locked.load(); }, 10s));
        waited.start();
        recording = true;
        EXPECT_TRUE(s.record(0));
        EXPECT_GE(waited.elapsed(), 150) << "the record did not wait for the lock";
        holder.join();
        EXPECT_FALSE(s.journal->isHolding());
        EXPECT_TRUE(s.sink.messages.isEmpty()) << s.sink.texts().join('\n').toStdString();
    }

    // Thirty seconds of a lock, a record every 100 ms, every relay's reading every 6.4 s and a
    // retry each second as the station's timer gives it.
    OtherProgram other(path);
    ASSERT_TRUE(other.lock());
    QElapsedTimer wall;
    wall.start();
    qint64 longestCallMs = 0;
    for (int i = 1; i <= 300; ++i) {
        s.advance(100);
        QElapsedTimer call;
        call.start();
        EXPECT_TRUE(s.record(i));
        if (i % 64 == 0) {
            for (uint16_t a = 1; a <= 32; ++a) {
                s.sample(a);
            }
        }
        if (i % 10 == 0) {
            s.journal->retry();
        }
        longestCallMs = std::max<qint64>(longestCallMs, call.elapsed());
    }
    EXPECT_FALSE(s.trend->flush()) << "the samples wait with the records";
    std::cout << "30 s of lock: " << wall.elapsed() << " ms of wall time, the longest call "
              << longestCallMs << " ms\n";
    EXPECT_TRUE(s.journal->isHolding());
    EXPECT_FALSE(s.journal->isWriting());
    EXPECT_EQ(s.journal->heldRecords(), 300u);
    EXPECT_EQ(s.trend->pending(), 4u * 32u);
    ASSERT_EQ(s.sink.messages.size(), 1);
    EXPECT_EQ(s.sink.messages[0].icon, MessageIcon::Error);
    EXPECT_TRUE(s.sink.messages[0].text.startsWith(
        QStringLiteral("Не удалось записать в журнал событий journal.db: файл занят другой "
                       "программой.\nЗаписи ждут в памяти")))
        << s.sink.messages[0].text.toStdString();

    // The lock ends: the next attempt writes everything, in order, and says so once.
    ASSERT_TRUE(other.unlock());
    s.advance(30000);
    EXPECT_TRUE(s.journal->retry());
    EXPECT_TRUE(s.journal->isWriting());
    EXPECT_TRUE(s.trend->flush());
    EXPECT_TRUE(s.record(301));
    ASSERT_EQ(s.sink.messages.size(), 2);
    EXPECT_EQ(s.sink.messages[1].icon, MessageIcon::Information);
    EXPECT_EQ(s.sink.messages[1].text,
              QStringLiteral("Журнал событий journal.db снова записывается. Записано записей, "
                             "ждавших в памяти: 300."));
    s.expectEveryRecordTakenInOrder();
    EXPECT_EQ(s.samplesInFile(), s.samples);
    EXPECT_EQ(s.journal->lostRecords(), 0);
    EXPECT_EQ(s.trend->lostSamples(), 0);

    // A lock that ends just before the station does: the stop record, held behind a record that
    // failed, reaches the file at the close without waiting for the next attempt.
    ASSERT_TRUE(other.lock());
    s.advance(1000);
    EXPECT_TRUE(s.record(302));
    EXPECT_TRUE(s.journal->isHolding());
    ASSERT_TRUE(other.unlock());
    EXPECT_TRUE(s.record(303, JournalKind::StationStopped));
    EXPECT_EQ(s.journal->heldRecords(), 2u);
    s.stop();
    s.start();
    s.expectEveryRecordTakenInOrder();
    EXPECT_EQ(s.inFile().back().kind, JournalKind::StationStopped);
}

// A station started while another program holds the file: it opens, and what it records waits.
TEST(JournalOutage, AStartDuringALockOpensTheJournalAndItsRecordsWait) {
    WorkFolder folder;
    {
        Station first(folder.dir());
        ASSERT_TRUE(first.record(0));
    }
    JournalOptions options;
    options.keepMonths = 1;  // a trim to do, which the lock refuses
    const QString path = folder.path(QStringLiteral("journal.db"));
    OtherProgram other(path);
    ASSERT_TRUE(other.lock());
    Station s(folder.dir(), options);
    EXPECT_TRUE(s.journal->takesRecords()) << s.journal->problem().toStdString();
    EXPECT_TRUE(s.record(1, JournalKind::StationStarted));
    EXPECT_TRUE(s.journal->isHolding());
    ASSERT_EQ(s.sink.messages.size(), 1);
    EXPECT_TRUE(s.sink.messages[0].text.contains(QStringLiteral("файл занят другой программой")))
        << s.sink.messages[0].text.toStdString();
    ASSERT_TRUE(other.unlock());
    s.advance(1000);
    EXPECT_TRUE(s.record(2));
    EXPECT_TRUE(s.journal->isWriting());
    EXPECT_EQ(s.inFile().size(), 3u);
}

// A small file system of the test's own that can be filled to the last byte.
class JournalOutageOnItsOwnDisk : public ::testing::Test {
  protected:
    void mount(int kilobytes) {
        disk = std::make_unique<testing::SmallDisk>(folder.dir(), kilobytes);
        if (!disk->unavailable().isEmpty()) {
            GTEST_SKIP() << qPrintable(disk->unavailable());
        }
    }
    void TearDown() override {
        station.reset();
        disk.reset();
    }
    void fill() { disk->fill(); }
    void makeRoom() { ASSERT_TRUE(QFile::remove(folder.path(QStringLiteral("filler")))); }

    WorkFolder folder;
    std::unique_ptr<testing::SmallDisk> disk;
    std::unique_ptr<Station> station;
};

TEST_F(JournalOutageOnItsOwnDisk, SeventySecondsOfAFullDiskLoseNoRecord) {
    mount(1024);
    station = std::make_unique<Station>(folder.dir());
    Station& s = *station;
    ASSERT_TRUE(s.journal->isWriting());
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(s.record(i));
    }
    fill();
    // Until the log has no page left, then 70 s more: 252 records, readings of 32 relays.
    int i = 10;
    for (; i < 20000 && !s.journal->isHolding(); ++i) {
        s.advance(10);
        ASSERT_TRUE(s.record(i));
    }
    ASSERT_TRUE(s.journal->isHolding()) << "the disk never ran out";
    for (int step = 0; step < 252; ++step, ++i) {
        s.advance(70000 / 252);
        EXPECT_TRUE(s.record(i));
        if (step % 23 == 0) {
            for (uint16_t a = 1; a <= 32; ++a) {
                s.sample(a);
            }
        }
        if (step % 4 == 0) {
            s.journal->retry();
        }
        if (step % 216 == 0) {
            EXPECT_FALSE(s.trend->flush());
        }
    }
    EXPECT_TRUE(s.journal->isHolding());
    ASSERT_EQ(s.sink.messages.size(), 1);
    EXPECT_TRUE(s.sink.messages[0].text.startsWith(
        QStringLiteral("Не удалось записать в журнал событий journal.db: на диске нет места.\n"
                       "Записи ждут в памяти")))
        << s.sink.messages[0].text.toStdString();

    makeRoom();
    s.advance(30000);
    EXPECT_TRUE(s.trend->flush()) << "the flush tries the journal's records first";
    EXPECT_TRUE(s.journal->isWriting());
    EXPECT_TRUE(s.record(i, JournalKind::StationStopped));
    ASSERT_EQ(s.sink.messages.size(), 2) << s.sink.texts().join('\n').toStdString();
    EXPECT_EQ(s.sink.messages[1].icon, MessageIcon::Information);
    s.expectEveryRecordTakenInOrder();
    EXPECT_EQ(s.samplesInFile(), s.samples);
    EXPECT_EQ(s.journal->lostRecords(), 0);
    EXPECT_EQ(s.trend->lostSamples(), 0);
    // And after a start again.
    s.stop();
    s.start();
    s.expectEveryRecordTakenInOrder();
    EXPECT_EQ(s.samplesInFile(), s.samples);
}

// Locks and a full disk that come and go at random while records, batches and readings arrive,
// with a memory small enough to fill. Whatever happens: a record is dropped only when the memory
// is full, every record taken is in the file in its order with its time, the file says how many
// were dropped, every reading is written unless dropped, and each outage is told once when it
// begins, once when the memory fills, and once when it ends.
TEST_F(JournalOutageOnItsOwnDisk, RandomOutagesLoseOnlyWhatTheFullMemoryDropsAndSaySo) {
    mount(32768);
    const char* seedText = std::getenv("TERVAL_SEED");
    const unsigned seed = seedText ? static_cast<unsigned>(std::strtoul(seedText, nullptr, 10))
                                   : std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed) + " (TERVAL_SEED repeats it)");
    std::mt19937 random(seed);
    const auto chance = [&](int percent) {
        return std::uniform_int_distribution<int>(0, 99)(random) < percent;
    };
    JournalOptions options;
    options.heldLimit = 60;
    options.busyTimeoutMs = 20;  // the steps do not need to wait out a real lock
    TrendOptions trendOptions;
    trendOptions.pendingLimit = 400;
    station = std::make_unique<Station>(folder.dir(), options, trendOptions);
    Station& s = *station;
    ASSERT_TRUE(s.journal->isWriting());
    OtherProgram other(s.journal->filePath());

    bool locked = false;
    bool full = false;
    bool wasHolding = false;
    int outages = 0;
    qint64 dropped = 0;
    qint64 droppedSamples = 0;
    int n = 0;
    for (int step = 0; step < 3000; ++step) {
        if (chance(2)) {
            locked = !locked;
            ASSERT_TRUE(locked ? other.lock() : other.unlock());
        }
        if (chance(1)) {
            full = !full;
            if (full) {
                fill();
            } else {
                makeRoom();
            }
        }
        s.advance(std::uniform_int_distribution<int>(0, 1500)(random));
        const int burst = chance(10) ? std::uniform_int_distribution<int>(2, 40)(random) : 1;
        {
            std::optional<JournalBatch> batch;
            if (burst > 1) {
                batch.emplace(*s.journal);
            }
            for (int k = 0; k < burst; ++k) {
                if (!s.record(n++)) {
                    ++dropped;
                    ASSERT_EQ(s.journal->heldRecords(), static_cast<size_t>(options.heldLimit))
                        << "a record dropped with room in memory, step " << step;
                }
            }
        }
        const qint64 samplesLostBefore = s.trend->lostSamples();
        for (int k = std::uniform_int_distribution<int>(0, 8)(random); k > 0; --k) {
            s.sample(static_cast<uint16_t>(std::uniform_int_distribution<int>(1, 42)(random)));
        }
        droppedSamples += s.trend->lostSamples() - samplesLostBefore;
        if (chance(10)) {
            s.trend->flush();
        }
        if (chance(30)) {
            s.journal->retry();
        }
        ASSERT_TRUE(s.journal->takesRecords()) << "a passing fault ended the journal";
        ASSERT_LE(s.journal->heldRecords(), static_cast<size_t>(options.heldLimit));
        ASSERT_LE(s.trend->pending(), static_cast<size_t>(trendOptions.pendingLimit));
        if (s.journal->isHolding() && !wasHolding) {
            ++outages;
        }
        wasHolding = s.journal->isHolding();
    }
    if (locked) {
        ASSERT_TRUE(other.unlock());
    }
    if (full) {
        makeRoom();
    }
    EXPECT_TRUE(s.journal->retry(true)) << s.journal->problem().toStdString();
    EXPECT_TRUE(s.trend->flush()) << s.journal->problem().toStdString();
    ASSERT_GT(outages, 3) << "too few outages to tell anything";
    std::cout << "seed " << seed << ": " << n << " records, " << outages << " outages, " << dropped
              << " records and " << droppedSamples << " readings dropped\n";

    s.expectEveryRecordTakenInOrder();
    EXPECT_EQ(s.journal->lostRecords(), dropped);
    EXPECT_EQ(s.trend->lostSamples(), droppedSamples);
    EXPECT_EQ(s.samplesInFile(), s.samples - droppedSamples);
    // The file's own count of what was dropped adds up to what was.
    qint64 told = 0;
    qint64 toldSamples = 0;
    for (const JournalEntry& e : s.inFile()) {
        if (e.kind == JournalKind::RecordsLost) {
            const QRegularExpressionMatch records =
                QRegularExpression(QStringLiteral("записей журнала — (\\d+)")).match(e.text);
            const QRegularExpressionMatch readings =
                QRegularExpression(QStringLiteral("показаний изоляции — (\\d+)")).match(e.text);
            told += records.hasMatch() ? records.captured(1).toLongLong() : 0;
            toldSamples += readings.hasMatch() ? readings.captured(1).toLongLong() : 0;
        }
    }
    EXPECT_EQ(told, dropped);
    EXPECT_EQ(toldSamples, droppedSamples);

    // Told once at each turn: a start, then at most one word of each full memory, then an end.
    int open = 0;
    int fullRecords = 0;
    int fullSamples = 0;
    int begun = 0;
    for (const testing::Message& m : s.sink.messages) {
        if (m.text.startsWith(QStringLiteral("Не удалось записать"))) {
            ASSERT_EQ(open, 0) << m.text.toStdString();
            open = 1;
            ++begun;
            fullRecords = fullSamples = 0;
        } else if (m.text.startsWith(QStringLiteral("Записей, ждущих записи"))) {
            ASSERT_EQ(open, 1);
            ASSERT_EQ(++fullRecords, 1);
        } else if (m.text.startsWith(QStringLiteral("Показаний изоляции, ждущих записи"))) {
            ASSERT_EQ(open, 1);
            ASSERT_EQ(++fullSamples, 1);
        } else if (m.text.contains(QStringLiteral("снова записывается"))) {
            ASSERT_EQ(open, 1);
            EXPECT_EQ(m.icon, MessageIcon::Information);
            open = 0;
        } else {
            ADD_FAILURE() << "unexpected message: " << m.text.toStdString();
        }
    }
    EXPECT_EQ(open, 0);
    // The steps see every outage that lasts past one of them; one that ends and comes back within
    // a step (a retry that writes what waited, then a record that meets the fault again) is two
    // turns to the operator and one to the steps, so the words can only be more.
    EXPECT_GE(begun, outages);
}

}  // namespace
}  // namespace terval

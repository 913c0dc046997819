// "terval --export-journal": dates as operators type them, the journal read without being changed,
// the records of the asked time in the file, none of the station's own files ever a target, a
// write that fails a failure, and a journal not of this layout refused and left as it was.
#include "app/journal_export.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <functional>
#include <map>

#include "journal/journal.h"
#include "journal/journal_schema.h"
#include "support/fakes.h"

namespace terval {
namespace {

using testing::FixedClock;
using testing::RecordingMessageSink;
using testing::WorkFolder;

TEST(JournalExport, DatesAsOperatorsTypeThem) {
    const QDateTime day(QDate(2026, 12, 7), QTime(0, 0));
    const struct {
        const char* text;
        bool endOfDay;
        QDateTime expected;  // invalid: refused
    } cases[] = {
        {"07.12.2026", false, day},
        {"07.12.2026", true, day.addDays(1)},
        {" 07.12.2026 14:30 ", true, day.addSecs(14 * 3600 + 30 * 60)},
        {"07.12.2026 14:30:15", false, day.addSecs(14 * 3600 + 30 * 60 + 15)},
        {"2026-12-07", false, day},
        {"2026-12-07T14:30", false, day.addSecs(14 * 3600 + 30 * 60)},
        {"31.02.2026", false, {}},
        {"07.12.26", false, {}},
        {"вчера", false, {}},
        {"", false, {}},
    };
    for (const auto& c : cases) {
        const std::optional<QDateTime> parsed =
            parseExportDate(QString::fromUtf8(c.text), c.endOfDay);
        if (c.expected.isValid()) {
            ASSERT_TRUE(parsed) << c.text;
            EXPECT_EQ(*parsed, c.expected) << c.text;
        } else {
            EXPECT_FALSE(parsed) << c.text;
        }
    }
    EXPECT_TRUE(journalExportRequest(QString(), {}, {}).error.startsWith("Не указан файл"));
    EXPECT_TRUE(journalExportRequest("j.csv", "08.12.2026", "07.12.2026")
                    .error.startsWith(QStringLiteral("Начало выгрузки")));
    EXPECT_TRUE(journalExportRequest("j.csv", "07.12.2026", "07.12.2026").request)
        << "a single day: from its start to the start of the next";
    EXPECT_TRUE(journalExportRequest("j.csv", "7 декабря", {}).error.contains("--from"));
}

TEST(JournalExport, TheAskedTimeGoesToTheFileAndTheJournalStaysAsItWas) {
    WorkFolder folder;
    FixedClock clock(QDateTime(QDate(2026, 12, 7), QTime(12, 0)));
    RecordingMessageSink messages;
    const JournalExportRequest everything{folder.path("all.csv"), {}, {}};
    EXPECT_EQ(exportJournal(folder.dir(), everything, clock).exitCode, 1);
    EXPECT_FALSE(folder.exists("journal.db")) << "a reader creates no journal";

    {
        Journal journal(folder.dir(), clock, messages);
        ASSERT_TRUE(journal.open());
        // Ten years back: past the age the station keeps, which an export must not trim.
        const QDateTime times[] = {clock.time.addYears(-10), clock.time.addDays(-1),
                                   clock.time.addSecs(-60), clock.time};
        for (const QDateTime& t : times) {
            JournalEntry e;
            e.timeMs = t.toMSecsSinceEpoch();
            e.kind = JournalKind::StationStarted;
            e.text = QStringLiteral("Станция запущена %1").arg(t.toString("dd.MM.yyyy"));
            ASSERT_TRUE(journal.append(e));
        }
    }
    const QByteArray before = folder.read("journal.db");

    const JournalExportResult all = exportJournal(folder.dir(), everything, clock);
    EXPECT_EQ(all.exitCode, 0) << qPrintable(all.message);
    EXPECT_TRUE(all.message.startsWith(QStringLiteral("Записей выгружено: 4")))
        << qPrintable(all.message);
    const QList<QByteArray> lines = folder.read("all.csv").split('\n');
    EXPECT_EQ(lines.size(), 6);  // header, four records, nothing after the last line end
    EXPECT_TRUE(lines[1].contains("07.12.2026 12:00:00"));  // newest first
    EXPECT_TRUE(lines[4].contains("07.12.2016"));

    const JournalExportParse today =
        journalExportRequest(folder.path("today.csv"), "07.12.2026", "07.12.2026");
    ASSERT_TRUE(today.request);
    const JournalExportResult part = exportJournal(folder.dir(), *today.request, clock);
    EXPECT_TRUE(part.message.startsWith(QStringLiteral("Записей выгружено: 2")))
        << qPrintable(part.message);

    EXPECT_EQ(folder.read("journal.db"), before);
    const JournalExportResult nowhere =
        exportJournal(folder.dir(), {folder.path("no-such-folder/j.csv"), {}, {}}, clock);
    EXPECT_EQ(nowhere.exitCode, 1);
    EXPECT_FALSE(nowhere.message.isEmpty());
}

// Every file of the folder with its bytes and modification time, to be compared after.
std::map<QString, std::pair<QByteArray, QDateTime>> snapshot(const QDir& dir) {
    std::map<QString, std::pair<QByteArray, QDateTime>> files;
    for (const QFileInfo& info : dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::System)) {
        if (info.isSymLink()) {
            files[info.fileName()] = {QFile::encodeName(info.symLinkTarget()), {}};
            continue;
        }
        QFile file(info.absoluteFilePath());
        EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << info.fileName().toStdString();
        files[info.fileName()] = {file.readAll(), info.lastModified()};
    }
    return files;
}

void writeRecords(const QDir& dir, const Clock& clock, int n) {
    RecordingMessageSink messages;
    Journal journal(dir, clock, messages);
    ASSERT_TRUE(journal.open());
    for (int i = 0; i < n; ++i) {
        ASSERT_TRUE(journal.append(JournalKind::StationStarted, std::nullopt,
                                   QStringLiteral("Станция запущена %1").arg(i)));
    }
}

// A second connection of another program, with SQL of the test's own.
void runSql(const QString& path, const QStringList& statements) {
    const QString name = QStringLiteral("export-test-raw");
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        ASSERT_TRUE(db.open());
        QSqlQuery query(db);
        for (const QString& sql : statements) {
            ASSERT_TRUE(query.exec(sql))
                << sql.toStdString() << ": " << query.lastError().text().toStdString();
        }
    }
    QSqlDatabase::removeDatabase(name);
}

TEST(JournalExport, NoStationFileIsEverATargetByNameLinkOrFolder) {
    WorkFolder folder;
    FixedClock clock(QDateTime(QDate(2026, 12, 7), QTime(12, 0)));
    writeRecords(folder.dir(), clock, 23);
    for (const char* name :
         {"gen.dat", "param.dat", "config.cfg", "terval.ini", "Bitmap1.bmp", "Bitmap2.bmp",
          "Bitmap3.bmp", "Bitmap4.bmp", "journal.db.broken-20261201-101010"}) {
        folder.write(QString::fromLatin1(name), QByteArray("bytes of ") + name);
    }
    QDir(folder.dir()).mkdir(QStringLiteral("sub"));
    const QString dir = folder.dir().absolutePath();
    ASSERT_TRUE(QFile::link(dir + "/gen.dat", dir + "/sub/gen-link.csv"));
    ASSERT_TRUE(QFile::link(dir + "/journal.db-wal", dir + "/sub/dangling.csv"));
    ASSERT_TRUE(QFile::link(dir, dir + "/sub/alias"));
    ASSERT_EQ(::link(QFile::encodeName(dir + "/config.cfg").constData(),
                     QFile::encodeName(dir + "/sub/hard.csv").constData()),
              0);
    const auto before = snapshot(folder.dir());
    const auto beforeSub = snapshot(QDir(dir + "/sub"));

    const char* targets[] = {
        "journal.db",
        "journal.db-wal",
        "journal.db-shm",
        "journal.db-journal",
        "gen.dat",
        "param.dat",
        "config.cfg",
        "terval.ini",
        "Bitmap1.bmp",
        "Bitmap4.bmp",
        "sub/../gen.dat",
        "sub/alias/journal.db",
        "sub/gen-link.csv",
        "sub/dangling.csv",
        "sub/hard.csv",
        "sub/alias/param.dat",
        "journal.db.broken-20261201-101010",
    };
    for (const char* target : targets) {
        const JournalExportResult result =
            exportJournal(folder.dir(), {dir + "/" + target, {}, {}}, clock);
        EXPECT_EQ(result.exitCode, 2) << target << ": " << qPrintable(result.message);
        EXPECT_TRUE(result.message.contains(QStringLiteral("файл станции")))
            << target << ": " << qPrintable(result.message);
    }
    // A relative name is the shell's, from where the command is given.
    const QString here = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir + "/sub"));
    const JournalExportResult relative =
        exportJournal(folder.dir(), {"../journal.db", {}, {}}, clock);
    const JournalExportResult beside = exportJournal(folder.dir(), {"journal.csv", {}, {}}, clock);
    ASSERT_TRUE(QDir::setCurrent(here));
    EXPECT_EQ(relative.exitCode, 2) << qPrintable(relative.message);
    EXPECT_EQ(beside.exitCode, 0) << qPrintable(beside.message);
    EXPECT_TRUE(beside.message.startsWith(QStringLiteral("Записей выгружено: 23")));

    EXPECT_EQ(snapshot(folder.dir()), before);
    auto afterSub = snapshot(QDir(dir + "/sub"));
    EXPECT_EQ(afterSub.erase(QStringLiteral("journal.csv")), 1u);
    EXPECT_EQ(afterSub, beforeSub);
}

TEST(JournalExport, AWriteThatFailsIsAFailureWithItsReason) {
    WorkFolder folder;
    FixedClock clock(QDateTime(QDate(2026, 12, 7), QTime(12, 0)));
    writeRecords(folder.dir(), clock, 23);
    if (QFileInfo::exists(QStringLiteral("/dev/full"))) {
        const JournalExportResult full =
            exportJournal(folder.dir(), {QStringLiteral("/dev/full"), {}, {}}, clock);
        EXPECT_EQ(full.exitCode, 1) << qPrintable(full.message);
        EXPECT_TRUE(full.message.contains(QStringLiteral("на диске нет места")))
            << qPrintable(full.message);
        struct stat st {};
        ASSERT_EQ(::stat("/dev/full", &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode)) << "the device is still a device";
    }
    if (QFileInfo::exists(QStringLiteral("/dev/null"))) {
        EXPECT_EQ(
            exportJournal(folder.dir(), {QStringLiteral("/dev/null"), {}, {}}, clock).exitCode, 0);
    }
    // A file already there stays as it was when the new one cannot be made.
    folder.write(QStringLiteral("old.csv"), "old");
    const JournalExportResult nowhere =
        exportJournal(folder.dir(), {folder.path("no-such-folder/j.csv"), {}, {}}, clock);
    EXPECT_EQ(nowhere.exitCode, 1);
    EXPECT_TRUE(nowhere.message.contains(QStringLiteral("папки"))) << qPrintable(nowhere.message);
}

// A journal that is not exactly this program's (damaged, another program's, an older or a newer
// layout, an empty file) is refused with why, and nothing of the folder changes: no new journal,
// none set aside, no layout brought up to date, no write-ahead mode.
TEST(JournalExport, AJournalNotOfThisLayoutIsRefusedAndLeftAsItWas) {
    FixedClock clock(QDateTime(QDate(2026, 12, 7), QTime(12, 0)));
    const auto kind = [&](const char* what) -> std::function<void(WorkFolder&)> {
        const QString w = QString::fromLatin1(what);
        return [w, &clock](WorkFolder& folder) {
            const QString path = folder.path(QStringLiteral("journal.db"));
            if (w == "damaged") {
                writeRecords(folder.dir(), clock, 300);
                QByteArray bytes = folder.read(QStringLiteral("journal.db"));
                for (qsizetype i = 4096; i < bytes.size(); i += 7) {
                    bytes[i] = static_cast<char>(bytes[i] ^ 0x5A);
                }
                folder.write(QStringLiteral("journal.db"), bytes);
            } else if (w == "garbage") {
                folder.write(QStringLiteral("journal.db"), QByteArray(8192, 'x'));
            } else if (w == "empty") {
                folder.write(QStringLiteral("journal.db"), QByteArray());
            } else if (w == "other") {
                runSql(path, {QStringLiteral("CREATE TABLE t (x)"),
                              QStringLiteral("INSERT INTO t VALUES (1)")});
            } else if (w == "older") {
                const QString name = QStringLiteral("export-test-v1");
                {
                    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
                    db.setDatabaseName(path);
                    ASSERT_TRUE(db.open());
                    ASSERT_FALSE(migrateJournal(db, 0, 1));
                }
                QSqlDatabase::removeDatabase(name);
            } else if (w == "newer") {
                writeRecords(folder.dir(), clock, 2);
                runSql(path, {QStringLiteral("UPDATE schema_version SET version = %1")
                                  .arg(kJournalSchemaVersion + 1)});
            }
        };
    };
    const struct {
        const char* what;
        const char* says;
    } cases[] = {
        {"damaged", "повреждён"},          {"garbage", "повреждён"},
        {"empty", "пустая база данных"},   {"other", "другая база данных"},
        {"older", "более старой версией"}, {"newer", "более новой версией"},
    };
    for (const auto& c : cases) {
        WorkFolder folder;
        kind(c.what)(folder);
        const auto before = snapshot(folder.dir());
        ASSERT_TRUE(before.count(QStringLiteral("journal.db"))) << c.what;
        const JournalExportResult result =
            exportJournal(folder.dir(), {folder.path(QStringLiteral("out.csv")), {}, {}}, clock);
        EXPECT_EQ(result.exitCode, 1) << c.what << ": " << qPrintable(result.message);
        EXPECT_TRUE(result.message.contains(QString::fromUtf8(c.says)))
            << c.what << ": " << qPrintable(result.message);
        EXPECT_TRUE(result.message.contains(QStringLiteral("оставлен без изменений")))
            << c.what << ": " << qPrintable(result.message);
        EXPECT_EQ(snapshot(folder.dir()), before) << c.what;
    }
}

// The journal of a running station, whose newest records are still in its write-ahead log, read
// where the station runs and, copied as it stood, from a folder no one may write.
TEST(JournalExport, ARunningStationsLogIsReadAlsoWhereNothingMayBeWritten) {
    WorkFolder folder;
    FixedClock clock(QDateTime(QDate(2026, 12, 7), QTime(12, 0)));
    RecordingMessageSink messages;
    Journal station(folder.dir(), clock, messages);
    ASSERT_TRUE(station.open());
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(station.append(JournalKind::StationStarted, std::nullopt, QStringLiteral("A")));
    }
    // A reader's snapshot keeps the log from being copied into the file past it.
    const QString name = QStringLiteral("export-test-reader");
    {
        QSqlDatabase reader = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        reader.setDatabaseName(folder.path(QStringLiteral("journal.db")));
        ASSERT_TRUE(reader.open());
        QSqlQuery hold(reader);
        ASSERT_TRUE(hold.exec(QStringLiteral("BEGIN")));
        ASSERT_TRUE(hold.exec(QStringLiteral("SELECT count(*) FROM entries")) && hold.next());
        for (int i = 0; i < 18; ++i) {
            ASSERT_TRUE(
                station.append(JournalKind::StationStopped, std::nullopt, QStringLiteral("B")));
        }
        ASSERT_TRUE(folder.exists(QStringLiteral("journal.db-wal")));
        const auto before = snapshot(folder.dir());

        WorkFolder elsewhere;
        const JournalExportResult live = exportJournal(
            folder.dir(), {elsewhere.path(QStringLiteral("live.csv")), {}, {}}, clock);
        EXPECT_EQ(live.exitCode, 0) << qPrintable(live.message);
        EXPECT_TRUE(live.message.startsWith(QStringLiteral("Записей выгружено: 23")))
            << qPrintable(live.message);
        const auto after = snapshot(folder.dir());
        EXPECT_EQ(after.at(QStringLiteral("journal.db")), before.at(QStringLiteral("journal.db")));
        EXPECT_EQ(after.at(QStringLiteral("journal.db-wal")),
                  before.at(QStringLiteral("journal.db-wal")));

        // The station's files as they stood, on a disk of their own made read-only.
        WorkFolder copy;
        testing::SmallDisk disk(copy.dir(), 2048);
        if (!disk.unavailable().isEmpty()) {
            GTEST_SKIP() << qPrintable(disk.unavailable());
        }
        for (const char* file : {"journal.db", "journal.db-wal", "journal.db-shm"}) {
            ASSERT_TRUE(QFile::copy(folder.path(QString::fromLatin1(file)),
                                    copy.path(QString::fromLatin1(file))))
                << file;
        }
        hold.finish();
        ASSERT_TRUE(disk.makeReadOnly());
        const auto copied = snapshot(copy.dir());
        const QString out = elsewhere.path(QStringLiteral("read-only.csv"));
        const JournalExportResult readOnly = exportJournal(copy.dir(), {out, {}, {}}, clock);
        EXPECT_EQ(readOnly.exitCode, 0) << qPrintable(readOnly.message);
        EXPECT_TRUE(readOnly.message.startsWith(QStringLiteral("Записей выгружено: 23")))
            << qPrintable(readOnly.message);
        EXPECT_EQ(snapshot(copy.dir()), copied);
    }
    QSqlDatabase::removeDatabase(name);
}

}  // namespace
}  // namespace terval

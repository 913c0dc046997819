// "terval --export-journal": dates as operators type them, the journal read without being changed,
// and the records of the asked time in the file.
#include "app/journal_export.h"

#include <gtest/gtest.h>

#include "journal/journal.h"
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

}  // namespace
}  // namespace terval

// The station's own program asked for the journal from a shell with no display at all: it must
// not try to open a window.
#include <gtest/gtest.h>

#include <QFileInfo>
#include <QProcess>

#include "journal/journal.h"
#include "support/fakes.h"

namespace terval {
namespace {

using testing::FixedClock;
using testing::RecordingMessageSink;
using testing::WorkFolder;

QProcess::ProcessState runIn(QProcess& program, const WorkFolder& folder,
                             const QStringList& arguments) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    program.setProcessEnvironment(env);
    program.setWorkingDirectory(folder.dir().path());
    program.start(QStringLiteral(TERVAL_PROGRAM), arguments);
    program.waitForFinished(30000);
    return program.state();
}

TEST(JournalExportProgram, WritesTheFileWithoutADisplay) {
    WorkFolder folder;
    FixedClock clock(QDateTime(QDate(2026, 12, 7), QTime(9, 15)));
    RecordingMessageSink messages;
    {
        Journal journal(folder.dir(), clock, messages);
        ASSERT_TRUE(journal.open());
        ASSERT_TRUE(journal.append(JournalKind::StationStarted, std::nullopt,
                                   QStringLiteral("Станция запущена")));
    }

    QProcess program;
    ASSERT_EQ(runIn(program, folder, {"--export-journal", "journal.csv", "--from", "07.12.2026"}),
              QProcess::NotRunning);
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0) << program.readAllStandardError().toStdString();
    EXPECT_TRUE(program.readAllStandardOutput().contains("1"));
    EXPECT_TRUE(folder.read("journal.csv").contains("Станция запущена"));

    QProcess refused;
    ASSERT_EQ(runIn(refused, folder, {"--export-journal", "x.csv", "--to", "завтра"}),
              QProcess::NotRunning);
    EXPECT_EQ(refused.exitCode(), 2);
    EXPECT_TRUE(QString::fromUtf8(refused.readAllStandardError()).contains("--to"));
    EXPECT_FALSE(folder.exists("x.csv"));
}

// What the shell sees for a target that must not be written, a write that fails and a journal
// that cannot be read: the exit code, the reason on standard error, and the folder as it was.
TEST(JournalExportProgram, RefusesAndFailsWithAReasonAndAnExitCode) {
    WorkFolder folder;
    FixedClock clock(QDateTime(QDate(2026, 12, 7), QTime(9, 15)));
    RecordingMessageSink messages;
    {
        Journal journal(folder.dir(), clock, messages);
        ASSERT_TRUE(journal.open());
        for (int i = 0; i < 23; ++i) {
            ASSERT_TRUE(journal.append(JournalKind::StationStarted, std::nullopt,
                                       QStringLiteral("Станция запущена")));
        }
    }
    folder.write(QStringLiteral("gen.dat"), QByteArray(56, '\x01'));
    folder.write(QStringLiteral("config.cfg"), "config");
    const auto files = [&] {
        QStringList all;
        for (const QFileInfo& f : folder.dir().entryInfoList(QDir::Files, QDir::Name)) {
            all << f.fileName() + QLatin1Char(' ') + QString::number(f.size()) + QLatin1Char(' ') +
                       f.lastModified().toString(Qt::ISODateWithMs);
        }
        return all;
    };
    const QStringList before = files();
    const QByteArray journalBytes = folder.read(QStringLiteral("journal.db"));
    const struct {
        const char* target;
        int exitCode;
        const char* says;
    } cases[] = {
        {"journal.db", 2, "файл станции"},      {"journal.db-wal", 2, "файл станции"},
        {"gen.dat", 2, "файл станции"},         {"./config.cfg", 2, "файл станции"},
        {"/dev/full", 1, "на диске нет места"},
    };
    for (const auto& c : cases) {
        if (QString::fromLatin1(c.target).startsWith('/') &&
            !QFileInfo::exists(QString::fromLatin1(c.target))) {
            continue;
        }
        QProcess program;
        ASSERT_EQ(runIn(program, folder, {"--export-journal", c.target}), QProcess::NotRunning);
        EXPECT_EQ(program.exitCode(), c.exitCode) << c.target;
        const QString err = QString::fromUtf8(program.readAllStandardError());
        EXPECT_TRUE(err.contains(QString::fromUtf8(c.says))) << c.target << ": " << qPrintable(err);
        EXPECT_TRUE(program.readAllStandardOutput().isEmpty()) << c.target;
    }
    EXPECT_EQ(files(), before);
    EXPECT_EQ(folder.read(QStringLiteral("journal.db")), journalBytes);

    // A damaged journal: refused, and neither set aside nor replaced.
    QByteArray damaged = journalBytes;
    damaged.replace(0, 16, QByteArray(16, 'x'));
    folder.write(QStringLiteral("journal.db"), damaged);
    const QStringList damagedBefore = files();
    QProcess program;
    ASSERT_EQ(runIn(program, folder, {"--export-journal", "out.csv"}), QProcess::NotRunning);
    EXPECT_EQ(program.exitCode(), 1);
    EXPECT_TRUE(QString::fromUtf8(program.readAllStandardError()).contains("повреждён"));
    EXPECT_EQ(files(), damagedBefore);
    EXPECT_EQ(folder.read(QStringLiteral("journal.db")), damaged);
}

}  // namespace
}  // namespace terval

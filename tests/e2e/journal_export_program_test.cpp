// The station's own program asked for the journal from a shell with no display at all: it must
// not try to open a window.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace terval

// Replacing a stored file: whichever step fails, and on a disk that is really full, the old file
// stays whole, nothing of the attempt is left behind, and the operator is told why in Russian.
#include "devices/stored_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <cerrno>

#include "support/fakes.h"

namespace terval {
namespace {

using testing::SmallDisk;
using testing::WorkFolder;

// The system's steps, but for one that fails with the given errno.
class FailingSteps final : public FileSteps {
  public:
    enum class Step { Create, Write, ShortWrite, SetMode, Flush, Close, Rename };
    FailingSteps(Step step, int code) : step_(step), code_(code) {}

    int createTemporary(QByteArray& pattern) override {
        return fail(Step::Create) ? -1 : FileSteps::createTemporary(pattern);
    }
    long write(int fd, const char* data, size_t size) override {
        if (step_ == Step::ShortWrite) {
            // Half of it goes, then the disk is full: the next write writes nothing.
            if (wrote_) {
                errno = code_;
                return -1;
            }
            wrote_ = true;
            return FileSteps::write(fd, data, size / 2);
        }
        return fail(Step::Write) ? -1 : FileSteps::write(fd, data, size);
    }
    int setMode(int fd, unsigned mode) override {
        return fail(Step::SetMode) ? -1 : FileSteps::setMode(fd, mode);
    }
    int flush(int fd) override { return fail(Step::Flush) ? -1 : FileSteps::flush(fd); }
    int close(int fd) override {
        if (fail(Step::Close)) {
            FileSteps::close(fd);
            errno = code_;
            return -1;
        }
        return FileSteps::close(fd);
    }
    int rename(const char* from, const char* to) override {
        return fail(Step::Rename) ? -1 : FileSteps::rename(from, to);
    }

  private:
    bool fail(Step step) {
        if (step != step_) {
            return false;
        }
        errno = code_;
        return true;
    }
    Step step_;
    int code_;
    bool wrote_ = false;
};

TEST(StoredFile, EveryFailingStepKeepsTheOldFileAndLeavesNothingBehind) {
    using Step = FailingSteps::Step;
    const struct {
        Step step;
        int code;
        const char* reason;
    } cases[] = {
        {Step::Create, EACCES, "нет права на запись"},
        {Step::Write, ENOSPC, "на диске нет места"},
        {Step::ShortWrite, ENOSPC, "на диске нет места"},
        {Step::SetMode, EPERM, "нет права"},
        {Step::Flush, EIO, "ошибка ввода-вывода на диске"},
        {Step::Close, EDQUOT, "на диске нет места"},
        {Step::Rename, EROFS, "только для чтения"},
    };
    for (const auto& c : cases) {
        WorkFolder folder;
        const QByteArray old(560, '\x11');
        folder.write("gen.dat", old);
        FailingSteps steps(c.step, c.code);
        const FileError error =
            saveFileAtomically(folder.path("gen.dat"), QByteArray(1120, '\x22'), steps);
        ASSERT_TRUE(error.has_value()) << static_cast<int>(c.step);
        EXPECT_TRUE(error->startsWith(QStringLiteral("Не удалось записать файл gen.dat: ")))
            << error->toStdString();
        EXPECT_TRUE(error->contains(QString::fromUtf8(c.reason))) << error->toStdString();
        EXPECT_TRUE(error->contains(QStringLiteral("Прежний файл оставлен без изменений.")));
        EXPECT_EQ(folder.read("gen.dat"), old) << static_cast<int>(c.step);
        EXPECT_EQ(folder.dir().entryList(QDir::Files), QStringList{"gen.dat"})
            << static_cast<int>(c.step);
    }
    // And when nothing fails, the new content is in place with the old file's permissions.
    WorkFolder folder;
    folder.write("gen.dat", QByteArray(56, '\x11'));
    QFile::setPermissions(folder.path("gen.dat"), QFile::ReadOwner | QFile::WriteOwner);
    EXPECT_FALSE(saveFileAtomically(folder.path("gen.dat"), QByteArray(112, '\x33')));
    EXPECT_EQ(folder.read("gen.dat"), QByteArray(112, '\x33'));
    EXPECT_EQ(QFile::permissions(folder.path("gen.dat")),
              QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
    EXPECT_EQ(folder.dir().entryList(QDir::Files), QStringList{"gen.dat"});
}

TEST(StoredFile, WhatAKilledSaveLeftBehindIsRemovedAndNothingElse) {
    WorkFolder folder;
    for (const char* name : {"gen.dat", "gen.dat.tmp-Ab3xYz", "param.dat.tmp-000000", "notes.txt",
                             "gen.dat.tmp-short"}) {
        folder.write(QString::fromLatin1(name), "x");
    }
    removeLeftoverTemporaries(folder.dir());
    EXPECT_EQ(folder.dir().entryList(QDir::Files),
              (QStringList{"gen.dat", "gen.dat.tmp-short", "notes.txt"}));
}

// A small file system of its own, filled to the last byte.
class FullDisk : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!disk.unavailable().isEmpty()) {
            GTEST_SKIP() << qPrintable(disk.unavailable());
        }
    }
    void fill() { disk.fill(); }

    WorkFolder folder;
    SmallDisk disk{folder.dir(), 64};
};

TEST_F(FullDisk, DeviceListOnAFullDiskStaysWholeAndTheOperatorIsTold) {
    const QByteArray eight(8 * 56, '\x44');
    ASSERT_FALSE(saveFileAtomically(folder.path("gen.dat"), eight));
    fill();
    const FileError error = saveFileAtomically(folder.path("gen.dat"), QByteArray(9 * 56, '\x55'));
    ASSERT_TRUE(error.has_value());
    EXPECT_TRUE(error->contains(QStringLiteral("на диске нет места"))) << error->toStdString();
    EXPECT_EQ(folder.read("gen.dat"), eight);
    EXPECT_EQ(folder.dir().entryList(QDir::Files), (QStringList{"filler", "gen.dat"}));
    // Room again: the save goes through.
    ASSERT_TRUE(QFile::remove(folder.path("filler")));
    EXPECT_FALSE(saveFileAtomically(folder.path("gen.dat"), QByteArray(9 * 56, '\x55')));
    EXPECT_EQ(folder.read("gen.dat").size(), 9 * 56);
}

}  // namespace
}  // namespace terval

#include "devices/tile_pictures.h"

#include <gtest/gtest.h>
#include <QFileInfo>
#include <QTemporaryDir>

#include "app/station_core.h"
#include "support/fakes.h"

namespace terval {
namespace {

using testing::SmallDisk;
using testing::WorkFolder;

// A folder of pictures whose bytes tell where each came from.
QString pictureSource(const QTemporaryDir& dir, const QString& tag, const QStringList& names) {
    for (const QString& name : names) {
        QFile f(QDir(dir.path()).filePath(name));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write((tag + QLatin1Char(':') + name).toUtf8());
    }
    return dir.path();
}

QStringList picturesIn(const WorkFolder& folder) {
    return folder.dir().entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

TEST(TilePictures, MissingOnesComeFromTheFirstSourceHoldingThemAndNoneIsReplaced) {
    QTemporaryDir first;
    QTemporaryDir second;
    const QStringList sources{
        QStringLiteral("/nonexistent/terval/pictures"),
        pictureSource(first, "first", {"Bitmap1.bmp", "Bitmap2.bmp"}),
        pictureSource(second, "second", tilePictureNames()),
    };
    WorkFolder folder;
    folder.write("Bitmap2.bmp", "the plant's own");
    // Not a picture for the station to make good: the operator's link stays as it is.
    ASSERT_TRUE(QFile::link(folder.path("gone.bmp"), folder.path("Bitmap4.bmp")));

    EXPECT_EQ(provideTilePictures(folder.dir(), sources), QStringList{});
    EXPECT_EQ(folder.read("Bitmap1.bmp"), "first:Bitmap1.bmp");
    EXPECT_EQ(folder.read("Bitmap2.bmp"), "the plant's own");
    EXPECT_EQ(folder.read("Bitmap3.bmp"), "second:Bitmap3.bmp");
    EXPECT_TRUE(QFileInfo(folder.path("Bitmap4.bmp")).isSymLink());
    // Nothing of the copying stays behind.
    EXPECT_EQ(picturesIn(folder),
              (QStringList{"Bitmap1.bmp", "Bitmap2.bmp", "Bitmap3.bmp", "Bitmap4.bmp"}));

    // Once there, a picture is the folder's own, even when the source changes.
    pictureSource(first, "changed", {"Bitmap1.bmp"});
    EXPECT_EQ(provideTilePictures(folder.dir(), sources), QStringList{});
    EXPECT_EQ(folder.read("Bitmap1.bmp"), "first:Bitmap1.bmp");

    // No source at all: nothing to copy and nothing to say; the window tells what is missing.
    WorkFolder bare;
    EXPECT_EQ(provideTilePictures(bare.dir(), {QStringLiteral("/nonexistent")}), QStringList{});
    EXPECT_EQ(picturesIn(bare), QStringList{});
}

TEST(TilePictures, AStationRunFromItsBuildFolderFindsTheDrawings) {
    WorkFolder folder;
    EXPECT_EQ(provideTilePictures(folder.dir(), installedTilePictureFolders()), QStringList{});
    for (const QString& name : tilePictureNames()) {
        QFile ours(QStringLiteral(TERVAL_ASSETS "/") + name);
        ASSERT_TRUE(ours.open(QIODevice::ReadOnly));
        EXPECT_EQ(folder.read(name), ours.readAll()) << qPrintable(name);
    }
}

// The station's start-up over a recording window: what it loads and what the operator is told.
struct StartUp {
    explicit StartUp(const QDir& folder, const QStringList& sources)
        : core(folder, view, messages, clock, QLocale(QLocale::Russian, QLocale::Russia), serial,
               socket) {
        core.setTilePictureSources(sources);
        core.start();
    }
    testing::FakeMainView view;
    testing::RecordingMessageSink messages;
    testing::FixedClock clock{QDateTime(QDate(2026, 3, 15), QTime(12, 0, 0))};
    testing::FakeSerialPort serial;
    testing::FakeTcpSocket socket;
    StationCore core;
};

TEST(TilePictures, ANewFolderHasItsPicturesBeforeTheWindowLoadsThem) {
    QTemporaryDir source;
    WorkFolder folder;
    StartUp station(folder.dir(), {pictureSource(source, "package", tilePictureNames())});
    for (const QString& text : station.messages.texts()) {
        EXPECT_FALSE(text.contains(QStringLiteral("Bitmap"))) << qPrintable(text);
    }
    EXPECT_EQ(folder.read("Bitmap3.bmp"), "package:Bitmap3.bmp");
}

TEST(TilePictures, AFolderThatCannotTakeThemIsToldOnceAndTheStationStillStarts) {
    WorkFolder folder;
    SmallDisk disk{folder.dir(), 64};
    if (!disk.unavailable().isEmpty()) {
        GTEST_SKIP() << qPrintable(disk.unavailable());
    }
    ASSERT_TRUE(disk.makeReadOnly());
    QTemporaryDir source;
    StartUp station(folder.dir(), {pictureSource(source, "package", tilePictureNames())});

    const QStringList texts = station.messages.texts();
    ASSERT_FALSE(texts.isEmpty());
    // One message for the four, before the window's own about each picture it could not find.
    const QString& copy = texts.first();
    EXPECT_TRUE(copy.startsWith(QStringLiteral(
        "Не удалось скопировать в папку станции рисунки Bitmap1.bmp, Bitmap2.bmp, Bitmap3.bmp и "
        "Bitmap4.bmp из папки ")))
        << qPrintable(copy);
    EXPECT_TRUE(copy.contains(QStringLiteral(": диск доступен только для чтения.")))
        << qPrintable(copy);
    EXPECT_EQ(texts.filter(QStringLiteral("Не удалось скопировать")).size(), 1);
    EXPECT_EQ(texts.filter(QStringLiteral("missing Bitmap")).size(), 4);
    EXPECT_EQ(picturesIn(folder), QStringList{});
    EXPECT_EQ(station.core.station.devices.DeviceCount, 0);
}

}  // namespace
}  // namespace terval

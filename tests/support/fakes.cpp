#include "support/fakes.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>
#include <QFile>
#include <cerrno>
#include <cstring>

namespace terval::testing {

QStringList RecordingMessageSink::texts() const {
    QStringList out;
    for (const Message& m : messages) {
        out << m.text;
    }
    return out;
}

QStringList FakeMainView::loadTilePictures(const QDir& folder) {
    QStringList errors = pictureErrors;
    for (const char* name : {"Bitmap3.bmp", "Bitmap2.bmp", "Bitmap1.bmp", "Bitmap4.bmp"}) {
        if (!folder.exists(QString::fromLatin1(name))) {
            errors << QStringLiteral("missing %1").arg(QString::fromLatin1(name));
        }
    }
    return errors;
}

QVector<int> FakeMainView::selectedTiles() const {
    QVector<int> out;
    for (const auto& [i, t] : tiles) {
        if (t.selected) {
            out << i;
        }
    }
    return out;
}

WorkFolder::WorkFolder() {
    EXPECT_TRUE(temp_.isValid());
}

void WorkFolder::write(const QString& name, const QByteArray& bytes) const {
    QFile f(path(name));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << qPrintable(name);
    ASSERT_EQ(f.write(bytes), bytes.size());
}

QByteArray WorkFolder::read(const QString& name) const {
    QFile f(path(name));
    if (!f.open(QIODevice::ReadOnly)) {
        ADD_FAILURE() << "cannot read " << qPrintable(name);
        return {};
    }
    return f.readAll();
}

void WorkFolder::addPictures() const {
    for (int i = 1; i <= 4; ++i) {
        const QString name = QStringLiteral("Bitmap%1.bmp").arg(i);
        ASSERT_TRUE(QFile::copy(QStringLiteral(TERVAL_ASSETS "/") + name, path(name)));
    }
}

QByteArray hexBytes(const char* hex) {
    return QByteArray::fromHex(QByteArray(hex));
}

SmallDisk::SmallDisk(const QDir& folder, int kilobytes) : folder_(folder), kilobytes_(kilobytes) {
    if (::geteuid() != 0) {
        unavailable_ = QStringLiteral("a file system of its own needs root to mount a small tmpfs");
        return;
    }
    const QByteArray size = "size=" + QByteArray::number(kilobytes_) + "k";
    if (::mount("tmpfs", qPrintable(folder_.path()), "tmpfs", 0, size.constData()) != 0) {
        unavailable_ = QStringLiteral("no tmpfs could be mounted here: %1")
                           .arg(QString::fromLocal8Bit(std::strerror(errno)));
    }
}

SmallDisk::~SmallDisk() {
    if (unavailable_.isEmpty()) {
        ::umount2(qPrintable(folder_.path()), MNT_DETACH);
    }
}

bool SmallDisk::makeReadOnly() {
    const QByteArray size = "size=" + QByteArray::number(kilobytes_) + "k";
    return ::mount("tmpfs", qPrintable(folder_.path()), "tmpfs", MS_REMOUNT | MS_RDONLY,
                   size.constData()) == 0;
}

void SmallDisk::fill() {
    QFile filler(folder_.filePath(QStringLiteral("filler")));
    ASSERT_TRUE(filler.open(QIODevice::WriteOnly));
    const QByteArray block(4096, '\0');
    while (filler.write(block) == block.size() && filler.flush()) {
    }
    // The last bytes, that a block at a time is too coarse for.
    while (filler.write("x", 1) == 1 && filler.flush()) {
    }
}

}  // namespace terval::testing

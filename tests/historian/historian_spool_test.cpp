#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>
#include <deque>
#include <memory>
#include <random>

#include "historian/historian_spool.h"

using terval::HistorianSpool;

// The spool against a model of what it must give back: thousands of random appends, batches taken
// or left (a write that failed), reopenings (a restart) and crashes that tear the last record, in
// small files so that it moves across many. What it gives is exactly what was appended and not yet
// taken, in order; a torn record never comes back; files go once everything in them is taken.
TEST(HistorianSpool, GivesBackWhatWasAppendedInOrderThroughRestartsAndTornWrites) {
    const unsigned seed = [] {
        if (const char* s = std::getenv("TERVAL_TEST_SEED")) {
            return unsigned(std::strtoul(s, nullptr, 10));
        }
        return std::random_device{}();
    }();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    const auto pick = [&](int lo, int hi) {
        return std::uniform_int_distribution<int>(lo, hi)(rng);
    };

    QTemporaryDir dir;
    QStringList log;
    const auto make = [&] {
        return std::make_unique<HistorianSpool>(
            dir.path(), [&](const QString& l) { log << l; }, 3000);
    };
    auto spool = make();
    QString error;
    ASSERT_TRUE(spool->open(&error)) << error.toStdString();
    std::deque<QByteArray> model;
    int serial = 0, torn = 0;
    const auto modelBytes = [&] {
        qint64 n = 0;
        for (const QByteArray& r : model) {
            n += r.size() + 8;
        }
        return n;
    };
    for (int step = 0; step < 4000; ++step) {
        const int action = pick(0, 99);
        if (action < 55) {
            // Empty records and ones larger than a file are allowed too.
            QByteArray record = QByteArray::number(serial++) + ':';
            record +=
                QByteArray(pick(0, 2) == 0 ? pick(0, 4000) : pick(0, 200), char('a' + step % 26));
            ASSERT_TRUE(spool->append(record, &error)) << error.toStdString();
            model.push_back(record);
        } else if (action < 85) {
            const int n = pick(1, 20);
            const QList<QByteArray> got = spool->peek(n);
            ASSERT_LE(got.size(), qsizetype(model.size()));
            for (qsizetype i = 0; i < got.size(); ++i) {
                ASSERT_EQ(got[i], model[size_t(i)]) << "step " << step;
            }
            // Only a file's records come in one peek: a short batch must still make progress.
            ASSERT_TRUE(model.empty() || !got.isEmpty()) << "step " << step;
            if (pick(0, 3) != 0) {
                spool->take();
                model.erase(model.begin(), model.begin() + got.size());
            }
        } else if (action < 93) {
            spool.reset();
            spool = make();
            ASSERT_TRUE(spool->open(&error)) << error.toStdString();
        } else {
            // A crash in the middle of a write: the newest file ends in part of a record.
            spool.reset();
            const QStringList files =
                QDir(dir.path()).entryList({"spool-*.bin"}, QDir::Files, QDir::Name);
            if (!files.isEmpty()) {
                QFile f(QDir(dir.path()).filePath(files.last()));
                ASSERT_TRUE(f.open(QIODevice::Append));
                QByteArray tail(pick(1, 7), '\x01');  // a header cut short, or one promising more
                if (pick(0, 1)) {
                    tail = QByteArray("\x00\x00\x01\x00\x12\x34\x56\x78partial", 15);
                }
                f.write(tail);
                torn += 1;
            }
            spool = make();
            const qsizetype before = log.size();
            ASSERT_TRUE(spool->open(&error)) << error.toStdString();
            ASSERT_EQ(log.size(), before + (files.isEmpty() ? 0 : 1))
                << log.join('\n').toStdString();
        }
        ASSERT_EQ(spool->bytes(), modelBytes()) << "step " << step;
        ASSERT_EQ(spool->empty(), model.empty()) << "step " << step;
    }
    // Everything taken: no file is left behind.
    while (!model.empty()) {
        const QList<QByteArray> got = spool->peek(50);
        ASSERT_FALSE(got.isEmpty());
        for (qsizetype i = 0; i < got.size(); ++i) {
            ASSERT_EQ(got[i], model[size_t(i)]);
        }
        spool->take();
        model.erase(model.begin(), model.begin() + got.size());
    }
    EXPECT_TRUE(spool->peek(1).isEmpty());
    EXPECT_TRUE(QDir(dir.path()).entryList({"spool-*"}, QDir::Files).isEmpty())
        << QDir(dir.path()).entryList().join(' ').toStdString();
    std::printf("spool: %d records, %d torn writes cut\n", serial, torn);
}

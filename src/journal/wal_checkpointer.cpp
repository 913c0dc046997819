#include "journal/wal_checkpointer.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <atomic>
#include <chrono>

namespace terval {
namespace {

QString checkpointConnectionName() {
    static std::atomic<int> count{0};
    return QStringLiteral("terval-journal-checkpoint-%1").arg(++count);
}

}  // namespace

WalCheckpointer::WalCheckpointer(QString path) : path_(std::move(path)) {
    thread_ = std::thread([this] { run(); });
}

WalCheckpointer::~WalCheckpointer() {
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

bool WalCheckpointer::running() {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [this] { return started_; });
    return connected_;
}

void WalCheckpointer::run() {
    const QString name = checkpointConnectionName();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path_);
        const bool opened = db.open();
        {
            const std::lock_guard lock(mutex_);
            started_ = true;
            connected_ = opened;
        }
        wake_.notify_all();
        if (opened) {
            QSqlQuery checkpoint(db);
            // The writer holds its lock for microseconds; a copy that still meets it waits a
            // little rather than giving up its turn.
            checkpoint.exec(QStringLiteral("PRAGMA busy_timeout = 1000"));
            std::unique_lock lock(mutex_);
            while (!stop_) {
                wake_.wait_for(lock, std::chrono::milliseconds(kIntervalMs),
                               [this] { return stop_; });
                if (stop_ || !dirty_.exchange(false, std::memory_order_relaxed)) {
                    continue;
                }
                lock.unlock();
                // A failure (the disk full, the file gone) is the writer's to report; the copy is
                // simply tried again after the next commit.
                // Once all of it is copied, the writer's next commit starts the log over from its
                // beginning and cuts it back to journal_size_limit. Forcing that sooner (RESTART)
                // would make the writer wait for the copy, which is what this thread avoids: the
                // station's records come seconds apart, and each pause lets the log start over.
                checkpoint.exec(QStringLiteral("PRAGMA wal_checkpoint(PASSIVE)"));
                checkpoint.finish();
                lock.lock();
            }
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

}  // namespace terval

#include "plantd/historian_thread.h"

#include <chrono>

namespace terval {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How often the historian is ticked when nothing arrives: writes what waits, retries the
// database, makes partitions.
constexpr auto kTickEvery = 250ms;
constexpr auto kStatsEvery = 60s;
// Handed to the historian in one go between ticks.
constexpr int kBatch = 500;

// The figures of the run so far; once the historian has stopped, its database is closed, so the
// last line leaves out whether it was up.
QString statsLine(const Historian::Stats& s, bool running) {
    QString line = (running ? QStringLiteral("Статистика: ") : QStringLiteral("Итог: ")) +
                   QStringLiteral(
                       "получено %1, записано %2, повторов %3, чужих %4, пропусков %5, "
                       "отброшено %6; ждут в памяти %7, на диске %8 КБ")
                       .arg(s.received)
                       .arg(s.stored)
                       .arg(s.duplicates)
                       .arg(s.ignored)
                       .arg(s.gaps)
                       .arg(s.dropped)
                       .arg(s.waiting)
                       .arg((s.spoolBytes + 1023) / 1024);
    if (running) {
        line +=
            s.databaseUp ? QStringLiteral("; база на связи") : QStringLiteral("; база недоступна");
    }
    return line;
}

}  // namespace

HistorianThread::HistorianThread(HistorianSettings settings, Log log, int capacity)
    : settings_(std::move(settings)), log_(std::move(log)), capacity_(std::max(1, capacity)) {}

HistorianThread::~HistorianThread() {
    if (isRunning()) {
        finish(5);
    }
}

bool HistorianThread::begin(QString* error) {
    start();
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return started_ || startFailed_; });
    if (startFailed_) {
        lock.unlock();
        wait();
        if (error != nullptr) {
            *error = startError_;
        }
        return false;
    }
    return true;
}

int HistorianThread::room() const {
    std::lock_guard lock(mutex_);
    return finishing_ ? 0 : capacity_ - static_cast<int>(queue_.size());
}

bool HistorianThread::offer(PlantDelivery delivery) {
    std::lock_guard lock(mutex_);
    if (finishing_ || static_cast<int>(queue_.size()) >= capacity_) {
        return false;
    }
    queue_.push_back(std::move(delivery));
    changed_.notify_all();
    return true;
}

void HistorianThread::finish(int seconds) {
    {
        std::lock_guard lock(mutex_);
        finishing_ = true;
        finishSeconds_ = seconds;
        changed_.notify_all();
    }
    wait();
}

void HistorianThread::run() {
    Historian historian(settings_, log_);
    QString error;
    if (!historian.start(&error)) {
        std::lock_guard lock(mutex_);
        startFailed_ = true;
        startError_ = error;
        changed_.notify_all();
        return;
    }
    {
        std::lock_guard lock(mutex_);
        started_ = true;
        changed_.notify_all();
    }
    Clock::time_point nextStats = Clock::now() + kStatsEvery;
    std::vector<PlantDelivery> batch;
    for (;;) {
        bool finishing = false;
        {
            std::unique_lock lock(mutex_);
            changed_.wait_for(lock, kTickEvery, [&] { return finishing_ || !queue_.empty(); });
            const int n = std::min<int>(kBatch, static_cast<int>(queue_.size()));
            for (int i = 0; i < n; ++i) {
                batch.push_back(std::move(queue_.front()));
                queue_.pop_front();
            }
            finishing = finishing_ && queue_.empty();
        }
        for (const PlantDelivery& d : batch) {
            if (d.kind == PlantDelivery::Kind::Message) {
                historian.received(d.message);
            } else {
                historian.brokerChanged(d.connected, d.reason);
            }
        }
        const bool handed = !batch.empty();
        batch.clear();
        if (finishing && !handed) {
            break;
        }
        historian.tick();
        if (Clock::now() >= nextStats) {
            nextStats = Clock::now() + kStatsEvery;
            log_(statsLine(historian.stats(), true));
        }
    }
    int seconds = 5;
    {
        std::lock_guard lock(mutex_);
        seconds = finishSeconds_;
    }
    historian.stop(seconds);
    log_(statsLine(historian.stats(), false));
}

}  // namespace terval

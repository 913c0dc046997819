#pragma once

#include <QThread>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

#include "historian/historian.h"
#include "plantnet/plant_subscriber.h"

namespace terval {

// The historian on a thread of its own: it is made, started, fed, ticked and stopped there, so
// that its database connection stays on one thread and a database that keeps it waiting holds up
// nobody else. The main thread hands deliveries over through a bounded queue.
class HistorianThread final : public QThread {
  public:
    using Log = std::function<void(const QString&)>;

    HistorianThread(HistorianSettings settings, Log log, int capacity = 5000);
    ~HistorianThread() override;

    // Starts the thread and waits until the historian has started; false with `error` when it
    // could not (its spool folder).
    bool begin(QString* error);
    // How many more the queue takes now.
    int room() const;
    // False when the queue is full: keep it and offer it again later.
    bool offer(PlantDelivery delivery);
    // Writes what was handed over, as much as it can within `seconds`, and ends the thread.
    void finish(int seconds);

  protected:
    void run() override;

  private:
    HistorianSettings settings_;
    Log log_;
    const int capacity_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<PlantDelivery> queue_;
    bool started_ = false;
    bool startFailed_ = false;
    QString startError_;
    bool finishing_ = false;
    int finishSeconds_ = 5;
};

}  // namespace terval

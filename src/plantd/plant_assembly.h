#pragma once

#include <QObject>
#include <QString>
#include <QTextStream>
#include <QTimer>
#include <memory>
#include <mutex>
#include <vector>

#include "historian/historian_settings.h"
#include "historian/plant_message.h"
#include "plantnet/plant_subscriber.h"

namespace terval {

class HistorianThread;

// The plant program's log: one line each, headed by the date and time, as a station without
// windows writes it; callable from any thread.
class PlantLog {
  public:
    explicit PlantLog(QTextStream& out) : out_(out) {}
    void line(const QString& text);

  private:
    std::mutex mutex_;
    QTextStream& out_;
};

// The plant program put together: the broker's subscriber on the main thread, the historian on a
// thread of its own (it may wait on the database), and whoever else joins on the main thread (the
// web view's live state). Every message goes to all of them in the order the broker delivered it.
// Messages are taken from the subscriber only as fast as the historian takes them, so that a slow
// database holds the rest back in the broker rather than in our memory.
class PlantAssembly final : public QObject {
  public:
    PlantAssembly(HistorianSettings settings, PlantLog& log, QObject* parent = nullptr);
    ~PlantAssembly() override;
    PlantAssembly(const PlantAssembly&) = delete;
    PlantAssembly& operator=(const PlantAssembly&) = delete;

    // Before start(); called on the main thread, in the order they joined, after the historian has
    // been handed the same message.
    void addSink(PlantMessageSink& sink);

    // Starts the historian (its spool first) and the subscriber. False when the program cannot
    // run (the spool folder unusable, libmosquitto refusing the settings), with `error` saying why;
    // a broker or a database that is away is tried again by itself.
    bool start(QString* error);
    // Stops taking messages, hands the historian what was received, lets it write what it can and
    // keep the rest in its spool, and waits for its thread.
    void stop();

  private:
    void pump();
    void deliver(const PlantDelivery& delivery);

    HistorianSettings settings_;
    PlantLog& log_;
    std::vector<PlantMessageSink*> sinks_;
    std::unique_ptr<PlantSubscriber> subscriber_;
    std::unique_ptr<HistorianThread> historian_;
    QTimer retry_;
    bool running_ = false;
};

}  // namespace terval

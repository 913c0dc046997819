#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

#include "historian/historian_settings.h"
#include "historian/plant_message.h"

namespace terval {

// The plant's memory: every station's events, alarm moves, link and connection changes and
// insulation samples from the broker's messages, written to PostgreSQL through Qt SQL in a schema
// it creates and migrates itself. Nothing it was given is lost while the database is away: what it
// could not write waits on disk in its spool folder (up to the limit) and is written, in the order
// it arrived, once the database is back, before anything newer. A message delivered twice, or
// replayed by a station from its journal, is stored once.
//
// Single-threaded: every call comes from the thread that owns it. Writing may wait on the database
// (up to its connect timeout), so the plant program gives it a thread of its own and hands the
// broker's messages over.
class Historian final : public PlantMessageSink {
  public:
    struct Stats {
        uint64_t received = 0;    // messages given to received()
        uint64_t stored = 0;      // rows written
        uint64_t duplicates = 0;  // station records already stored, not written again
        uint64_t ignored = 0;     // messages that were not the stations' (logged once per topic)
        uint64_t gaps = 0;        // gaps found in the stations' record numbers
        uint64_t dropped = 0;     // messages given up because the spool was full (logged)
        qint64 spoolBytes = 0;    // waiting on disk
        int waiting = 0;          // waiting in memory
        bool databaseUp = false;
    };
    // Where it tells what happened, a line each, in Russian (the plant program's log).
    using Log = std::function<void(const QString& line)>;

    Historian(HistorianSettings settings, Log log);
    ~Historian() override;
    Historian(const Historian&) = delete;
    Historian& operator=(const Historian&) = delete;

    // Opens the spool (what a previous run left there is written first) and tries the database,
    // creating or migrating the schema. False only when the spool folder cannot be used, with
    // `error` saying why; a database that is away is tried again by tick().
    bool start(QString* error);
    // Queued; written by tick(), or at once when a batch is full.
    void received(const PlantMessage& message) override;
    void brokerChanged(bool connected, const QString& reason) override;
    // Writes what waits, in order, in batches of one transaction each; while the database is away
    // it moves what waits to the spool and tries the database again (not more often than every few
    // seconds); makes the month partitions it needs and drops those past the retention.
    void tick();
    // Writes what it can within `seconds`; what is left stays in the spool for the next start.
    void stop(int seconds = 5);

    Stats stats() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace terval

#pragma once

#include <QObject>
#include <QString>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "journal/insulation_trend.h"
#include "station/journal_entry.h"

namespace terval {

// What a chart of the trend needs from journal.db for one span.
struct TrendReadRequest {
    struct Relay {
        uint16_t address = 0;
        int number = 0;  // its tile, for its records in the journal; 0 reads none
    };
    std::vector<Relay> relays;
    qint64 fromMs = 0;
    qint64 toMs = 0;
    // Each relay's hours of the week ending here, for the forecast; none when not set.
    std::optional<qint64> weekEndMs;
    // The journal records marked on the chart: each relay's protection events and silences, and
    // the station's lost links, newest first, up to this many each; none at 0.
    int maxMarks = 0;
};

struct TrendReadResult {
    quint64 id = 0;  // as submit() returned it
    TrendReadRequest request;
    std::vector<TrendSeries> series;  // one per relay of the request, in its order
    std::vector<TrendSeries> weeks;   // likewise, when the request asked for them
    // Per relay of the request, then the station's lost links.
    struct Marks {
        std::vector<JournalEntry> entries;  // newest first
        QString error;
    };
    std::vector<Marks> marks;
};

// Reads the trend for a chart on a thread and a read-only connection of its own, so that a year
// of 32 relays read for a window never holds up the poll, which runs on the UI thread. Requests
// come from the thread that made the reader; the newest one wins: one still waiting is replaced,
// one being read is left off between relays, and only the newest's result comes back, as
// `finished` on the making thread through its event loop.
//
// Only what is written to the file is read: the samples the trend still holds in memory are the
// caller's to add (mergePendingSamples()). Each request opens the file anew, so that a journal set
// aside and started again is read where it is now.
class TrendReader final : public QObject {
    Q_OBJECT
  public:
    // `fileName` is the journal's name, for the messages.
    TrendReader(QString path, QString fileName, QObject* parent = nullptr);
    ~TrendReader() override;
    TrendReader(const TrendReader&) = delete;
    TrendReader& operator=(const TrendReader&) = delete;

    quint64 submit(TrendReadRequest request);
    // A request is waiting or being read whose result has not come back yet.
    bool busy() const { return awaited_ != 0; }

    // For tests: called on the reading thread before each request is read.
    void setBeforeRead(std::function<void()> hook);

  signals:
    void finished(const terval::TrendReadResult& result);

  private:
    void run();
    void deliver(TrendReadResult result);
    bool superseded(quint64 id);

    QString path_;
    QString fileName_;
    quint64 awaited_ = 0;  // on the making thread: the request whose result is awaited

    std::mutex mutex_;
    std::condition_variable wake_;
    std::optional<std::pair<quint64, TrendReadRequest>> next_;
    quint64 newest_ = 0;
    bool stop_ = false;
    std::function<void()> beforeRead_;
    std::thread thread_;
};

// Adds to `series` (read from the file) the samples still in memory that fall in [fromMs, toMs):
// each as a point of its own in a series of raw samples, or into the minute or hour it belongs
// to, with the count, extremes and mean of that aggregate brought up to date. An aggregate is in
// the span by its start, as the file reads it, and takes every sample of it, those past toMs too. A sample whose
// time the series has already is one written since it was taken and is not added twice.
void mergePendingSamples(TrendSeries& series, const std::vector<InsulationSample>& pending,
                         qint64 fromMs, qint64 toMs);

}  // namespace terval

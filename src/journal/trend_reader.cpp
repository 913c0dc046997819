#include "journal/trend_reader.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <algorithm>
#include <atomic>
#include <limits>
#include <map>

#include "journal/trend_queries.h"

namespace terval {
namespace {

QString readerConnectionName() {
    static std::atomic<int> count{0};
    return QStringLiteral("terval-trend-reader-%1").arg(++count);
}

// A read-only connection to the journal's file for one request, its statements prepared as they
// are first asked for.
class ReaderConnection final : public TrendStatements {
  public:
    ReaderConnection(const QString& path, QString fileName)
        : name_(readerConnectionName()), fileName_(std::move(fileName)) {
        db_ = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name_);
        db_.setDatabaseName(path);
        db_.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=1000"));
        if (!db_.open()) {
            openError_ = db_.lastError();
        }
    }
    ~ReaderConnection() override {
        statements_.clear();
        db_.close();
        db_ = QSqlDatabase();
        QSqlDatabase::removeDatabase(name_);
    }
    ReaderConnection(const ReaderConnection&) = delete;
    ReaderConnection& operator=(const ReaderConnection&) = delete;

    QSqlQuery* statement(const QString& sql, QSqlError* error) override {
        if (!isReadable()) {
            *error = openError_;
            return nullptr;
        }
        auto found = statements_.find(sql);
        if (found == statements_.end()) {
            QSqlQuery query(db_);
            query.setForwardOnly(true);
            if (!query.prepare(sql)) {
                *error = query.lastError();
                return nullptr;
            }
            found = statements_.emplace(sql, std::move(query)).first;
        }
        return &found->second;
    }
    bool isReadable() const override { return db_.isOpen(); }
    QString readFailure(const QSqlError* error) const override {
        const QSqlError& why = error ? *error : openError_;
        return QStringLiteral("Не удалось прочитать журнал событий %1: %2.")
            .arg(fileName_, why.databaseText().isEmpty() ? why.text() : why.databaseText());
    }

  private:
    QString name_;
    QString fileName_;
    QSqlDatabase db_;
    QSqlError openError_;
    std::map<QString, QSqlQuery> statements_;
};

// Records of these kinds in [fromMs, toMs), newest first: of one tile, or of the whole station
// (relay 0) when `relay` is 0.
TrendReadResult::Marks readMarks(ReaderConnection& db, int relay, JournalKinds kinds, qint64 fromMs,
                                 qint64 toMs, int limit) {
    TrendReadResult::Marks marks;
    QSqlError error;
    QSqlQuery* query = db.statement(
        relay > 0 ? QStringLiteral("SELECT time_ms, kind, relay, address, text FROM entries WHERE "
                                   "relay = ? AND ((? >> kind) & 1) = 1 AND time_ms >= ? AND "
                                   "time_ms < ? ORDER BY time_ms DESC, id DESC LIMIT ?")
                  : QStringLiteral("SELECT time_ms, kind, relay, address, text FROM entries WHERE "
                                   "? = 0 AND ((? >> kind) & 1) = 1 AND time_ms >= ? AND "
                                   "time_ms < ? ORDER BY time_ms DESC, id DESC LIMIT ?"),
        &error);
    if (!query) {
        marks.error = db.readFailure(&error);
        return marks;
    }
    query->bindValue(0, relay);
    query->bindValue(1, static_cast<qint64>(kinds.bits()));
    query->bindValue(2, fromMs);
    query->bindValue(3, toMs);
    query->bindValue(4, limit);
    if (!query->exec()) {
        error = query->lastError();
        marks.error = db.readFailure(&error);
        return marks;
    }
    while (query->next()) {
        JournalEntry e;
        e.timeMs = query->value(0).toLongLong();
        e.kind = journalKindFromCode(query->value(1).toInt());
        if (!query->value(2).isNull()) {
            e.relay = JournalRelay{
                query->value(2).toInt(), static_cast<uint16_t>(query->value(3).toUInt()), {}, {}};
        }
        e.text = query->value(4).toString();
        marks.entries.push_back(std::move(e));
    }
    if (query->lastError().isValid()) {
        error = query->lastError();
        marks.entries.clear();
        marks.error = db.readFailure(&error);
    }
    query->finish();
    return marks;
}

qint64 floorTo(qint64 t, qint64 unit) {
    const qint64 q = t / unit;
    return ((t % unit != 0 && t < 0) ? q - 1 : q) * unit;
}

}  // namespace

TrendReader::TrendReader(QString path, QString fileName, QObject* parent)
    : QObject(parent), path_(std::move(path)), fileName_(std::move(fileName)) {
    thread_ = std::thread([this] { run(); });
}

TrendReader::~TrendReader() {
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

quint64 TrendReader::submit(TrendReadRequest request) {
    quint64 id = 0;
    {
        const std::lock_guard lock(mutex_);
        id = ++newest_;
        next_.emplace(id, std::move(request));
    }
    awaited_ = id;
    wake_.notify_all();
    return id;
}

void TrendReader::setBeforeRead(std::function<void()> hook) {
    const std::lock_guard lock(mutex_);
    beforeRead_ = std::move(hook);
}

bool TrendReader::superseded(quint64 id) {
    const std::lock_guard lock(mutex_);
    return stop_ || newest_ != id;
}

void TrendReader::run() {
    for (;;) {
        quint64 id = 0;
        TrendReadRequest request;
        std::function<void()> hook;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stop_ || next_.has_value(); });
            if (stop_) {
                return;
            }
            id = next_->first;
            request = std::move(next_->second);
            next_.reset();
            hook = beforeRead_;
        }
        if (hook) {
            hook();
        }
        TrendReadResult result;
        result.id = id;
        {
            ReaderConnection db(path_, fileName_);
            bool left = false;
            for (const TrendReadRequest::Relay& relay : request.relays) {
                if ((left = superseded(id))) {
                    break;
                }
                const quint64 span =
                    request.toMs > request.fromMs
                        ? static_cast<quint64>(request.toMs) - static_cast<quint64>(request.fromMs)
                        : 0;
                const TrendResolution resolution =
                    InsulationTrend::resolutionFor(static_cast<qint64>(std::min<quint64>(
                        span, static_cast<quint64>(std::numeric_limits<qint64>::max()))));
                result.series.push_back(
                    readTrendSeries(db, relay.address, request.fromMs, request.toMs, resolution));
                if (request.weekEndMs) {
                    result.weeks.push_back(
                        readTrendSeries(db, relay.address, *request.weekEndMs - 7 * kDayMs,
                                        *request.weekEndMs, TrendResolution::Hour));
                }
            }
            if (left) {
                continue;
            }
            if (request.maxMarks > 0) {
                for (const TrendReadRequest::Relay& relay : request.relays) {
                    if (relay.number <= 0) {
                        result.marks.push_back({});
                        continue;
                    }
                    result.marks.push_back(readMarks(
                        db, relay.number,
                        JournalKinds{JournalKind::ProtectionEvent, JournalKind::RelaySilent},
                        request.fromMs, request.toMs, request.maxMarks));
                }
                result.marks.push_back(readMarks(db, 0, JournalKinds{JournalKind::LinkLost},
                                                 request.fromMs, request.toMs, request.maxMarks));
            }
        }
        if (superseded(id)) {
            continue;
        }
        result.request = std::move(request);
        // Delivered on the making thread; dropped there should a newer request have come since.
        QMetaObject::invokeMethod(
            this, [this, r = std::move(result)]() mutable { deliver(std::move(r)); },
            Qt::QueuedConnection);
    }
}

void TrendReader::deliver(TrendReadResult result) {
    if (result.id != awaited_) {
        return;
    }
    awaited_ = 0;
    emit finished(result);
}

void mergePendingSamples(TrendSeries& series, const std::vector<InsulationSample>& pending,
                         qint64 fromMs, qint64 toMs) {
    std::vector<TrendPoint>& points = series.points;
    const auto at = [&points](qint64 timeMs) {
        return std::lower_bound(points.begin(), points.end(), timeMs,
                                [](const TrendPoint& p, qint64 t) { return p.timeMs < t; });
    };
    for (const InsulationSample& s : pending) {
        if (s.address != series.address) {
            continue;
        }
        const double kohm = s.insulationKohm;
        const double control = s.controlKohm;
        if (series.resolution == TrendResolution::Raw) {
            if (s.timeMs < fromMs || s.timeMs >= toMs) {
                continue;
            }
            auto it = at(s.timeMs);
            if (it == points.end() || it->timeMs != s.timeMs) {
                points.insert(it, TrendPoint{s.timeMs, kohm, kohm, kohm, control, 1});
            }
            continue;
        }
        const qint64 unit = series.resolution == TrendResolution::Hour ? kHourMs : kMinuteMs;
        const qint64 bucket = floorTo(s.timeMs, unit);
        // A bucket is read by its start, with every sample of it: one that starts before the
        // span is not in it, one that starts inside holds its samples past the span's end too.
        if (bucket < fromMs || bucket >= toMs) {
            continue;
        }
        auto it = at(bucket);
        if (it == points.end() || it->timeMs != bucket) {
            points.insert(it, TrendPoint{bucket, kohm, kohm, kohm, control, 1});
            continue;
        }
        const double n = it->count;
        it->mean = (it->mean * n + kohm) / (n + 1);
        it->controlMean = (it->controlMean * n + control) / (n + 1);
        it->min = std::min(it->min, kohm);
        it->max = std::max(it->max, kohm);
        ++it->count;
    }
}

}  // namespace terval

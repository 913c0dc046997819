#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <optional>
#include <vector>

#include "journal/journal.h"

namespace terval {

// The journal's records of one filter as the rows of a table, newest first, read a page at a
// time as the view scrolls down: a journal of years opens as fast as one of a day, and memory holds
// only the pages looked at, never more than `maxRows` of them.
//
// It needs nothing beyond QtCore and the journal, so that it can be tested without a window; the
// colour of a row is the window's business, which it learns from GroupRole.
class JournalTableModel : public QAbstractTableModel {
    Q_OBJECT
  public:
    enum Column { Time, Group, Relay, Address, Generator, Breaker, Text, ColumnCount };
    // The record's JournalGroup, as an int, on every cell of its row.
    static constexpr int GroupRole = Qt::UserRole + 1;
    static constexpr int kPageSize = 200;
    static constexpr int kMaxRows = 20'000;

    // `journal` may be null: a station without a journal shows an empty table.
    explicit JournalTableModel(Journal* journal, QObject* parent = nullptr,
                               int pageSize = kPageSize, int maxRows = kMaxRows);

    // Reads the first page of this filter, forgetting every row read before.
    void setFilter(const JournalFilter& filter);
    const JournalFilter& filter() const { return filter_; }
    // The first page of the filter again.
    void reload();
    // Puts the filter's records that came since the first row was read above it, as long as they
    // are on the first page; otherwise reads the first page again. The number of rows added, or
    // nothing when the table was read again.
    std::optional<int> prependNewer();

    // The record of a row, or nothing outside the rows read.
    const JournalEntry* entry(int row) const;
    // Why the last read failed; empty when it went well.
    const QString& error() const { return error_; }
    // Reading stopped at maxRows, with older records of the filter still in the journal.
    bool reachedLimit() const { return limited_; }
    int maxRows() const { return maxRows_; }
    int pageSize() const { return pageSize_; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;

  signals:
    // A read failed, or went well after one had failed: error() tells which.
    void errorChanged();
    // The rows reached maxRows with older records of the filter left unread.
    void limitReached();

  private:
    // Up to `limit` records after the cursor; the error is kept for error().
    std::vector<JournalEntry> readPage(int limit, std::optional<JournalCursor> after);
    void setError(const QString& error);
    // Once maxRows are read, nothing more is: finds out whether older records are left behind.
    void stopAtLimit();

    Journal* journal_;
    int pageSize_;
    int maxRows_;
    JournalFilter filter_;
    std::vector<JournalEntry> rows_;
    bool exhausted_ = true;  // the last page read came short: nothing older is left
    bool limited_ = false;
    QString error_;
};

}  // namespace terval

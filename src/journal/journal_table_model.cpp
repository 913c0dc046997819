#include "journal/journal_table_model.h"

#include <algorithm>

namespace terval {
namespace {

const QString kTimeFormat = QStringLiteral("dd.MM.yyyy HH:mm:ss");

// A reason for a lost link comes with the system's words on a line of their own; a table row is
// one line, and the whole text is under the mouse pointer.
QString oneLine(const QString& text) {
    QString line = text;
    line.replace(QLatin1String("\r\n"), QLatin1String(" "));
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    line.replace(QLatin1Char('\r'), QLatin1Char(' '));
    return line;
}

}  // namespace

JournalTableModel::JournalTableModel(Journal* journal, QObject* parent, int pageSize, int maxRows)
    : QAbstractTableModel(parent),
      journal_(journal),
      pageSize_(std::max(1, pageSize)),
      maxRows_(std::max(1, maxRows)) {}

void JournalTableModel::setFilter(const JournalFilter& filter) {
    filter_ = filter;
    reload();
}

void JournalTableModel::reload() {
    const int limit = std::min(pageSize_, maxRows_);
    std::vector<JournalEntry> first = readPage(limit, std::nullopt);
    beginResetModel();
    exhausted_ = !error_.isEmpty() || static_cast<int>(first.size()) < limit;
    limited_ = false;
    rows_ = std::move(first);
    endResetModel();
    stopAtLimit();
}

void JournalTableModel::stopAtLimit() {
    if (exhausted_ || rowCount() < maxRows_) {
        return;
    }
    exhausted_ = true;
    // Whether anything is left out, so that the window says so only when it is.
    limited_ = !readPage(1, cursorAfter(rows_.back())).empty();
    if (limited_) {
        emit limitReached();
    }
}

std::optional<int> JournalTableModel::prependNewer() {
    if (rows_.empty()) {
        reload();
        return std::nullopt;
    }
    const qint64 firstId = rows_.front().id;
    std::vector<JournalEntry> page = readPage(pageSize_, std::nullopt);
    if (!error_.isEmpty()) {
        return 0;
    }
    const auto known = std::find_if(page.begin(), page.end(),
                                    [firstId](const JournalEntry& e) { return e.id == firstId; });
    if (known == page.end()) {
        reload();
        return std::nullopt;
    }
    const int added = static_cast<int>(known - page.begin());
    if (added == 0) {
        return 0;
    }
    beginInsertRows({}, 0, added - 1);
    rows_.insert(rows_.begin(), std::make_move_iterator(page.begin()),
                 std::make_move_iterator(known));
    endInsertRows();
    // The oldest rows give way, so that a window left open for weeks holds no more than any other.
    const int excess = rowCount() - maxRows_;
    if (excess > 0) {
        beginRemoveRows({}, maxRows_, rowCount() - 1);
        rows_.resize(static_cast<size_t>(maxRows_));
        endRemoveRows();
        exhausted_ = true;
        limited_ = true;
        emit limitReached();
    }
    return added;
}

std::vector<JournalEntry> JournalTableModel::readPage(int limit,
                                                      std::optional<JournalCursor> after) {
    if (!journal_) {
        setError(QStringLiteral("Станция не ведёт журнал событий."));
        return {};
    }
    JournalRows page = journal_->read(filter_, limit, after);
    setError(page.error);
    return std::move(page.entries);
}

void JournalTableModel::setError(const QString& error) {
    if (error_ != error) {
        error_ = error;
        emit errorChanged();
    }
}

const JournalEntry* JournalTableModel::entry(int row) const {
    if (row < 0 || row >= rowCount()) {
        return nullptr;
    }
    return &rows_[static_cast<size_t>(row)];
}

int JournalTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int JournalTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant JournalTableModel::data(const QModelIndex& index, int role) const {
    const JournalEntry* e = index.isValid() ? entry(index.row()) : nullptr;
    if (!e) {
        return {};
    }
    if (role == GroupRole) {
        return static_cast<int>(journalGroup(e->kind));
    }
    if (role == Qt::TextAlignmentRole) {
        const bool number = index.column() == Relay || index.column() == Address;
        return QVariant::fromValue(Qt::AlignVCenter | (number ? Qt::AlignHCenter : Qt::AlignLeft));
    }
    if (role == Qt::ToolTipRole) {
        // What a narrow column cuts off, and a text of several lines whole.
        switch (index.column()) {
            case Text:
                return e->text;
            case Group:
                return journalKindName(e->kind);
            case Generator:
                return e->relay ? e->relay->generator : QString();
            case Breaker:
                return e->relay ? e->relay->breaker : QString();
            default:
                return {};
        }
    }
    if (role != Qt::DisplayRole) {
        return {};
    }
    switch (index.column()) {
        case Time:
            return e->localTime().toString(kTimeFormat);
        case Group:
            return journalGroupName(journalGroup(e->kind));
        case Relay:
            return e->relay ? QString::number(e->relay->number) : QString();
        case Address:
            return e->relay ? QString::number(e->relay->address) : QString();
        case Generator:
            return e->relay ? e->relay->generator : QString();
        case Breaker:
            return e->relay ? e->relay->breaker : QString();
        case Text:
            return oneLine(e->text);
        default:
            return {};
    }
}

QVariant JournalTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    switch (section) {
        case Time:
            return QStringLiteral("Дата и время");
        case Group:
            return QStringLiteral("Вид");
        case Relay:
            return QStringLiteral("Защита");
        case Address:
            return QStringLiteral("Адрес");
        case Generator:
            return QStringLiteral("Генератор");
        case Breaker:
            return QStringLiteral("Выключатель");
        case Text:
            return QStringLiteral("Событие");
        default:
            return {};
    }
}

bool JournalTableModel::canFetchMore(const QModelIndex& parent) const {
    return !parent.isValid() && !exhausted_;
}

void JournalTableModel::fetchMore(const QModelIndex& parent) {
    if (!canFetchMore(parent)) {
        return;
    }
    const int limit = std::min(pageSize_, maxRows_ - rowCount());
    std::vector<JournalEntry> page = readPage(limit, cursorAfter(rows_.back()));
    if (!error_.isEmpty()) {
        // Tried again only when the operator asks: a view would ask at every scroll.
        exhausted_ = true;
        return;
    }
    exhausted_ = static_cast<int>(page.size()) < limit;
    if (!page.empty()) {
        const int first = rowCount();
        beginInsertRows({}, first, first + static_cast<int>(page.size()) - 1);
        rows_.insert(rows_.end(), std::make_move_iterator(page.begin()),
                     std::make_move_iterator(page.end()));
        endInsertRows();
    }
    stopAtLimit();
}

}  // namespace terval

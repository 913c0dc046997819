#pragma once

#include <QString>
#include <QVector>

namespace terval {

// The alarm log: one line per protection event found, newest on top. It lives in memory only.
class AlarmLog {
  public:
    static constexpr int kMaxLines = 100;

    struct Line {
        QString text;
        bool isNew = true;  // red until the operator marks it seen, then green
    };

    const QVector<Line>& lines() const { return lines_; }
    int size() const { return static_cast<int>(lines_.size()); }
    bool isEmpty() const { return lines_.isEmpty(); }
    // The text of line i, or an empty text when there is no such line.
    QString text(int i) const { return i >= 0 && i < size() ? lines_[i].text : QString(); }

    // Inserts a new (red) line as line 0 and selects it; the oldest lines beyond 100 are dropped.
    void insertNew(const QString& text);
    void markSeen(int i);
    void remove(int i);
    void clear();

    // The selected line, the whole of it; -1 when nothing is selected.
    int selectedLine() const { return selected_; }
    void select(int i) { selected_ = i >= 0 && i < size() ? i : -1; }

    // The three commands of the log's pop-up menu: enabled once a relay has been checked for an
    // event while the log was empty, disabled again by "delete all".
    bool commandsEnabled = false;

  private:
    QVector<Line> lines_;
    int selected_ = -1;
};

}  // namespace terval

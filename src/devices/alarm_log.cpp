#include "devices/alarm_log.h"

namespace terval {

void AlarmLog::insertNew(const QString& text) {
    lines_.prepend(Line{text, true});
    selected_ = 0;
    while (size() > kMaxLines) {
        lines_.removeLast();
    }
}

void AlarmLog::markSeen(int i) {
    if (i >= 0 && i < size()) {
        lines_[i].isNew = false;
    }
}

void AlarmLog::remove(int i) {
    if (i >= 0 && i < size()) {
        lines_.remove(i);
    }
    select(selected_);
}

void AlarmLog::clear() {
    lines_.clear();
    selected_ = -1;
}

}  // namespace terval

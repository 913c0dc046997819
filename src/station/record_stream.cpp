#include "station/record_stream.h"

#include <algorithm>

namespace terval {

void RecordStream::addFeed(RecordFeed* feed) {
    if (feed != nullptr && !hasFeed(feed)) {
        feeds_.push_back(feed);
    }
}

void RecordStream::removeFeed(RecordFeed* feed) {
    const auto at = std::find(feeds_.begin(), feeds_.end(), feed);
    if (at == feeds_.end() || feed == nullptr) {
        return;
    }
    if (telling_) {
        *at = nullptr;
    } else {
        feeds_.erase(at);
    }
}

bool RecordStream::hasFeed(const RecordFeed* feed) const {
    return feed != nullptr && std::find(feeds_.begin(), feeds_.end(), feed) != feeds_.end();
}

void RecordStream::tell(Told told) {
    waiting_.push_back(std::move(told));
    if (telling_) {
        return;
    }
    telling_ = true;
    while (!waiting_.empty()) {
        const Told now = std::move(waiting_.front());
        waiting_.pop_front();
        // By index and up to the count when the telling began: a feed joining meanwhile is
        // appended and waits for the next record.
        const size_t count = feeds_.size();
        for (size_t i = 0; i < count; ++i) {
            RecordFeed* feed = feeds_[i];
            if (feed == nullptr) {
                continue;
            }
            if (const auto* entry = std::get_if<JournalEntry>(&now)) {
                feed->recorded(*entry);
            } else if (const auto* r = std::get_if<Reading>(&now)) {
                feed->statusRead(r->relay, r->reading);
            } else {
                const Levels& l = std::get<Levels>(now);
                feed->alarmLevelsRead(l.relay, l.signalKohm, l.tripKohm);
            }
        }
    }
    telling_ = false;
    feeds_.erase(std::remove(feeds_.begin(), feeds_.end(), nullptr), feeds_.end());
}

void RecordStream::recorded(const JournalEntry& entry) {
    tell(entry);
}

void RecordStream::statusRead(int relay, const StatusReading& reading) {
    tell(Reading{relay, reading});
}

void RecordStream::alarmLevelsRead(int relay, uint16_t signalKohm, uint16_t tripKohm) {
    tell(Levels{relay, signalKohm, tripKohm});
}

}  // namespace terval

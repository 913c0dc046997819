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
    if (telling_ > 0) {
        *at = nullptr;
    } else {
        feeds_.erase(at);
    }
}

bool RecordStream::hasFeed(const RecordFeed* feed) const {
    return feed != nullptr && std::find(feeds_.begin(), feeds_.end(), feed) != feeds_.end();
}

template <class Tell>
void RecordStream::tellAll(const Tell& tell) {
    ++telling_;
    // By index and up to the count when the telling began: a feed joining meanwhile is appended
    // and waits for the next record.
    const size_t count = feeds_.size();
    for (size_t i = 0; i < count; ++i) {
        if (RecordFeed* feed = feeds_[i]) {
            tell(*feed);
        }
    }
    if (--telling_ == 0) {
        feeds_.erase(std::remove(feeds_.begin(), feeds_.end(), nullptr), feeds_.end());
    }
}

void RecordStream::recorded(const JournalEntry& entry) {
    tellAll([&entry](RecordFeed& feed) { feed.recorded(entry); });
}

void RecordStream::insulationRead(int relay, uint16_t insulationKohm, uint16_t controlKohm,
                                  uint16_t serialNumber) {
    tellAll([&](RecordFeed& feed) {
        feed.insulationRead(relay, insulationKohm, controlKohm, serialNumber);
    });
}

}  // namespace terval

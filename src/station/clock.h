#pragma once

#include <QDateTime>

namespace terval {

// The computer's local date and time, injected so that tests run on a fixed clock.
class Clock {
  public:
    virtual ~Clock() = default;
    virtual QDateTime now() const = 0;
};

class SystemClock final : public Clock {
  public:
    QDateTime now() const override { return QDateTime::currentDateTime(); }
};

}  // namespace terval

#pragma once

#include <string>

namespace relaysim {

// Lines on stderr, each with the wall-clock time to the millisecond, so that a test log and the
// station's own log can be laid side by side.
class Logger {
  public:
    explicit Logger(bool traffic) : traffic_(traffic) {}

    // One request or answer; only with --log.
    void traffic(const std::string& text) const;
    // Something a person running the simulator should know about, always shown.
    void notice(const std::string& text) const;

    bool tracesTraffic() const { return traffic_; }

  private:
    bool traffic_;
};

}  // namespace relaysim

#pragma once

#include <QObject>
#include <QString>
#include <array>
#include <functional>
#include <memory>

class QSocketNotifier;

namespace terval {

// SIGTERM, SIGINT and SIGHUP, turned into a call on the event loop: the handler only writes the
// signal's number into a socket pair, which is all a signal handler may safely do; the loop reads
// it and calls `onSignal`. One at a time; the previous handlers come back when it goes.
class ExitSignals final : public QObject {
  public:
    explicit ExitSignals(std::function<void(int)> onSignal, QObject* parent = nullptr);
    ~ExitSignals() override;
    ExitSignals(const ExitSignals&) = delete;
    ExitSignals& operator=(const ExitSignals&) = delete;

    // Why the handlers could not be set; empty when they are.
    const QString& error() const { return error_; }

  private:
    void readSignals();

    std::function<void(int)> onSignal_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::array<int, 2> fds_{-1, -1};
    QString error_;
    bool installed_ = false;
};

// "SIGTERM", "SIGINT" or "SIGHUP" for the log; the number for any other.
QString exitSignalName(int signo);

}  // namespace terval

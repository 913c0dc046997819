#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

namespace terval::testing {

// relay-sim started for one test and stopped with it, driven through its command lines.
class RelaySimProcess {
  public:
    RelaySimProcess() = default;
    ~RelaySimProcess();

    // Starts it with these arguments and waits for its "listening" line; false on failure.
    bool start(const QStringList& arguments);
    // Sends one command and returns its one-line answer ("ok ..." or "error ...").
    QString command(const QString& line);
    void kill();
    void stop();

    int tcpPort() const { return port_; }
    QString listening() const { return listening_; }
    QString errors() const { return errors_; }

  private:
    QString readLine(int timeoutMs);

    QProcess process_;
    int port_ = 0;
    QString listening_;
    QString errors_;
};

}  // namespace terval::testing

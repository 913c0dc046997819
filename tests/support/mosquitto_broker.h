#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include "plant/mqtt_settings.h"

namespace terval::testing {

// A real broker for one test: /usr/sbin/mosquitto on a loopback port of its own, with a
// configuration, a log and, as asked, a password file and TLS certificates made in a temporary
// folder that goes with the object. It can be stopped and started again on the same port, so that
// a client sees its broker go away and come back.
//
//     MosquittoBroker broker;
//     ASSERT_TRUE(broker.start()) << broker.errors();
//     MosquittoClient client;
//     client.start(broker.clientSettings("st1"));
//
// The broker is started from the calling thread and dies with that thread (PR_SET_PDEATHSIG), so
// that a test killed half-way leaves none behind: start it from the test's own thread.
class MosquittoBroker {
  public:
    struct Options {
        // With a user, the broker takes that user with that password and nobody else (a password
        // file made with mosquitto_passwd); without one, it takes anyone.
        QString user;
        QByteArray password;
        // The listener speaks TLS only, with a certificate for 127.0.0.1 and localhost signed by a
        // certificate authority made for the test (openssl), whose certificate is caFile().
        bool tls = false;
        // Sessions, their queued messages and retained messages kept in the broker's folder
        // across stop() and start(), as a plant's broker keeps them across a restart.
        bool persistence = false;
    };

    MosquittoBroker();
    explicit MosquittoBroker(Options options);
    ~MosquittoBroker();
    MosquittoBroker(const MosquittoBroker&) = delete;
    MosquittoBroker& operator=(const MosquittoBroker&) = delete;

    // Starts the broker and waits (up to 5 s) until its port takes connections; again after
    // stop(), on the same port. False when it did not come up, with errors() saying why.
    bool start();
    // SIGTERM, and waits for it to end (SIGKILL after 5 s): its clients lose their connections,
    // and retained messages and sessions are gone unless the options ask for persistence.
    void stop();
    bool running() const;
    // SIGSTOP and SIGCONT: a paused broker keeps its connections open and answers nothing, as one
    // that hangs or is cut off by the network does.
    void pause();
    void resume();

    QString host() const { return QStringLiteral("127.0.0.1"); }
    // Chosen free when the object is made, so known before the first start().
    int port() const { return port_; }
    // With TLS: the certificate authority that signed the broker's certificate, and one that did
    // not (a client trusting only that one must refuse the broker). Empty without TLS.
    QString caFile() const;
    QString otherCaFile() const;
    const Options& options() const { return options_; }

    // Settings for a station publishing to this broker: host, port, prefix "terval", the station
    // name, client id "terval-<station>", and the user, password and CA file of the options.
    MqttSettings clientSettings(const QString& station = QStringLiteral("test")) const;

    // What the broker wrote to its log (every type), for a failing test's message.
    QString log() const;
    // Why start() failed; empty otherwise.
    QString errors() const { return errors_; }

  private:
    bool prepare();
    bool run(const QString& program, const QStringList& arguments);
    bool writeConfig();
    QString path(const QString& name) const;

    Options options_;
    QTemporaryDir dir_;
    QProcess process_;
    int port_ = 0;
    bool prepared_ = false;
    QString errors_;
};

// A peer that takes TCP connections on a loopback port of its own and never says a word: the
// kernel completes every handshake, nobody reads. A client connecting there waits for a CONNACK
// that never comes, as with a broker hung before it answered.
class SilentListener {
  public:
    SilentListener();
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;

    bool listening() const { return fd_ >= 0; }
    int port() const { return port_; }
    // Settings for a station publishing here, as MosquittoBroker::clientSettings() gives them.
    MqttSettings clientSettings(const QString& station = QStringLiteral("test")) const;

  private:
    int fd_ = -1;
    int port_ = 0;
};

}  // namespace terval::testing

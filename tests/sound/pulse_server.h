#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <chrono>
#include <functional>

namespace terval::testing {

// A PulseAudio daemon of the test's own: one null sink (a sound card that plays into nothing,
// with a monitor to record what reached it), its socket and all its state in a temporary folder,
// stopped with the test. It runs as root too: PulseAudio only warns then.
class PulseServer {
  public:
    static constexpr const char* kSink = "terval_test_sink";

    PulseServer();
    ~PulseServer();
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    // Whether it takes clients; errors() says why not.
    bool start();
    void stop();
    const QString& errors() const { return errors_; }
    // "unix:<folder>/native"
    QString address() const;

    // Sends this process's sound here: libpulse reads where its server is, and its own settings,
    // once, when the process first asks for an audio device; so this comes before anything
    // touches Qt Multimedia, and a process has one server for its life.
    void useInThisProcess() const;

    // The streams playing into the sink now (not corked); -1 when pactl cannot tell.
    int playingStreams() const;

  private:
    QTemporaryDir dir_;
    QProcess process_;
    QString errors_;
};

// What reached the server's sink, recorded from its monitor as 16-bit mono at 44.1 kHz for as
// long as it lives.
class SinkRecorder {
  public:
    static constexpr int kRate = 44100;

    explicit SinkRecorder(const PulseServer& server);
    ~SinkRecorder();
    SinkRecorder(const SinkRecorder&) = delete;
    SinkRecorder& operator=(const SinkRecorder&) = delete;

    bool recording() const { return process_.state() == QProcess::Running; }
    // Samples recorded so far.
    qsizetype samples() const { return bytes_.size() / 2; }
    // The loudest sample's magnitude in [from, to), 0 to 32767.
    int peak(qsizetype from, qsizetype to) const;

  private:
    QProcess process_;
    QByteArray bytes_;
};

// Runs the Qt event loop (the sound is fed from it) until `condition` holds or `timeout` has
// passed (stretched by the test time scale); whether it held.
bool pumpUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

}  // namespace terval::testing

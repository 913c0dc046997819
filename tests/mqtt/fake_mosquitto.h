#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "mqtt/mosquitto_api.h"
#include "plant/mqtt_client.h"

namespace terval::testing {

// The library under MosquittoClient, played by the test: it keeps what libmosquitto would keep
// (messages in flight, QoS 0 ones forgotten when the connection goes, QoS 1 and 2 ones sent again
// after the next connect callback) and says nothing on its own. The test scripts what the network
// does — the broker's CONNACK, an acknowledgement of message N, the connection gone — and loop(),
// on the client's network thread, calls back with it in that order.
struct FakeBroker {
    enum class Net { None, Connecting, Connected };
    enum class Step { Connack, Ack, Drop };
    struct Scripted {
        Step step;
        int value = 0;  // the CONNACK's code, or the acknowledged message's id
    };
    struct Held {
        int mid;
        MqttMessage message;
    };
    // What happened, in order: a message put on the wire of connection `connection` (1 the
    // first), or acknowledged.
    struct Seen {
        bool acked = false;
        int connection = 0;
        MqttMessage message;
    };

    std::mutex mutex;
    std::condition_variable changed;

    std::deque<Scripted> script;
    Net net = Net::None;
    int attempts = 0;  // connectAsync() and reconnectAsync() called
    int connections = 0;
    bool looping = false;       // loop() waits with nothing to deliver
    bool closing = false;       // DISCONNECT asked for, not yet written
    bool connectHangs = false;  // connectAsync() waits until this is false (a name lookup)
    bool ackAtOnce = false;     // acknowledged before publish() returns the id
    int disconnects = 0;
    int alive = 0;  // libraries made and not yet destroyed
    int nextMid = 1;
    std::vector<Held> held;  // published, not yet acknowledged or written, in order
    std::vector<Seen> seen;
    std::vector<std::string> violations;

    // Messages the library holds for the station, its "online" apart.
    int stationHeld() const;
    // Noted, the first few only: one fault repeats itself thousands of times.
    void violate(const std::string& what);
    void push(Step step, int value = 0);
};

class FakeMosquitto final : public MosquittoApi {
  public:
    explicit FakeMosquitto(std::shared_ptr<FakeBroker> broker);
    ~FakeMosquitto() override;

    int create(const QByteArray& clientId, int sendMaximum, Callbacks& callbacks) override;
    int setWill(const QByteArray& topic, const QByteArray& payload, int qos, bool retain) override;
    int setUser(const QByteArray& user, const QByteArray& password) override;
    int setTls(const QByteArray& caFile) override;
    int connectAsync(const QByteArray& host, int port, int keepaliveSeconds) override;
    int reconnectAsync() override;
    int loop(int timeoutMs) override;
    int publish(int* mid, const QByteArray& topic, const QByteArray& payload, int qos,
                bool retain) override;
    int disconnect() override;

  private:
    int attempt();
    void onWire(const MqttMessage& message);

    std::shared_ptr<FakeBroker> broker_;
    Callbacks* callbacks_ = nullptr;
    int sendMaximum_ = 0;
};

}  // namespace terval::testing

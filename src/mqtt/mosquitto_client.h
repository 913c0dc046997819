#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "mqtt/mosquitto_api.h"
#include "plant/mqtt_client.h"

namespace terval {

// The pauses between attempts to connect: the first, doubled after each failure up to the longest.
struct MosquittoTiming {
    std::chrono::milliseconds firstPause{1000};
    std::chrono::milliseconds longestPause{30000};
};

// MqttClient on libmosquitto. A network thread of ours runs libmosquitto's loop and starts every
// attempt to connect, after a pause of 1 s that doubles up to 30 s (libmosquitto's own thread
// stops trying for good after some failures); a hand-over thread of ours gives libmosquitto the
// messages the station hands over, only while connected and at most 20 not yet acknowledged (QoS
// 1, 2) or written (QoS 0) at a time. "online" is said from libmosquitto's connect callback, ahead
// of both. No call from the owner's thread waits on the network: start() returns at once, and
// stop() within a second; a thread still stuck then (a name lookup) is let go and ends by itself.
class MosquittoClient final : public MqttClient {
  public:
    using MakeApi = std::function<std::unique_ptr<MosquittoApi>()>;
    using Timing = MosquittoTiming;

    explicit MosquittoClient(int capacity = 256);
    // Over another library than libmosquitto itself (the tests' broker): one made for each start.
    MosquittoClient(MakeApi makeApi, int capacity, Timing timing = {});
    ~MosquittoClient() override;
    MosquittoClient(const MosquittoClient&) = delete;
    MosquittoClient& operator=(const MosquittoClient&) = delete;

    void start(const MqttSettings& settings) override;
    std::vector<MqttMessage> stop(const MqttMessage& last = {}) override;
    BrokerStatus status() const override;
    bool send(const MqttMessage& message) override;
    int pending() const override;
    int capacity() const override;
    std::vector<uint64_t> acknowledged() override;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The operator's words for a broker's refusal (its CONNACK code), and for an attempt that failed
// or a connection that went (libmosquitto's code, errno then, the last error it logged), headed
// "нет связи с брокером: ": for the plant program's subscriber as for the station.
QString brokerRefusalText(int connack, bool withUser);
QString brokerFailureText(int rc, int error, const QByteArray& logged, const QString& host);

}  // namespace terval

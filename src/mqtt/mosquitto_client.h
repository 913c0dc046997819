#pragma once

#include <memory>

#include "plant/mqtt_client.h"

namespace terval {

// MqttClient on libmosquitto. A network thread of ours runs libmosquitto's loop and starts every
// attempt to connect, after a pause of 1 s that doubles up to 30 s (libmosquitto's own thread
// stops trying for good after some failures); a hand-over thread of ours gives libmosquitto the
// messages the station hands over, only while connected and at most 20 not yet acknowledged (QoS
// 1, 2) or written (QoS 0) at a time. "online" is said from libmosquitto's connect callback, ahead
// of both. No call from the UI thread waits on the network: start() returns at once, and only
// stop() waits, a few seconds at most.
class MosquittoClient final : public MqttClient {
  public:
    explicit MosquittoClient(int capacity = 256);
    ~MosquittoClient() override;
    MosquittoClient(const MosquittoClient&) = delete;
    MosquittoClient& operator=(const MosquittoClient&) = delete;

    void start(const MqttSettings& settings) override;
    void stop(const MqttMessage& last = {}) override;
    BrokerStatus status() const override;
    bool send(const MqttMessage& message) override;
    int pending() const override;
    int capacity() const override;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace terval

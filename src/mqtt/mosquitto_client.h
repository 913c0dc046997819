#pragma once

#include <memory>

#include "plant/mqtt_client.h"

namespace terval {

// MqttClient on libmosquitto: libmosquitto's own network thread keeps the connection (reconnecting
// by itself with a growing pause), and a hand-over thread of ours feeds it the messages the
// station gives, so that no call from the UI thread ever waits on the network.
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

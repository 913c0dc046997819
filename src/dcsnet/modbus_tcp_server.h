#pragma once

#include <atomic>
#include <mutex>
#include <thread>

#include "dcs/map_server.h"

typedef struct _modbus modbus_t;

namespace terval {

// The map served over Modbus TCP on libmodbus: one thread, one select() loop over the listening
// socket and every client, all of them non-blocking, so that a client that sends half a request
// and stops holds up no other; libmodbus frames the answers.
class ModbusTcpServer final : public MapServer {
  public:
    ModbusTcpServer();
    ~ModbusTcpServer() override;
    ModbusTcpServer(const ModbusTcpServer&) = delete;
    ModbusTcpServer& operator=(const ModbusTcpServer&) = delete;

    QString start(const DcsServerSettings& settings,
                  std::function<void(const MapServerEvent&)> tell) override;
    void stop() override;
    int port() const override { return port_; }
    void publish(std::shared_ptr<const station_map::StationMapImage> image) override;

  private:
    struct Client;
    void run();
    std::shared_ptr<const station_map::StationMapImage> newestImage();

    DcsServerSettings settings_;
    std::function<void(const MapServerEvent&)> tell_;
    modbus_t* ctx_ = nullptr;
    int listenFd_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::mutex imageLock_;
    std::shared_ptr<const station_map::StationMapImage> image_;
};

}  // namespace terval

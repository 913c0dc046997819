#pragma once

#include <map>
#include <string>

#include "modbus_server.h"

namespace relaysim {

// Modbus TCP on one listening address. Any number of stations may connect, one after another or
// at the same time; each connection is served as requests arrive on it.
class TcpServer : public ModbusServer {
  public:
    // Throws std::runtime_error when the address cannot be listened on.
    TcpServer(Simulator& simulator, const Logger& log, const std::string& host, uint16_t port);
    ~TcpServer() override;

    std::string listeningLine() const override;
    void addPollFds(std::vector<pollfd>& fds) const override;
    void handlePoll(const std::vector<pollfd>& fds, TimePoint now) override;
    int closeConnections() override;

  protected:
    modbus_t* contextFor(ConnectionId connection, uint8_t unit) override;
    bool sendRaw(ConnectionId connection, const std::vector<uint8_t>& bytes) override;
    std::vector<uint8_t> frameAnswer(const std::vector<uint8_t>& requestAdu, uint8_t unit,
                                     const std::vector<uint8_t>& pdu, bool badCrc) override;
    void closeConnection(ConnectionId connection) override;
    std::string connectionName(ConnectionId connection) const override;

  private:
    struct Client {
        int fd = -1;
        std::string peer;
    };

    void acceptClient();
    void serve(ConnectionId id, TimePoint now);

    int listenFd_ = -1;
    std::string boundHost_;
    uint16_t boundPort_ = 0;
    modbus_t* ctx_ = nullptr;
    std::map<ConnectionId, Client> clients_;
    ConnectionId nextId_ = 1;
};

}  // namespace relaysim

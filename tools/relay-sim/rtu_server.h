#pragma once

#include <optional>
#include <string>

#include "modbus_server.h"
#include "rtu_framer.h"

namespace relaysim {

// Modbus RTU on a tty, for every relay address at once. libmodbus 3.1.6 drops a request whose
// address is not its context's own, so the frames are cut here and only the answering goes
// through libmodbus, with the context switched to the request's address each time.
class RtuServer : public ModbusServer {
  public:
    // Throws std::runtime_error when the line cannot be opened.
    RtuServer(Simulator& simulator, const Logger& log, const std::string& path, int baud,
              char parity, int stopBits);
    ~RtuServer() override;

    std::string listeningLine() const override;
    void addPollFds(std::vector<pollfd>& fds) const override;
    void handlePoll(const std::vector<pollfd>& fds, TimePoint now) override;
    std::optional<TimePoint> deadline() const override;
    void handleTimers(TimePoint now) override;

  protected:
    modbus_t* contextFor(ConnectionId connection, uint8_t unit) override;
    bool sendRaw(ConnectionId connection, const std::vector<uint8_t>& bytes) override;
    std::vector<uint8_t> frameAnswer(const std::vector<uint8_t>& requestAdu, uint8_t unit,
                                     const std::vector<uint8_t>& pdu, bool badCrc) override;
    void closeConnection(ConnectionId) override {}
    std::string connectionName(ConnectionId connection) const override;

  private:
    void take(const std::vector<RtuFrame>& frames, TimePoint now);
    void hangUp(TimePoint now);

    std::string path_;
    std::chrono::microseconds silence_;
    modbus_t* ctx_ = nullptr;
    int fd_ = -1;
    RtuFramer framer_;
    // A new number each time the line is opened, so that answers queued for a line that went
    // away are not written into its successor.
    ConnectionId line_ = 1;
    std::optional<TimePoint> reopenAt_;
};

}  // namespace relaysim

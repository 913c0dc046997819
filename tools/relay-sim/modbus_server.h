#pragma once

#include <poll.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "logger.h"
#include "simulator.h"

typedef struct _modbus modbus_t;

namespace relaysim {

// What the TCP and RTU servers share: turning the simulator's decision about a request into
// bytes on the line, now or later, whole or in pieces. Plain answers go out through libmodbus;
// answers a misbehaviour has to shape (a bad CRC, a split, a doubled or foreign frame, an
// exception code libmodbus will not send) are built here. What has to wait (a late answer, the
// later pieces of a split one) is queued for handleTimers, never waited for, so requests that come
// meanwhile are answered at once.
class ModbusServer {
  public:
    ModbusServer(Simulator& simulator, const Logger& log);
    virtual ~ModbusServer();
    ModbusServer(const ModbusServer&) = delete;
    ModbusServer& operator=(const ModbusServer&) = delete;

    // "listening tcp 127.0.0.1 5020" or "listening rtu /dev/pts/3".
    virtual std::string listeningLine() const = 0;

    virtual void addPollFds(std::vector<pollfd>& fds) const = 0;
    virtual void handlePoll(const std::vector<pollfd>& fds, TimePoint now) = 0;

    // The earliest moment handleTimers has something to do.
    virtual std::optional<TimePoint> deadline() const;
    virtual void handleTimers(TimePoint now);

    // Drops every client connection; the number dropped.
    virtual int closeConnections() { return 0; }

  protected:
    using ConnectionId = uint64_t;

    // A libmodbus context that answers on this connection as this unit, or null when the
    // connection has gone.
    virtual modbus_t* contextFor(ConnectionId connection, uint8_t unit) = 0;
    virtual bool sendRaw(ConnectionId connection, const std::vector<uint8_t>& bytes) = 0;
    // The whole answer ADU to `requestAdu` (as received) around `pdu`, under `unit`.
    virtual std::vector<uint8_t> frameAnswer(const std::vector<uint8_t>& requestAdu, uint8_t unit,
                                             const std::vector<uint8_t>& pdu, bool badCrc) = 0;
    virtual void closeConnection(ConnectionId connection) = 0;
    virtual std::string connectionName(ConnectionId connection) const = 0;

    void process(ConnectionId connection, const std::vector<uint8_t>& adu, const Request& request,
                 TimePoint now);

    Simulator& simulator_;
    const Logger& log_;

  private:
    struct Pending {
        TimePoint due;
        uint64_t order;
        std::function<void()> run;
    };

    void at(TimePoint due, TimePoint now, std::function<void()> run);
    void replyThroughLibmodbus(ConnectionId connection, const std::vector<uint8_t>& adu,
                               const Request& request, const Decision& decision);
    void sendPiece(ConnectionId connection, const std::vector<uint8_t>& bytes,
                   const std::string& what);

    std::vector<Pending> pending_;
    uint64_t order_ = 0;
    // When the last piece of a split answer on each connection is due.
    std::map<ConnectionId, TimePoint> busyUntil_;
};

std::string describeRequest(const Request& request);

}  // namespace relaysim

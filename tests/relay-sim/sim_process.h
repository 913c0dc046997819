#pragma once

#include <modbus.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/wait_until.h"

namespace relaysim::test {

using namespace std::chrono_literals;

// A child process with its stdin, stdout and (optionally) stderr on pipes. The destructor stops
// it (SIGTERM, then SIGKILL) if it is still running.
class ChildProcess {
  public:
    ChildProcess(const std::vector<std::string>& argv, bool captureStderr);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void write(const std::string& text);
    void closeStdin();
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    // Everything written to stderr until it is closed (or the timeout).
    std::string readStderr(std::chrono::milliseconds timeout);
    // The exit status, or nullopt when it has not ended within the timeout.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    void signal(int signal);
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    int stderr_ = -1;
    std::string pending_;
    std::optional<int> status_;
};

// relay-sim started on a line, ready once it has said where it listens.
class Simulator {
  public:
    explicit Simulator(std::vector<std::string> args, bool captureStderr = false);

    // The simulator's one-line answer to a control command.
    std::string command(const std::string& line);
    int port() const { return port_; }
    const std::string& listening() const { return listening_; }
    ChildProcess& process() { return *process_; }

  private:
    std::unique_ptr<ChildProcess> process_;
    std::string listening_;
    int port_ = 0;
};

// A pair of connected ptys made by socat, found under two link names in a fresh folder.
class PtyPair {
  public:
    PtyPair();
    ~PtyPair();
    const std::string& simulatorEnd() const { return simEnd_; }
    const std::string& stationEnd() const { return stationEnd_; }
    const std::string& folder() const { return folder_; }

  private:
    std::string folder_;
    std::string simEnd_;
    std::string stationEnd_;
    std::unique_ptr<ChildProcess> socat_;
};

struct ModbusFree {
    void operator()(modbus_t* ctx) const {
        modbus_close(ctx);
        modbus_free(ctx);
    }
};
using ModbusPtr = std::unique_ptr<modbus_t, ModbusFree>;

ModbusPtr tcpClient(int port, int unit, std::chrono::milliseconds responseTimeout = 1000ms);
ModbusPtr rtuClient(const std::string& path, int unit,
                    std::chrono::milliseconds responseTimeout = 1000ms);
void setResponseTimeout(modbus_t* ctx, std::chrono::milliseconds timeout);

// Reads `count` registers; empty (with errno kept in lastError) when the read fails.
std::vector<uint16_t> readRegisters(modbus_t* ctx, int first, int count, int* lastError = nullptr);

// The values of a "get" reply ("ok 1 2 3").
std::vector<uint16_t> valuesOf(const std::string& reply);

using terval::testing::waitUntil;

// Raw access to the station end of a pty, bytes as the station sends and gets them.
class RawLine {
  public:
    explicit RawLine(const std::string& path);
    ~RawLine();
    void send(const std::vector<uint8_t>& bytes);
    // Whatever arrives within the time.
    std::vector<uint8_t> receiveFor(std::chrono::milliseconds time);
    // Until `count` bytes are in or the timeout.
    std::vector<uint8_t> receive(size_t count, std::chrono::milliseconds timeout);
    // Whether bytes are there to be read right now.
    bool waiting() const;
    int fd() const { return fd_; }

  private:
    int fd_ = -1;
};

std::vector<uint8_t> withCrc(std::vector<uint8_t> bytes);
bool crcGood(const std::vector<uint8_t>& frame);

}  // namespace relaysim::test

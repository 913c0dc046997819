#include "sim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "crc16.h"

namespace relaysim::test {

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<int64_t>(left.count(), 0));
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, bool captureStderr) {
    int in[2];
    int out[2];
    int err[2] = {-1, -1};
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 ||
        (captureStderr && pipe2(err, O_CLOEXEC) != 0)) {
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0) {
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    }
    if (pid_ == 0) {
        // Should the test die, its simulator and socat go with it.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        if (captureStderr) {
            dup2(err[1], STDERR_FILENO);
        }
        execvp(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
    if (captureStderr) {
        close(err[1]);
        stderr_ = err[0];
    }
}

ChildProcess::~ChildProcess() {
    if (!status_) {
        signal(SIGTERM);
        if (!wait(3000ms)) {
            signal(SIGKILL);
            wait(3000ms);
        }
    }
    for (int fd : {stdin_, stdout_, stderr_}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

void ChildProcess::write(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(stdin_, text.data() + done, text.size() - done);
        if (n <= 0) {
            throw std::runtime_error("cannot write to the child's stdin");
        }
        done += static_cast<size_t>(n);
    }
}

void ChildProcess::closeStdin() {
    if (stdin_ >= 0) {
        close(stdin_);
        stdin_ = -1;
    }
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (const size_t nl = pending_.find('\n'); nl != std::string::npos) {
            std::string line = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            return line;
        }
        pollfd p{stdout_, POLLIN, 0};
        if (poll(&p, 1, remainingMs(deadline)) <= 0) {
            return std::nullopt;
        }
        char buffer[4096];
        const ssize_t n = read(stdout_, buffer, sizeof buffer);
        if (n <= 0) {
            return std::nullopt;
        }
        pending_.append(buffer, static_cast<size_t>(n));
    }
}

std::string ChildProcess::readStderr(std::chrono::milliseconds timeout) {
    std::string text;
    const auto deadline = Clock::now() + timeout;
    while (stderr_ >= 0) {
        pollfd p{stderr_, POLLIN, 0};
        if (poll(&p, 1, remainingMs(deadline)) <= 0) {
            break;
        }
        char buffer[4096];
        const ssize_t n = read(stderr_, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!status_) {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (r < 0 || Clock::now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(5ms);
    }
    return status_;
}

void ChildProcess::signal(int signal) {
    if (!status_ && pid_ > 0) {
        kill(pid_, signal);
    }
}

Simulator::Simulator(std::vector<std::string> args, bool captureStderr) {
    args.insert(args.begin(), RELAY_SIM_BINARY);
    process_ = std::make_unique<ChildProcess>(args, captureStderr);
    const auto line = process_->readLine(5000ms);
    if (!line || line->rfind("listening ", 0) != 0) {
        throw std::runtime_error("relay-sim did not start: " + line.value_or("(nothing)"));
    }
    listening_ = *line;
    if (listening_.rfind("listening tcp ", 0) == 0) {
        port_ = std::atoi(listening_.substr(listening_.rfind(' ') + 1).c_str());
    }
}

std::string Simulator::command(const std::string& line) {
    process_->write(line + "\n");
    return process_->readLine(3000ms).value_or("(no reply)");
}

PtyPair::PtyPair() {
    char folder[] = "/tmp/relay-sim-test-XXXXXX";
    if (!mkdtemp(folder)) {
        throw std::runtime_error("mkdtemp failed");
    }
    folder_ = folder;
    simEnd_ = folder_ + "/relay";
    stationEnd_ = folder_ + "/station";
    socat_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"socat", "-d", "-d", "pty,raw,echo=0,link=" + simEnd_,
                                 "pty,raw,echo=0,link=" + stationEnd_},
        true);
    const auto deadline = Clock::now() + 5s;
    while (!(std::filesystem::exists(simEnd_) && std::filesystem::exists(stationEnd_))) {
        if (Clock::now() > deadline || socat_->wait(0ms)) {
            throw std::runtime_error("socat did not make the pty pair: " +
                                     socat_->readStderr(100ms));
        }
        std::this_thread::sleep_for(5ms);
    }
}

PtyPair::~PtyPair() {
    socat_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

void setResponseTimeout(modbus_t* ctx, std::chrono::milliseconds timeout) {
    modbus_set_response_timeout(ctx, static_cast<uint32_t>(timeout.count() / 1000),
                                static_cast<uint32_t>(timeout.count() % 1000 * 1000));
}

ModbusPtr tcpClient(int port, int unit, std::chrono::milliseconds responseTimeout) {
    ModbusPtr ctx(modbus_new_tcp("127.0.0.1", port));
    if (!ctx || modbus_connect(ctx.get()) != 0) {
        throw std::runtime_error(std::string("cannot connect: ") + modbus_strerror(errno));
    }
    modbus_set_slave(ctx.get(), unit);
    setResponseTimeout(ctx.get(), responseTimeout);
    return ctx;
}

ModbusPtr rtuClient(const std::string& path, int unit, std::chrono::milliseconds responseTimeout) {
    ModbusPtr ctx(modbus_new_rtu(path.c_str(), 38400, 'N', 8, 1));
    if (!ctx || modbus_connect(ctx.get()) != 0) {
        throw std::runtime_error("cannot open " + path + ": " + modbus_strerror(errno));
    }
    modbus_set_slave(ctx.get(), unit);
    setResponseTimeout(ctx.get(), responseTimeout);
    return ctx;
}

std::vector<uint16_t> readRegisters(modbus_t* ctx, int first, int count, int* lastError) {
    std::vector<uint16_t> words(static_cast<size_t>(count));
    const int n = modbus_read_registers(ctx, first, count, words.data());
    if (lastError) {
        *lastError = n < 0 ? errno : 0;
    }
    if (n != count) {
        return {};
    }
    return words;
}

std::vector<uint16_t> valuesOf(const std::string& reply) {
    std::istringstream in(reply);
    std::string ok;
    in >> ok;
    std::vector<uint16_t> values;
    unsigned v = 0;
    while (in >> v) {
        values.push_back(static_cast<uint16_t>(v));
    }
    return values;
}

RawLine::RawLine(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) {
        throw std::runtime_error("cannot open " + path);
    }
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    tcsetattr(fd_, TCSANOW, &t);
}

RawLine::~RawLine() {
    close(fd_);
}

void RawLine::send(const std::vector<uint8_t>& bytes) {
    if (::write(fd_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        throw std::runtime_error("short write to the pty");
    }
}

std::vector<uint8_t> RawLine::receiveFor(std::chrono::milliseconds time) {
    return receive(SIZE_MAX, time);
}

std::vector<uint8_t> RawLine::receive(size_t count, std::chrono::milliseconds timeout) {
    std::vector<uint8_t> bytes;
    const auto deadline = Clock::now() + timeout;
    while (bytes.size() < count) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, remainingMs(deadline)) <= 0) {
            break;
        }
        uint8_t buffer[512];
        const ssize_t n = read(fd_, buffer, std::min(sizeof buffer, count - bytes.size()));
        if (n <= 0) {
            break;
        }
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    return bytes;
}

bool RawLine::waiting() const {
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

std::vector<uint8_t> withCrc(std::vector<uint8_t> bytes) {
    const uint16_t crc = crc16Modbus(bytes.data(), bytes.size());
    bytes.push_back(static_cast<uint8_t>(crc & 0xFF));
    bytes.push_back(static_cast<uint8_t>(crc >> 8));
    return bytes;
}

bool crcGood(const std::vector<uint8_t>& frame) {
    if (frame.size() < 4) {
        return false;
    }
    return withCrc({frame.begin(), frame.end() - 2}) == frame;
}

}  // namespace relaysim::test

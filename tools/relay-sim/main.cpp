// relay-sim: simulated relays on Modbus TCP or RTU, driven by commands on stdin.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <random>
#include <stdexcept>

#include "calendar.h"
#include "command.h"
#include "control_channel.h"
#include "logger.h"
#include "options.h"
#include "rtu_server.h"
#include "simulator.h"
#include "tcp_server.h"

namespace {

volatile sig_atomic_t stopSignal = 0;

void onStopSignal(int signal) {
    stopSignal = signal;
}

// SIGTERM and SIGINT are only let through while waiting in ppoll, so a stop is never lost
// between checking the flag and going to sleep.
sigset_t installSignals() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, nullptr);
    // Started in the background of a terminal, reading stdin must fail, not stop the process.
    sigaction(SIGTTIN, &ignore, nullptr);
    struct sigaction stop {};
    stop.sa_handler = onStopSignal;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &blocked, &previous);
    sigdelset(&previous, SIGTERM);
    sigdelset(&previous, SIGINT);
    return previous;
}

std::optional<relaysim::TimePoint> earliest(std::optional<relaysim::TimePoint> a,
                                            std::optional<relaysim::TimePoint> b) {
    if (!a) {
        return b;
    }
    if (!b) {
        return a;
    }
    return std::min(*a, *b);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace relaysim;
    const sigset_t waitMask = installSignals();

    const ParsedOptions parsed = parseOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "relay-sim: %s\nTry 'relay-sim --help' for the options.\n",
                     parsed.error.c_str());
        return 2;
    }
    const Options& options = parsed.options;
    if (options.help) {
        std::fputs(usageText().c_str(), stdout);
        return 0;
    }

    const Logger log(options.log);
    const uint32_t seed = options.seed ? *options.seed : std::random_device{}();
    const CivilTime startedAt = localNow();
    // Stored protocols dated after the start would be newer than the events the relays make
    // from now on.
    if (options.historyEnd && secondsFromCivil(*options.historyEnd) > secondsFromCivil(startedAt)) {
        std::fprintf(stderr,
                     "relay-sim: --history-end is later than now\nTry 'relay-sim --help' for the "
                     "options.\n");
        return 2;
    }
    Simulator simulator(options.link, options.relays, startedAt, SteadyClock::now(), seed,
                        options.historyEnd);
    for (const DriftOption& drift : options.drifts) {
        const Target target =
            drift.relay ? Target{Target::Kind::One, *drift.relay} : Target{Target::Kind::All, 0};
        log.traffic(
            simulator.setDrift(target, drift.kohmPerHour, drift.noiseKohm, SteadyClock::now()));
    }
    if (options.eventEvery) {
        simulator.scheduleEvents(*options.eventEvery, options.eventRelay, SteadyClock::now());
        log.traffic("events every " + std::to_string(*options.eventEvery) + " s, seed " +
                    std::to_string(seed));
    }

    std::unique_ptr<ModbusServer> server;
    std::unique_ptr<ControlChannel> control;
    try {
        if (options.link == LinkKind::Tcp) {
            server = std::make_unique<TcpServer>(simulator, log, options.host, options.port);
        } else {
            server = std::make_unique<RtuServer>(simulator, log, options.ttyPath, options.baud,
                                                 options.parity, options.stopBits);
        }
        control = std::make_unique<ControlChannel>(options.readStdin, defaultStdinEnd(),
                                                   options.controlPath);
    } catch (const std::runtime_error& e) {
        std::fprintf(stderr, "relay-sim: %s\n", e.what());
        return 1;
    }
    ControlChannel::reply(STDOUT_FILENO, server->listeningLine());

    bool quit = false;
    std::vector<pollfd> fds;
    while (!quit && !stopSignal && !control->stdinEndedQuit()) {
        fds.clear();
        control->addPollFds(fds);
        server->addPollFds(fds);
        timespec timeout{};
        timespec* wait = nullptr;
        if (const auto due = earliest(server->deadline(), simulator.nextEventDue())) {
            const auto left = std::max(*due - SteadyClock::now(), SteadyClock::duration::zero());
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            timeout.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
            timeout.tv_nsec = static_cast<long>(ns % 1'000'000'000);
            wait = &timeout;
        }
        const int ready = ppoll(fds.data(), fds.size(), wait, &waitMask);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::perror("relay-sim: ppoll");
            return 1;
        }
        const TimePoint now = SteadyClock::now();
        for (const ControlChannel::Line& line : control->handlePoll(fds)) {
            if (line.tooLong) {
                ControlChannel::reply(line.replyFd, "error line too long");
                continue;
            }
            const ParsedLine parsedLine = parseCommand(line.text);
            if (parsedLine.kind == ParsedLine::Kind::Blank) {
                continue;
            }
            if (parsedLine.kind == ParsedLine::Kind::Error) {
                ControlChannel::reply(line.replyFd, "error " + parsedLine.error);
                continue;
            }
            CommandResult result = simulator.execute(parsedLine.command, now);
            if (result.action == CommandResult::Action::CloseConnections) {
                const int closed = server->closeConnections();
                result.reply = "ok closed " + std::to_string(closed) +
                               (closed == 1 ? " connection" : " connections");
            }
            ControlChannel::reply(line.replyFd, result.reply);
            if (result.action == CommandResult::Action::Quit) {
                quit = true;
                break;
            }
        }
        if (quit) {
            break;
        }
        server->handlePoll(fds, now);
        server->handleTimers(SteadyClock::now());
        for (const std::string& event : simulator.runDueEvents(SteadyClock::now())) {
            log.notice(event);
        }
    }
    return 0;
}

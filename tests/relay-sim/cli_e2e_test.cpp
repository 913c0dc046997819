// relay-sim as a program: arguments, start, stop, control socket.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "sim_process.h"

namespace relaysim::test {
namespace {

std::vector<std::string> command(std::vector<std::string> args) {
    args.insert(args.begin(), RELAY_SIM_BINARY);
    return args;
}

TEST(RelaySimProgram, BadArgumentsAreRefusedWithStatusTwo) {
    const std::vector<std::string> cases[] = {
        {},
        {"--tcp", "192.0.2.1:502"},
        {"--tcp", "127.0.0.1:0", "--relays", "0-3"},
        {"--rtu", "/dev/null", "--baud", "31250"},
        {"--tcp", "127.0.0.1:0", "--frobnicate"},
    };
    for (const auto& args : cases) {
        ChildProcess p(command(args), true);
        const std::string err = p.readStderr(3000ms);
        EXPECT_EQ(p.wait(3000ms), 2) << ::testing::PrintToString(args);
        EXPECT_EQ(err.rfind("relay-sim: ", 0), 0u) << err;
        EXPECT_NE(err.find("--help"), std::string::npos) << err;
        EXPECT_FALSE(p.readLine(100ms)) << "nothing on stdout";
    }
}

TEST(RelaySimProgram, HelpExplainsTheInterface) {
    ChildProcess p(command({"--help"}), false);
    std::string text;
    while (const auto line = p.readLine(3000ms)) {
        text += *line + "\n";
    }
    EXPECT_EQ(p.wait(3000ms), 0);
    for (const char* word :
         {"--tcp",      "--rtu",        "--relays",      "--event-every", "--seed",
          "--any-host", "--baud",       "--log",         "listening tcp", "event RELAY",
          "silent",     "late",         "badcrc",        "exception",     "split",
          "close",      "double RELAY", "foreign RELAY", "noise RELAY",   "set RELAY",
          "quit"}) {
        EXPECT_NE(text.find(word), std::string::npos) << word;
    }
}

TEST(RelaySimProgram, ALineThatCannotBeOpenedIsARuntimeError) {
    ChildProcess p(command({"--rtu", "/nonexistent/tty"}), true);
    const std::string err = p.readStderr(3000ms);
    EXPECT_EQ(p.wait(3000ms), 1);
    EXPECT_NE(err.find("cannot open /nonexistent/tty"), std::string::npos) << err;

    Simulator first({"--tcp", "127.0.0.1:0"});
    ChildProcess second(command({"--tcp", "127.0.0.1:" + std::to_string(first.port())}), true);
    EXPECT_NE(second.readStderr(3000ms).find("cannot listen on 127.0.0.1:"), std::string::npos);
    EXPECT_EQ(second.wait(3000ms), 1);
}

TEST(RelaySimProgram, StopsCleanly) {
    {
        Simulator sim({"--tcp", "127.0.0.1:0"});
        EXPECT_EQ(sim.command("quit"), "ok bye");
        EXPECT_EQ(sim.process().wait(2000ms), 0);
    }
    for (int signal : {SIGTERM, SIGINT}) {
        Simulator sim({"--tcp", "127.0.0.1:0"});
        sim.process().signal(signal);
        EXPECT_EQ(sim.process().wait(2000ms), 0) << strsignal(signal);
    }
    {
        // Whoever drove it through a pipe has gone.
        Simulator sim({"--tcp", "127.0.0.1:0"});
        sim.process().closeStdin();
        EXPECT_EQ(sim.process().wait(2000ms), 0);
    }
}

TEST(RelaySimProgram, ControlSocketTakesCommandsToo) {
    char folder[] = "/tmp/relay-sim-ctl-XXXXXX";
    ASSERT_TRUE(mkdtemp(folder));
    const std::string path = std::string(folder) + "/control";
    {
        Simulator sim({"--tcp", "127.0.0.1:0", "--relays", "4-6", "--control", path, "--no-stdin"});
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, path.c_str());
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        const std::string lines = "relays\n\n# nothing\nlate 5 250\nbogus\n";
        ASSERT_EQ(send(fd, lines.data(), lines.size(), 0), static_cast<ssize_t>(lines.size()));
        std::string replies;
        while (std::count(replies.begin(), replies.end(), '\n') < 3) {
            char buffer[512];
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            ASSERT_GT(n, 0);
            replies.append(buffer, static_cast<size_t>(n));
        }
        EXPECT_EQ(replies,
                  "ok 4 5 6\nok relay 5 late=250ms\nerror unknown command 'bogus' (try help)\n");
        close(fd);
        sim.process().signal(SIGTERM);
        EXPECT_EQ(sim.process().wait(2000ms), 0);
        EXPECT_FALSE(std::filesystem::exists(path)) << "the socket is removed at the end";
    }
    std::filesystem::remove_all(folder);
}

// One command on a connection of its own to the control socket, and its reply without the newline.
std::string controlLine(const std::string& path, const std::string& line) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    std::string reply;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        send(fd, (line + '\n').data(), line.size() + 1, 0) ==
            static_cast<ssize_t>(line.size() + 1)) {
        char c = 0;
        while (recv(fd, &c, 1, 0) == 1 && c != '\n') {
            reply += c;
        }
    }
    close(fd);
    return reply;
}

TEST(RelaySimProgram, DriftingRelaysFallAsReadOverModbus) {
    char folder[] = "/tmp/relay-sim-drift-XXXXXX";
    ASSERT_TRUE(mkdtemp(folder));
    const std::string path = std::string(folder) + "/control";
    {
        // Relay 3 falls from the start at the fastest a drift goes, about 280 kΩ a second.
        Simulator sim({"--tcp", "127.0.0.1:0", "--relays", "1-3", "--control", path, "--no-stdin",
                       "--drift", "3:-1000000"});
        auto client = tcpClient(sim.port(), 1);
        const auto word = [&](int unit, int reg) {
            modbus_set_slave(client.get(), unit);
            const auto w = readRegisters(client.get(), reg, 1);
            return w.empty() ? -1 : int{w[0]};
        };
        const int before = word(2, 0x011B);
        ASSERT_GT(before, 1000);
        EXPECT_EQ(controlLine(path, "drift 2 -360000"), "ok relay 2 drift=-360000kOhm/h");
        // 100 kΩ a second, read as the station reads it: it only ever goes down, beyond what
        // the relay's slow waves could do in the meantime.
        int previous = before;
        int latest = before;
        bool fellOnly = true;
        EXPECT_TRUE(waitUntil(
            [&] {
                latest = word(2, 0x011B);
                fellOnly = fellOnly && latest >= 0 && latest <= previous + 2;
                previous = latest;
                return latest <= before - 300;
            },
            10000ms))
            << before << " -> " << latest;
        EXPECT_TRUE(fellOnly) << "rose to " << latest;

        // At the bottom of the register it stays at 0 rather than wrapping to its top, with the
        // signal and trip bits on.
        int bottom = -1;
        EXPECT_TRUE(waitUntil([&] { return (bottom = word(3, 0x011B)) == 0; }, 15000ms)) << bottom;
        EXPECT_EQ(word(3, 0x011B), 0);
        EXPECT_EQ(word(3, 0x0113) & 0x3, 0x3);
        EXPECT_NE(controlLine(path, "status 3").find(" drift -1000000kOhm/h"), std::string::npos);

        // Relay 1 was told nothing: it wanders around its own 1037 kΩ.
        EXPECT_NEAR(word(1, 0x011B), 1037, 70);
        EXPECT_EQ(controlLine(path, "drift 2 off"), "ok relay 2 drift=off");
        sim.process().signal(SIGTERM);
        EXPECT_EQ(sim.process().wait(2000ms), 0);
    }
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace relaysim::test

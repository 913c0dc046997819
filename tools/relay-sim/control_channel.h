#pragma once

#include <poll.h>

#include <map>
#include <string>
#include <vector>

namespace relaysim {

// Cuts a byte stream into lines; a line longer than the limit is reported once and skipped.
class LineBuffer {
  public:
    struct Line {
        std::string text;
        bool tooLong = false;
    };
    std::vector<Line> feed(const char* data, size_t length);

  private:
    static constexpr size_t kMaxLine = 4096;
    std::string partial_;
    bool skipping_ = false;
};

// Where control commands come from: stdin (answered on stdout) and, if asked for, a Unix stream
// socket that any number of people or scripts can connect to (each answered on its own
// connection).
class ControlChannel {
  public:
    struct Line {
        std::string text;
        bool tooLong = false;
        int replyFd = -1;
    };
    enum class StdinEnd { Quit, Keep };

    // Throws std::runtime_error when the socket cannot be set up.
    ControlChannel(bool readStdin, StdinEnd atStdinEnd, const std::string& socketPath);
    ~ControlChannel();
    ControlChannel(const ControlChannel&) = delete;
    ControlChannel& operator=(const ControlChannel&) = delete;

    void addPollFds(std::vector<pollfd>& fds) const;
    std::vector<Line> handlePoll(const std::vector<pollfd>& fds);

    // stdin has ended and that is to stop the simulator.
    bool stdinEndedQuit() const { return quit_; }

    static void reply(int fd, const std::string& line);

  private:
    void readStdin(std::vector<Line>& out);
    void acceptClient();
    void readClient(int fd, std::vector<Line>& out);

    bool stdinOpen_;
    StdinEnd atStdinEnd_;
    bool quit_ = false;
    LineBuffer stdinLines_;
    std::string socketPath_;
    int listenFd_ = -1;
    std::map<int, LineBuffer> clients_;
};

// Quit when a pipe, socket or terminal on stdin ends (whoever drove the simulator is gone); keep
// running when stdin is a file or /dev/null, whose end means nothing.
ControlChannel::StdinEnd defaultStdinEnd();

}  // namespace relaysim

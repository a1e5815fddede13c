// wine_bridge.exe as a child process: started with a Wine in a prefix, its stdin and stdout on
// pipes that we own, its output cut into whole lines.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

// A file descriptor that closes itself.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd &&other) noexcept : fd_(other.release()) {}
    Fd &operator=(Fd &&other) noexcept;
    ~Fd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release();
    void reset();

private:
    int fd_ = -1;
};

// Bytes in, whole lines out: a line ends at LF, and a CR right before it is dropped. A line that
// grows past the limit without its LF is cut there and flagged, so a stuck writer cannot make us
// hold unbounded memory.
class LineBuffer {
public:
    static constexpr size_t limit = 65536;

    struct Line {
        std::string text;
        bool cut = false;
    };

    void feed(const char *data, size_t size);
    std::optional<Line> next();

private:
    std::string pending_;
    std::vector<Line> ready_;
    size_t taken_ = 0;
};

struct Launch {
    std::string wine;    // "wine", or a path to a game launcher's or Proton's wine, or the game's loader
    std::string prefix;  // WINEPREFIX for the bridge
    std::string exe;     // wine_bridge.exe
    // A followed game's Wine settings (NAME=value), which then replace every Wine setting of ours.
    std::vector<std::string> settings;
    // A followed game in a container of its own: the bridge runs in there, wine being its loader as
    // the container sees it, and prefix its prefix there.
    pid_t container_game = 0;
};

// How a child ended, as waitpid reports it.
struct Ending {
    int code = 0;    // exit code when signal is 0
    int signal = 0;  // the signal that ended it, else 0
};

class BridgeProcess {
public:
    BridgeProcess() = default;
    BridgeProcess(const BridgeProcess &) = delete;
    BridgeProcess &operator=(const BridgeProcess &) = delete;
    ~BridgeProcess();

    // Starts it; on failure returns the reason.
    std::optional<std::string> start(const Launch &launch);
    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    int output_fd() const { return out_.get(); }

    // Writes one command line; false when the bridge's input is closed or broken.
    bool send(const std::string &line);
    // Reads what is there; false at end of output (the fd is then closed).
    bool read_output(LineBuffer &into);
    // End of input: a bridge then ends cleanly, giving back a clipboard it has lent.
    void close_input();
    // Reaps it if it has ended.
    std::optional<Ending> reap();
    void kill_now();

private:
    pid_t pid_ = -1;
    Fd in_, out_;
};

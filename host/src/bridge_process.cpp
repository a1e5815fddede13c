// The bridge's process: posix_spawn of "<wine> wine_bridge.exe" with WINEPREFIX set (or of a
// followed game's loader, as "wine" itself runs it, with the game's Wine settings; in the game's
// container, if it runs in one), stdin and stdout
// on close-on-exec pipes, stderr shared with ours (so Wine's own complaints reach the player). The
// child starts with the default signal mask and dispositions: our blocked, signalfd-read signals
// must not stay blocked in it. Our pipe ends are non-blocking; the event loop polls them.
#include "bridge_process.h"

#include "child_spawn.h"
#include "container.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

Fd &Fd::operator=(Fd &&other) noexcept
{
    if (this != &other) {
        reset();
        fd_ = other.release();
    }
    return *this;
}

int Fd::release()
{
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void Fd::reset()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void LineBuffer::feed(const char *data, size_t size)
{
    pending_.append(data, size);
    size_t start = 0;
    for (size_t lf; (lf = pending_.find('\n', start)) != std::string::npos; start = lf + 1) {
        size_t end = lf > start && pending_[lf - 1] == '\r' ? lf - 1 : lf;
        ready_.push_back({pending_.substr(start, end - start), false});
    }
    pending_.erase(0, start);
    while (pending_.size() > limit) {
        ready_.push_back({pending_.substr(0, limit), true});
        pending_.erase(0, limit);
    }
}

std::optional<LineBuffer::Line> LineBuffer::next()
{
    if (taken_ == ready_.size()) {
        ready_.clear();
        taken_ = 0;
        return std::nullopt;
    }
    return std::move(ready_[taken_++]);
}

namespace {

bool starts_with(const char *entry, const char *prefix)
{
    return std::strncmp(entry, prefix, std::strlen(prefix)) == 0;
}

// Ours but WINEPREFIX; with a followed game's settings, none of our Wine settings nor library
// injection either (a launcher that wraps us may preload its overlay): the game's settings instead.
bool inherited(const char *entry, bool followed)
{
    if (starts_with(entry, "WINEPREFIX="))
        return false;
    if (!followed)
        return true;
    for (const char *dropped : {"WINE", "LD_LIBRARY_PATH=", "LD_PRELOAD=", "LD_AUDIT="})
        if (starts_with(entry, dropped))
            return false;
    return true;
}

std::vector<std::string> child_environment(const Launch &launch)
{
    std::vector<std::string> env;
    bool followed = !launch.settings.empty();
    // A followed game's setting takes the place of ours of the same name.
    auto overridden = [&](const char *entry) {
        const char *equals = std::strchr(entry, '=');
        size_t length = equals ? (size_t)(equals - entry) + 1 : std::strlen(entry);
        return std::any_of(launch.settings.begin(), launch.settings.end(),
                           [&](const std::string &setting) { return setting.compare(0, length, entry, length) == 0; });
    };
    for (char **entry = environ; *entry; ++entry)
        if (inherited(*entry, followed) && !overridden(*entry))
            env.emplace_back(*entry);
    for (const auto &setting : launch.settings)
        if (!starts_with(setting.c_str(), "WINEPREFIX="))
            env.push_back(setting);
    env.push_back("WINEPREFIX=" + launch.prefix);
    bool debug_set = std::any_of(env.begin(), env.end(), [](const auto &e) { return starts_with(e.c_str(), "WINEDEBUG="); });
    if (!debug_set)
        env.emplace_back("WINEDEBUG=-all");  // Wine's fixme lines would bury the player's terminal
    return env;
}

std::string spawn_error(const char *what, int error)
{
    return std::string(what) + ": " + std::strerror(error);
}

}  // namespace

BridgeProcess::~BridgeProcess()
{
    kill_now();
}

std::optional<std::string> BridgeProcess::start(const Launch &launch)
{
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0)
        return spawn_error("pipe", errno);
    if (pipe2(out, O_CLOEXEC) != 0) {
        int error = errno;
        ::close(in[0]);
        ::close(in[1]);
        return spawn_error("pipe", error);
    }
    Fd child_in(in[0]), child_out(out[1]);
    in_ = Fd(in[1]);
    out_ = Fd(out[0]);
    fcntl(in_.get(), F_SETFL, O_NONBLOCK);
    fcntl(out_.get(), F_SETFL, O_NONBLOCK);

    // Its own process group: Ctrl+C on the player's terminal must reach us only, so that the bridge
    // ends through its input, giving back a clipboard it has lent, rather than on the signal.
    Spawn spawn(true);
    spawn.redirect(child_in.get(), 0);
    spawn.redirect(child_out.get(), 1);

    std::vector<std::string> env = child_environment(launch);
    std::vector<char *> envp;
    for (auto &entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string wine = launch.wine, exe = launch.exe;
    char *argv[] = {wine.data(), exe.data(), nullptr};

    if (launch.container_game > 0) {
        auto failure = start_in_container({launch.container_game, wine, exe, launch.prefix}, child_in.get(),
                                          child_out.get(), envp.data(), &pid_);
        if (failure) {
            pid_ = -1;
            in_.reset();
            out_.reset();
        }
        return failure;
    }
    int error = spawn.run(&pid_, wine.c_str(), argv, envp.data());
    if (error != 0) {
        pid_ = -1;
        in_.reset();
        out_.reset();
        return spawn_error(("cannot run " + launch.wine).c_str(), error);
    }
    return std::nullopt;
}

bool BridgeProcess::send(const std::string &line)
{
    if (!in_)
        return false;
    std::string data = line + "\n";
    // Command lines are short; a pipe that cannot take one whole has a bridge that reads no more.
    ssize_t written = ::write(in_.get(), data.data(), data.size());
    if (written == (ssize_t)data.size())
        return true;
    in_.reset();
    return false;
}

bool BridgeProcess::read_output(LineBuffer &into)
{
    char chunk[4096];
    for (;;) {
        ssize_t got = ::read(out_.get(), chunk, sizeof chunk);
        if (got > 0) {
            into.feed(chunk, (size_t)got);
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            return true;
        out_.reset();
        return false;
    }
}

void BridgeProcess::close_input()
{
    in_.reset();
}

std::optional<Ending> BridgeProcess::reap()
{
    if (pid_ <= 0)
        return std::nullopt;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_)
        return std::nullopt;
    pid_ = -1;
    in_.reset();
    Ending ending;
    if (WIFSIGNALED(status))
        ending.signal = WTERMSIG(status);
    else
        ending.code = WEXITSTATUS(status);
    return ending;
}

void BridgeProcess::kill_now()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    in_.reset();
    out_.reset();
}

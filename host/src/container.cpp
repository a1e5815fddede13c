// Reading a container from outside, and running the bridge inside it. bridge-host is single-
// threaded, so its forked children may call anything; they report a failure through a close-on-
// exec pipe ("the call: the error"), and the pipe's end with nothing written means the bridge runs.
#include "container.h"

#include "game_finder.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <linux/nsfs.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

// Each line of text, without its LF, to visit until it returns false.
template <typename Visit>
void each_line(std::string_view text, Visit visit)
{
    for (size_t start = 0; start < text.size();) {
        size_t end = std::min(text.find('\n', start), text.size());
        if (!visit(text.substr(start, end - start)))
            return;
        start = end + 1;
    }
}

pid_t inner_pid(std::string_view status)
{
    pid_t pid = 0;
    each_line(status, [&](std::string_view line) {
        if (line.rfind("NSpid:", 0) != 0)
            return true;
        std::string_view last = trimmed(line.substr(line.find_last_of(" \t:") + 1));
        if (!last.empty() && last.size() < 10 && std::all_of(last.begin(), last.end(), [](char c) { return c >= '0' && c <= '9'; }))
            pid = (pid_t)std::stol(std::string(last));
        return false;
    });
    return pid;
}

std::string flatpak_app(std::string_view info)
{
    std::string app;
    bool in_application = false;
    each_line(info, [&](std::string_view line) {
        line = trimmed(line);
        if (!line.empty() && line.front() == '[')
            in_application = line == "[Application]";
        else if (in_application && line.rfind("name", 0) == 0 && trimmed(line.substr(4)).rfind('=', 0) == 0)
            app = trimmed(trimmed(line.substr(4)).substr(1));
        return app.empty();
    });
    return app;
}

bool in_steam_runtime(const std::vector<std::string> &env)
{
    return env_value(env, "container") == "pressure-vessel" ||
           std::any_of(env.begin(), env.end(), [](const std::string &e) { return e.rfind("PRESSURE_VESSEL_", 0) == 0; });
}

// The namespaces to enter, opened before the first setns: inside, /proc is the container's, where
// the game has another pid and our own entries are not what they are here.
struct Namespaces {
    int self_user = -1, self_pid = -1, mnt = -1, pid = -1, user = -1;
};

bool same_namespace(int a, int b)
{
    struct stat first, second;
    return fstat(a, &first) == 0 && fstat(b, &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

// Each returns the call that failed, errno telling why, or nullptr.
const char *open_namespaces(pid_t game, Namespaces *ns)
{
    std::string dir = "/proc/" + std::to_string(game) + "/ns/";
    ns->self_user = open("/proc/self/ns/user", O_RDONLY | O_CLOEXEC);
    ns->self_pid = open("/proc/self/ns/pid", O_RDONLY | O_CLOEXEC);
    if ((ns->mnt = open((dir + "mnt").c_str(), O_RDONLY | O_CLOEXEC)) < 0)
        return "open of its mount namespace";
    if ((ns->pid = open((dir + "pid").c_str(), O_RDONLY | O_CLOEXEC)) < 0)
        return "open of its pid namespace";
    if ((ns->user = open((dir + "user").c_str(), O_RDONLY | O_CLOEXEC)) < 0)
        return "open of its user namespace";
    return nullptr;
}

// Into the game's namespaces, in the one order that works for nested user namespaces: the one that
// owns its mounts, its mounts, its pids (for the children forked after), its own user namespace.
// One that is ours already is skipped: setns into our own pid namespace, which the user does not
// own, would be refused (a sandbox may keep the pids of the session).
const char *enter(const Namespaces &ns)
{
    int owner = ioctl(ns.mnt, NS_GET_USERNS);
    if (owner < 0)
        return "NS_GET_USERNS of its mount namespace";
    const char *failed = nullptr;
    if (!same_namespace(owner, ns.self_user) && setns(owner, CLONE_NEWUSER) != 0)
        failed = "setns of the user namespace that owns its mounts";
    else if (setns(ns.mnt, CLONE_NEWNS) != 0)
        failed = "setns of its mount namespace";
    else if (!same_namespace(ns.pid, ns.self_pid) && setns(ns.pid, CLONE_NEWPID) != 0)
        failed = "setns of its pid namespace";
    else if (!same_namespace(ns.user, owner) && setns(ns.user, CLONE_NEWUSER) != 0)
        failed = "setns of its user namespace";
    else if (chdir("/") != 0)
        failed = "chdir to its root";
    int error = errno;
    close(owner);
    errno = error;
    return failed;
}

// The forked child's first steps: the signal state that a child of ours starts with, and only the
// descriptors it needs: in and out (-1: left as they are) on 0 and 1, the report pipe on 3. Each is
// moved above 3 first, as any of them may be 0 or 1 when bridge-host runs with those closed.
void start_child(int in, int out, int report)
{
    sigset_t none;
    sigemptyset(&none);
    for (int sig = 1; sig < NSIG; ++sig)
        signal(sig, SIG_DFL);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    int high[3] = {-1, -1, -1}, wanted[3] = {in, out, report};
    for (int i = 0; i < 3; ++i)
        if (wanted[i] >= 0)
            high[i] = fcntl(wanted[i], F_DUPFD, 10);
    for (int i = 0; i < 3; ++i)
        if (high[i] >= 0)
            dup2(high[i], i < 2 ? i : 3);
    fcntl(3, F_SETFD, FD_CLOEXEC);
    close_range(4, ~0U, 0);
}

[[noreturn]] void fail(const std::string &call)
{
    std::string line = call + ": " + std::strerror(errno);
    ssize_t written = write(3, line.data(), line.size());
    (void)written;
    _exit(127);
}

// What the child wrote before its end or its exec: "" when nothing (it runs).
std::string read_report(int report)
{
    std::string text;
    char chunk[256];
    for (ssize_t got; (got = read(report, chunk, sizeof chunk)) != 0;) {
        if (got > 0)
            text.append(chunk, (size_t)got);
        else if (errno != EINTR)
            break;
    }
    close(report);
    return text;
}

bool copy_file(int from, int to)
{
    char chunk[65536];
    for (ssize_t got; (got = read(from, chunk, sizeof chunk)) != 0;) {
        if (got < 0)
            return false;
        for (ssize_t done = 0; done < got;) {
            ssize_t put = write(to, chunk + done, (size_t)(got - done));
            if (put < 0)
                return false;
            done += put;
        }
    }
    return true;
}

// The bridge exe copied into a new folder of the container's /tmp (a tmpfs that goes with the
// container) or, where that takes nothing, of the prefix's Windows temp folder. Returns the folder.
std::string place_copy(int exe, const Entry &entry, std::string *copy)
{
    for (std::string base : {std::string("/tmp"), entry.prefix + "/drive_c/windows/temp"}) {
        std::string dir = base + "/bridge-host-XXXXXX";
        if (!mkdtemp(dir.data()))
            continue;
        *copy = dir + "/" + std::filesystem::path(entry.exe).filename().string();
        int to = open(copy->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (to >= 0 && lseek(exe, 0, SEEK_SET) == 0 && copy_file(exe, to) && close(to) == 0)
            return dir;
        int error = errno;
        if (to >= 0)
            close(to);
        unlink(copy->c_str());
        rmdir(dir.c_str());
        errno = error;
    }
    fail("copy of the bridge into the container");
}

// Ends as the bridge ended: the same exit code, or the same signal.
[[noreturn]] void end_as(int status)
{
    if (WIFSIGNALED(status)) {
        signal(WTERMSIG(status), SIG_DFL);
        kill(getpid(), WTERMSIG(status));
    }
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

// Signals meant for bridge-host that a player's pkill (a match of its name or command line) also
// sends to the supervisor: the bridge ends through its input, giving the clipboard back.
constexpr int stray_signals[] = {SIGHUP, SIGINT, SIGTERM, SIGUSR1, SIGUSR2};

// The supervisor, in the container's mounts: it places the copy, forks the bridge into the
// container's pid namespace, waits for it and removes the copy. Only SIGKILL ends it early, and
// the bridge with it.
[[noreturn]] void supervise(const Entry &entry, char *const envp[])
{
    prctl(PR_SET_NAME, "bridge-entry");
    for (int sig : stray_signals)
        signal(sig, SIG_IGN);
    int exe = open(entry.exe.c_str(), O_RDONLY | O_CLOEXEC);
    if (exe < 0)
        fail("open of " + entry.exe);
    Namespaces ns;
    if (const char *call = open_namespaces(entry.game, &ns))
        fail(call);
    if (const char *call = enter(ns))
        fail(call);
    std::string copy, dir = place_copy(exe, entry, &copy);
    pid_t bridge = fork();
    if (bridge < 0) {
        int error = errno;
        unlink(copy.c_str());
        rmdir(dir.c_str());
        errno = error;
        fail("fork in the container");
    }
    if (bridge == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // killed with its supervisor, as a bridge of ours is
        for (int sig : stray_signals)
            signal(sig, SIG_DFL);
        std::string loader = entry.loader;
        char *argv[] = {loader.data(), copy.data(), nullptr};
        execve(loader.c_str(), argv, envp);
        fail("exec of its Wine (" + entry.loader + ")");
    }
    // The bridge alone holds its pipes now: its end is theirs.
    close(0);
    close(1);
    close(3);
    int status = 0;
    while (waitpid(bridge, &status, 0) < 0 && errno == EINTR) {
    }
    unlink(copy.c_str());
    rmdir(dir.c_str());
    end_as(status);
}

}  // namespace

Container describe_container(std::string_view status, std::string_view flatpak_info, const std::vector<std::string> &env)
{
    Container container;
    container.inner_pid = inner_pid(status);
    container.app = flatpak_app(flatpak_info);
    if (container.app.empty())
        container.app = env_value(env, "FLATPAK_ID").value_or("");
    container.kind = !container.app.empty() ? "flatpak" : in_steam_runtime(env) ? "steam-runtime" : "plain";
    return container;
}

std::string container_entry_failure(pid_t game, const std::string &loader)
{
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        return std::string("pipe: ") + std::strerror(errno);
    pid_t child = fork();
    if (child == 0) {
        start_child(-1, -1, report[1]);
        Namespaces ns;
        if (const char *call = open_namespaces(game, &ns))
            fail(call);
        if (const char *call = enter(ns))
            fail(call);
        if (access(loader.c_str(), X_OK) != 0)
            fail("its Wine (" + loader + ") in the container");
        _exit(0);
    }
    close(report[1]);
    if (child < 0) {
        close(report[0]);
        return std::string("fork: ") + std::strerror(errno);
    }
    std::string failure = read_report(report[0]);
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    return failure;
}

std::optional<std::string> start_in_container(const Entry &entry, int in, int out, char *const envp[], pid_t *pid)
{
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        return std::string("pipe: ") + std::strerror(errno);
    pid_t child = fork();
    if (child == 0) {
        start_child(in, out, report[1]);
        setpgid(0, 0);  // as a bridge of ours: the terminal's Ctrl+C is for bridge-host alone
        supervise(entry, envp);
    }
    close(report[1]);
    if (child < 0) {
        close(report[0]);
        return std::string("fork: ") + std::strerror(errno);
    }
    std::string failure = read_report(report[0]);
    if (!failure.empty()) {
        while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
        return "cannot run the bridge in the game's container: " + failure;
    }
    *pid = child;
    return std::nullopt;
}

// The game finder: a scan of /proc (or a tree laid out like it, for the tests) for this user's
// processes named StarCitizen.exe. A Wine program's /proc/PID/comm is its image name; its
// environment holds what its launcher set (WINEPREFIX, esync and fsync, a Wine build's library
// path) and WINELOADER, which Wine sets itself. Everything here reads files that a process may
// leave or change at any moment: any entry that cannot be read is skipped, never an error.
#include "game_finder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// What the bridge takes from a game in a container besides its Wine settings: where the container
// has the X and Wayland sockets, the runtime folder and the home, which need not be where ours are.
constexpr const char *container_session[] = {"DISPLAY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR", "XAUTHORITY", "HOME"};

// An environment is at most a few MiB (the kernel's argument limit); more is not a process's.
constexpr size_t environ_limit = 16 << 20;

// Plain open and read: this runs for every process once a second while waiting, where a stream
// costs more than the reading.
std::optional<std::string> read_file(const fs::path &path, size_t limit)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string data;
    char chunk[4096];
    ssize_t got = 0;
    // A small file of /proc comes whole in one read: that spares a read for each process's name.
    bool small = limit <= sizeof chunk;
    while (data.size() < limit && (got = read(fd, chunk, std::min(sizeof chunk, limit - data.size()))) > 0) {
        data.append(chunk, (size_t)got);
        if (small)
            break;
    }
    bool failed = got < 0;
    close(fd);
    if (failed)
        return std::nullopt;
    return data;
}

std::string read_link(const fs::path &path)
{
    std::error_code error;
    fs::path target = fs::read_symlink(path, error);
    return error ? "" : target.string();
}

// The state letter of a task's stat line, "PID (NAME) S ...": after the last ')', since the name
// may hold spaces and parentheses of its own.
std::optional<char> state_of(const fs::path &stat)
{
    auto line = read_file(stat, 1024);
    if (!line)
        return std::nullopt;
    size_t close = line->rfind(')');
    if (close == std::string::npos || close + 2 >= line->size() || (*line)[close + 1] != ' ')
        return std::nullopt;
    return (*line)[close + 2];
}

bool dead(std::optional<char> state)
{
    return !state || *state == 'Z' || *state == 'X' || *state == 'x';
}

// Whether the process has ended, reaped by its parent or not (a zombie keeps its name until then).
// A leader that is a zombie while other threads of its process run has only ended its own thread.
bool ended(const fs::path &process)
{
    if (!dead(state_of(process / "stat")))
        return false;
    std::error_code error;
    for (fs::directory_iterator task(process / "task", error), end; !error && task != end; task.increment(error))
        if (task->path().filename() != process.filename() && !dead(state_of(task->path() / "stat")))
            return false;
    return true;
}

// Named so and still running. The name rules out nearly every process with one small read; only
// the entries of the one looked for are read further.
bool is_named(const fs::path &process, std::string_view name)
{
    auto comm = read_file(process / "comm", 64);
    if (!comm)
        return false;
    if (!comm->empty() && comm->back() == '\n')
        comm->pop_back();
    return *comm == name && !ended(process);
}

bool is_game(const fs::path &process)
{
    return is_named(process, game_image);
}

std::string home_of(const std::vector<std::string> &env, uid_t uid)
{
    if (auto home = env_value(env, "HOME"); home && !home->empty())
        return *home;
    const passwd *entry = getpwuid(uid);
    return entry ? entry->pw_dir : "";
}

std::string prefix_of(const std::vector<std::string> &env, uid_t uid)
{
    auto prefix = env_value(env, "WINEPREFIX");
    return prefix && !prefix->empty() ? *prefix : home_of(env, uid) + "/.wine";
}

// The loader that a process's executable stands for: Wine's preloader, beside its loader, runs
// the loader named as its own name without "-preloader" (and takes it as its first argument).
std::string loader_of(std::string exe)
{
    const std::string suffix = "-preloader";
    if (exe.size() > suffix.size() && exe.compare(exe.size() - suffix.size(), suffix.size(), suffix) == 0)
        exe.erase(exe.size() - suffix.size());
    return exe;
}

// Where the game runs, if in a container of its own: another mount namespace than ours.
std::optional<Container> container_of(const fs::path &root, const fs::path &process, const std::vector<std::string> &env)
{
    std::string ours = read_link(root / "self" / "ns" / "mnt"), its = read_link(process / "ns" / "mnt");
    if (ours.empty() || its.empty() || ours == its)
        return std::nullopt;
    return describe_container(read_file(process / "status", 8192).value_or(""),
                              read_file(process / "root" / ".flatpak-info", 65536).value_or(""), env);
}

std::optional<GameProcess> read_game(const fs::path &root, const fs::path &process, pid_t pid, uid_t uid)
{
    struct stat info;  // the name first: of every process, it is what rules most out
    if (!is_game(process) || stat(process.c_str(), &info) != 0 || info.st_uid != uid)
        return std::nullopt;
    auto raw = read_file(process / "environ", environ_limit);
    if (!raw)
        return std::nullopt;  // another user's in disguise, or gone meanwhile
    std::vector<std::string> env = parse_environ(*raw);
    GameProcess game;
    game.pid = pid;
    game.settings = wine_settings(env);
    auto prefix = env_value(env, "WINEPREFIX");
    game.prefix = prefix_of(env, uid);
    if (!prefix || prefix->empty())
        game.settings.push_back("WINEPREFIX=" + game.prefix);
    auto loader = env_value(env, "WINELOADER");
    game.loader = loader && !loader->empty() ? *loader : loader_of(read_link(process / "exe"));
    game.display = env_value(env, "DISPLAY").value_or("");
    game.xauthority = env_value(env, "XAUTHORITY").value_or("");
    game.container = container_of(root, process, env);
    if (game.container)  // paths that name the session as the container sees it (Flatpak's DISPLAY is :99)
        for (const char *name : container_session)
            if (auto value = env_value(env, name))
                game.settings.push_back(std::string(name) + "=" + *value);
    std::error_code error;  // a container's loader is looked for inside, once it is entered
    if (!game.container && (game.loader.empty() || !fs::exists(game.loader, error)))
        game.foreign = "its Wine (" + (game.loader.empty() ? std::string("unknown") : game.loader) + ") is not on this system";
    return game;
}

std::optional<pid_t> pid_of(const std::string &name)
{
    if (name.empty() || name.size() > 9 || !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    return (pid_t)std::stol(name);
}

}  // namespace

std::vector<std::string> parse_environ(std::string_view data)
{
    std::vector<std::string> env;
    std::vector<std::string_view> names;
    for (size_t start = 0; start < data.size();) {
        size_t end = std::min(data.find('\0', start), data.size());
        std::string_view entry = data.substr(start, end - start);
        start = end + 1;
        size_t equals = entry.find('=');
        if (equals == std::string_view::npos || equals == 0)
            continue;
        std::string_view name = entry.substr(0, equals);
        if (std::find(names.begin(), names.end(), name) != names.end())
            continue;
        names.push_back(name);
        env.emplace_back(entry);
    }
    return env;
}

std::optional<std::string> env_value(const std::vector<std::string> &env, std::string_view name)
{
    for (const auto &entry : env)
        if (entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 && entry[name.size()] == '=')
            return entry.substr(name.size() + 1);
    return std::nullopt;
}

std::vector<std::string> wine_settings(const std::vector<std::string> &env)
{
    std::vector<std::string> settings;
    for (const auto &entry : env) {
        // Wine marks the processes it starts so that their loader skips the preloader step; a
        // bridge that we start is a first start, which wants that step.
        if (entry.rfind("WINELOADERNOEXEC=", 0) == 0)
            continue;
        if (entry.rfind("WINE", 0) == 0 || entry.rfind("LD_LIBRARY_PATH=", 0) == 0)
            settings.push_back(entry);
    }
    return settings;
}

namespace {

// ":1.0" and "unix:1" are ":1"; a remote host name stays.
std::string display_name(std::string display)
{
    for (const char *local : {"unix:", "localhost:"})
        if (display.rfind(local, 0) == 0)
            display.erase(0, std::strlen(local) - 1);
    size_t colon = display.rfind(':');
    size_t dot = display.find('.', colon == std::string::npos ? 0 : colon);
    if (dot != std::string::npos)
        display.erase(dot);
    return display;
}

}  // namespace

bool same_display(const std::string &a, const std::string &b)
{
    return a.empty() || b.empty() || display_name(a) == display_name(b);
}

namespace {

// The local socket that DISPLAY names under a root ("/tmp/.X11-unix/X1" for ":1"), or "".
std::string x_socket(const std::string &dir, const std::string &display)
{
    std::string name = display_name(display);
    if (name.size() < 2 || name[0] != ':')
        return "";  // a remote display has no socket here
    return dir + "/X" + name.substr(1);
}

}  // namespace

bool shows_on(const std::string &proc_root, const GameProcess &game, const std::string &display,
              const std::string &x11_dir)
{
    if (same_display(game.display, display))
        return true;
    if (!game.container)
        return false;
    std::string theirs = x_socket(proc_root + "/" + std::to_string(game.pid) + "/root" + x11_dir, game.display),
                ours = x_socket(x11_dir, display);
    struct stat a, b;
    return !theirs.empty() && !ours.empty() && stat(theirs.c_str(), &a) == 0 && stat(ours.c_str(), &b) == 0 &&
           a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::vector<GameProcess> find_games(const std::string &proc_root, uid_t uid)
{
    std::vector<GameProcess> games;
    std::error_code error;
    // Processes come and go while we read: increment with an error code so that none of it throws.
    for (fs::directory_iterator entry(proc_root, error), end; !error && entry != end; entry.increment(error)) {
        auto pid = pid_of(entry->path().filename().string());
        if (!pid)
            continue;
        if (auto game = read_game(proc_root, entry->path(), *pid, uid))
            games.push_back(std::move(*game));
    }
    std::sort(games.begin(), games.end(), [](const auto &a, const auto &b) { return a.pid < b.pid; });
    return games;
}

namespace {

std::string normal_path(const std::string &path)
{
    std::string normal = fs::path(path).lexically_normal().string();
    if (normal.size() > 1 && normal.back() == '/')
        normal.pop_back();
    return normal;
}

}  // namespace

std::vector<pid_t> find_wine_desktops(const std::string &proc_root, uid_t uid, const std::string &prefix)
{
    std::vector<pid_t> desktops;
    std::error_code error;
    for (fs::directory_iterator entry(proc_root, error), end; !error && entry != end; entry.increment(error)) {
        auto pid = pid_of(entry->path().filename().string());
        struct stat info;
        if (!pid || !is_named(entry->path(), wine_desktop_image) || stat(entry->path().c_str(), &info) != 0 ||
            info.st_uid != uid)
            continue;
        auto raw = read_file(entry->path() / "environ", environ_limit);
        if (raw && normal_path(prefix_of(parse_environ(*raw), uid)) == normal_path(prefix))
            desktops.push_back(*pid);
    }
    std::sort(desktops.begin(), desktops.end());
    return desktops;
}

bool process_runs(const std::string &proc_root, pid_t pid, const char *image)
{
    return is_named(fs::path(proc_root) / std::to_string(pid), image);
}

bool game_alive(const std::string &proc_root, pid_t pid)
{
    return is_game(fs::path(proc_root) / std::to_string(pid));
}

bool descends_from(const std::string &proc_root, pid_t pid, pid_t ancestor)
{
    // A chain of parents is short; a bound keeps a tree that changes while we read from looping.
    for (int depth = 0; depth < 256 && pid > 1; ++depth) {
        if (pid == ancestor)
            return true;
        // The parent is the second field after the name, which ends at the last ')'.
        auto stat = read_file(fs::path(proc_root) / std::to_string(pid) / "stat", 1024);
        size_t name_end = stat ? stat->rfind(')') : std::string::npos;
        if (name_end == std::string::npos)
            return false;
        char state = 0;
        int parent = 0;
        if (std::sscanf(stat->c_str() + name_end + 1, " %c %d", &state, &parent) != 2)
            return false;
        pid = parent;
    }
    return false;
}

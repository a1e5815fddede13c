// Installing our GNOME Shell extension. Its files are written under a temporary name in its folder
// and renamed into place, so that a shell starting meanwhile never reads half a file. GNOME's
// setting is changed with gsettings, which every GNOME desktop has (libglib2.0-bin), as the user's
// own tools change it.
#include "gnome_extension.h"

#include "child_spawn.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace gnome_extension {

const char uuid[] = "focus-witness@bridge-host";

namespace {

std::string data_home()
{
    const char *data = std::getenv("XDG_DATA_HOME");
    if (data && *data == '/')
        return data;
    const char *home = std::getenv("HOME");
    return std::string(home ? home : "") + "/.local/share";
}

// mkdir -p, for the folders of our own that the path ends with.
bool make_directories(const std::string &path)
{
    for (size_t slash = path.find('/', 1); ; slash = path.find('/', slash + 1)) {
        std::string part = path.substr(0, slash);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
        if (slash == std::string::npos)
            return true;
    }
}

std::optional<std::string> write_file(const std::string &path, const std::string &text)
{
    std::string part = path + ".part";
    int fd = open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool written = fd >= 0 && write(fd, text.data(), text.size()) == (ssize_t)text.size();
    if (fd >= 0)
        written = close(fd) == 0 && written;
    if (written && rename(part.c_str(), path.c_str()) == 0)
        return std::nullopt;
    std::string failure = "cannot write " + path + ": " + std::strerror(errno);
    unlink(part.c_str());
    return failure;
}

// Runs gsettings with args; its exit status (-1 when it could not run), its output in out.
int gsettings(std::initializer_list<const char *> args, std::string &out)
{
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0)
        return -1;
    std::vector<char *> argv{const_cast<char *>("gsettings")};
    for (const char *arg : args)
        argv.push_back(const_cast<char *>(arg));
    argv.push_back(nullptr);
    pid_t pid;
    int error;
    {
        Spawn spawn(false);
        spawn.redirect(pipe_fds[1], STDOUT_FILENO);
        error = spawn.run(&pid, "gsettings", argv.data(), environ);
    }
    close(pipe_fds[1]);
    char buffer[4096];
    ssize_t n;
    while (!error && (n = read(pipe_fds[0], buffer, sizeof buffer)) > 0)
        out.append(buffer, n);
    close(pipe_fds[0]);
    int status;
    if (error || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

}  // namespace

std::string directory()
{
    return data_home() + "/gnome-shell/extensions/" + uuid;
}

bool installed()
{
    struct stat info;
    return stat((directory() + "/metadata.json").c_str(), &info) == 0 &&
           stat((directory() + "/extension.js").c_str(), &info) == 0;
}

std::optional<std::string> install(const std::string &shell_version)
{
    std::string folder = directory();
    if (!make_directories(folder))
        return "cannot make " + folder + ": " + std::strerror(errno);
    bool legacy = build_for(shell_version) == Build::legacy;
    if (auto failure = write_file(folder + "/extension.js", legacy ? legacy_extension_js : extension_js))
        return failure;
    return write_file(folder + "/metadata.json",
                      metadata_listing(legacy ? legacy_metadata_json : metadata_json, shell_version));
}

bool user_extensions_off()
{
    std::string off;
    return gsettings({"get", "org.gnome.shell", "disable-user-extensions"}, off) == 0 && off.rfind("true", 0) == 0;
}

std::optional<std::string> enable()
{
    std::string enabled, ignored;
    if (gsettings({"get", "org.gnome.shell", "enabled-extensions"}, enabled) != 0)
        return std::string("gsettings cannot read org.gnome.shell enabled-extensions");
    if (enabled.find(std::string("'") + uuid + "'") != std::string::npos)
        return std::nullopt;
    if (gsettings({"set", "org.gnome.shell", "enabled-extensions", enabled_with(enabled, uuid).c_str()}, ignored) != 0)
        return std::string("gsettings cannot change org.gnome.shell enabled-extensions");
    return std::nullopt;
}

}  // namespace gnome_extension

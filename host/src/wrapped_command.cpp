// The wrapped command, spawned with the default signal mask and dispositions (ours are blocked
// for the signalfd) and our environment untouched: it is the player's or the launcher's command,
// not ours to change. It stays in our process group, so that whoever ends the group (a launcher
// stopping the game, a terminal's hang-up) ends the command with us, and it keeps the terminal
// (a group of its own would be stopped on reading it). Its standard output goes to our stderr:
// our stdout carries only event lines, which a reader parses.
#include "wrapped_command.h"

#include "child_spawn.h"

#include <cerrno>
#include <cstring>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

std::optional<std::string> WrappedCommand::start(const std::vector<std::string> &argv)
{
    std::vector<std::string> words = argv;
    std::vector<char *> args;
    for (auto &word : words)
        args.push_back(word.data());
    args.push_back(nullptr);

    Spawn spawn(false);
    spawn.redirect(STDERR_FILENO, STDOUT_FILENO);
    int error = spawn.run(&pid_, args[0], args.data(), environ);
    if (error == 0)
        return std::nullopt;
    pid_ = -1;
    return "cannot run " + argv[0] + ": " + std::strerror(error);
}

std::optional<int> WrappedCommand::reap()
{
    int status = 0;
    if (pid_ <= 0 || waitpid(pid_, &status, WNOHANG) != pid_)
        return std::nullopt;
    pid_ = -1;
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

void WrappedCommand::pass_on(const signalfd_siginfo &info) const
{
    if (pid_ > 0 && info.ssi_code != SI_KERNEL)
        ::kill(pid_, (int)info.ssi_signo);
}

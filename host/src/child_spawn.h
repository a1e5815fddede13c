// Starting a child with posix_spawn, its attributes and file actions owned here. A child starts
// with no signal blocked and every signal at its default: bridge-host blocks the signals that it
// reads through its signalfd, and no child of ours may inherit that.
#pragma once

#include <spawn.h>
#include <sys/types.h>

class Spawn {
public:
    // own_group: the child leads a process group of its own.
    explicit Spawn(bool own_group);
    ~Spawn();
    Spawn(const Spawn &) = delete;
    Spawn &operator=(const Spawn &) = delete;

    // In the child, descriptor from takes the place of descriptor to.
    void redirect(int from, int to);
    // Starts file (looked up on PATH) with argv and envp; 0, or the error number.
    int run(pid_t *pid, const char *file, char *const argv[], char *const envp[]);

private:
    posix_spawn_file_actions_t actions_;
    posix_spawnattr_t attributes_;
};

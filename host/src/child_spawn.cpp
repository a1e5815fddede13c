#include "child_spawn.h"

#include <signal.h>

Spawn::Spawn(bool own_group)
{
    posix_spawn_file_actions_init(&actions_);
    posix_spawnattr_init(&attributes_);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes_, &none);
    posix_spawnattr_setsigdefault(&attributes_, &all);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (own_group) {
        posix_spawnattr_setpgroup(&attributes_, 0);
        flags |= POSIX_SPAWN_SETPGROUP;
    }
    posix_spawnattr_setflags(&attributes_, flags);
}

Spawn::~Spawn()
{
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attributes_);
}

void Spawn::redirect(int from, int to)
{
    posix_spawn_file_actions_adddup2(&actions_, from, to);
}

int Spawn::run(pid_t *pid, const char *file, char *const argv[], char *const envp[])
{
    return posix_spawnp(pid, file, &actions_, &attributes_, argv, envp);
}

// The cost of the follow mode's look for the game: one find_games() over this machine's /proc,
// timed in CPU time over many rounds, and what it comes to at the follow mode's one scan a second while it waits.
#include "game_finder.h"

#include <cstdio>
#include <ctime>
#include <unistd.h>

static double cpu_seconds()
{
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

int main()
{
    const int rounds = 2000;
    size_t found = 0;
    double start = cpu_seconds();
    for (int i = 0; i < rounds; ++i)
        found += find_games("/proc", getuid()).size();
    double per_scan = (cpu_seconds() - start) / rounds;
    std::printf("scan of /proc: %.1f us of CPU (%zu games seen per scan)\n", per_scan * 1e6, found / rounds);
    std::printf("at 1 scan/s: %.3f %% of a core\n", per_scan * 100);
    return 0;
}

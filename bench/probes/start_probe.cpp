// start_probe.exe: the floor of the bridge's start-up. A program of the same kind (GUI subsystem,
// static, unbuffered stdout) that prints one line and ends: what Wine takes to start any exe.

#include <windows.h>

#include <stdio.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    static const char line[] = "{\"probe_ready\":true}\n";
    setvbuf(stdout, NULL, _IONBF, 0);
    fwrite(line, 1, sizeof line - 1, stdout);
    return 0;
}

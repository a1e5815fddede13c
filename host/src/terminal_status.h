// The terminal's status line: one line on stderr, rewritten in place, kept below the event lines
// when stdout and stderr share a terminal. Nothing is drawn when stderr is a pipe or a file.
#pragma once

#include <string>

class TerminalStatus {
public:
    TerminalStatus();

    bool on_terminal() const { return terminal_; }
    // Draws text in place of the last line drawn.
    void show(const std::string &text);
    // Clears the line, as before an event is printed; whether it was shown.
    bool hide();

private:
    bool terminal_;
    bool shown_ = false;
};

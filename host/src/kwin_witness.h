// The witness of KWin (KDE Plasma 5 and 6, on Wayland or X): KWin tells no other program which
// window is active, so a small script of ours runs inside it and calls us over the session bus on
// every activation, with the window's pid, resourceClass and caption. It sees Wayland-native
// windows (Wine's Wayland driver) and XWayland ones alike.
#pragma once

#include "session_bus.h"
#include "witness.h"

#include <memory>
#include <optional>
#include <string>
#include <variant>

struct sd_bus_message;
struct sd_bus_slot;

class KwinWitness : public FocusWitness {
public:
    // Connects to the session bus and finds KWin on it; the message says why it cannot. Loads
    // nothing yet: this only tells whether the session offers the witness.
    static std::variant<std::unique_ptr<KwinWitness>, std::string> open();
    ~KwinWitness() override;  // unloads the script
    KwinWitness(const KwinWitness &) = delete;
    KwinWitness &operator=(const KwinWitness &) = delete;

    // Takes a bus name of ours, loads and runs the script in KWin, and waits for its first report,
    // which it sends at once; the message says what failed (the script is unloaded then).
    std::optional<std::string> start();

    const char *name() const override { return "kwin"; }
    int fd() const override;
    bool handle_events() override;
    ActiveWindow active() const override { return active_; }
    const char *lost_message() const override { return "lost KWin (org.kde.KWin left the session bus)"; }

    // Called from the bus's handler.
    int report(sd_bus_message *message);

private:
    KwinWitness() = default;
    std::optional<std::string> take_slot();
    std::optional<std::string> load_script();
    void run_script(int id);
    std::optional<std::string> await_first_report();
    void unload_script();
    void remove_script_file();

    ShellOnBus kwin_;
    sd_bus_slot *object_ = nullptr;
    std::string service_;  // our bus name, which the script calls
    std::string plugin_;   // the script's name inside KWin
    std::string script_file_;
    bool loaded_ = false;
    bool reported_ = false;  // the script has run: it reported once
    bool none_pending_ = false;  // the last report said "no active window"
    ActiveWindow active_ = ActiveWindow::other;
};

// A witness of the game's focus seen from outside Wine, one kind per desktop: the X server's
// (EWMH, or the input focus where no window manager sets it) and a wlroots compositor's
// (wlr-foreign-toplevel-management) and KWin's (a script of ours inside it). The host polls its fd, lets it take what arrived and asks it
// whether the game's window is the active one; Wine's own foreground is the bridge's to report.
// Which witness runs is chosen here from what the session offers.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// What the active window is to us: the game's; one that shows an X display of its own, inside which
// the game may run (a gamescope nested on the desktop); or another.
enum class ActiveWindow { other, game, nested_display };

class FocusWitness {
public:
    virtual ~FocusWitness() = default;
    // As the "witness" event names it.
    virtual const char *name() const = 0;
    virtual int fd() const = 0;
    // Takes in what has arrived on fd(); false once the connection is lost.
    virtual bool handle_events() = 0;
    // Some witnesses are told nothing and must ask (X without a window manager), on each tick.
    virtual bool needs_polling() const { return false; }
    virtual void poll() {}
    virtual ActiveWindow active() const = 0;
    bool game_active() const { return active() == ActiveWindow::game; }
    // What the error event says once handle_events() has returned false.
    virtual const char *lost_message() const = 0;
};

// Whether a window's class (X's WM_CLASS) or app id (Wayland's) names the game: Wine sets
// "starcitizen.exe", case aside, for the X11 and the Wayland driver alike.
bool is_game_name(std::string_view name);
// The kind of window that a class or app id names: gamescope's nested window is "gamescope".
ActiveWindow window_kind(std::string_view name);

enum class WitnessKind { x, wlr, kwin, gnome_shell };

// The option's values, as --witness takes them.
std::optional<WitnessKind> witness_kind(std::string_view name);

// What the session offers: the environment's displays, whether the Wayland compositor advertises
// zwlr_foreign_toplevel_manager_v1 (asked only when WAYLAND_DISPLAY is set), and whether KWin, or
// else GNOME Shell, is on the session bus (asked on Wayland when there is no wlroots list, or when
// --witness says so).
struct WitnessOffer {
    bool wayland_display = false;
    bool wlr_manager = false;
    bool x_display = false;
    bool kwin = false;
    bool gnome_shell = false;
};

// The witness to run, or the reason there is none (kind empty, message set). With a witness, a
// message is a note said once at start: the Wayland compositor offers no witness of its own, so a
// game under Wine's Wayland driver cannot be followed, while its XWayland mode can.
struct WitnessChoice {
    std::optional<WitnessKind> kind;
    std::string message;
};

WitnessChoice choose_witness(std::optional<WitnessKind> asked, const WitnessOffer &offer);

// GNOME Shell's witness over sd-bus. The shell knows our extension by its uuid
// (org.gnome.Shell.Extensions GetExtensionInfo): running, or installed but off, out of date or
// failed; or not at all, when its files came after the shell started. Only a running extension
// serves: we then ask it once what has the focus and follow its signal, which we take from
// GNOME Shell's own connection only, since anyone on the bus may send a signal of that name.
#include "gnome_shell_witness.h"

#include "gnome_extension.h"

#include <systemd/sd-bus.h>

#include <cstdlib>
#include <cstring>

namespace {

const char *const shell_name = "org.gnome.Shell";
const char *const extension_path = "/org/bridgehost/FocusWitness";
const char *const extension_interface = "org.bridgehost.FocusWitness";

// GNOME Shell's ExtensionState.
constexpr double state_active = 1, state_inactive = 2, state_error = 3, state_out_of_date = 4;

int on_focus_changed(sd_bus_message *message, void *data, sd_bus_error *)
{
    static_cast<GnomeShellWitness *>(data)->focus_changed(message);
    return 0;
}

// The "state" of the a{sv} that GetExtensionInfo answers; none when the dictionary is empty (an
// extension that the running shell does not know).
std::optional<double> read_state(sd_bus_message *reply)
{
    std::optional<double> state;
    if (sd_bus_message_enter_container(reply, 'a', "{sv}") < 0)
        return state;
    while (sd_bus_message_enter_container(reply, 'e', "sv") > 0) {
        const char *key, *contents = nullptr;
        double value;
        if (sd_bus_message_read(reply, "s", &key) < 0 || sd_bus_message_peek_type(reply, nullptr, &contents) < 0)
            break;
        if (std::strcmp(key, "state") == 0 && contents && std::strcmp(contents, "d") == 0 &&
            sd_bus_message_read(reply, "v", "d", &value) >= 0)
            state = value;
        else if (sd_bus_message_skip(reply, "v") < 0)
            break;
        sd_bus_message_exit_container(reply);
    }
    return state;
}

const char *state_words(double state)
{
    if (state == state_error)
        return "failed in GNOME Shell, whose log says why";
    return state == state_inactive ? "turned off; turn it on in GNOME's Extensions" : "not running";
}

}  // namespace

std::variant<std::unique_ptr<GnomeShellWitness>, std::string> GnomeShellWitness::open()
{
    std::unique_ptr<GnomeShellWitness> witness(new GnomeShellWitness());
    if (auto failure = witness->shell_.connect(shell_name, "GNOME Shell"))
        return *failure;
    return witness;
}

GnomeShellWitness::~GnomeShellWitness()
{
    sd_bus_slot_unref(focus_match_);
}

std::optional<double> GnomeShellWitness::extension_state()
{
    sd_bus_message *reply = nullptr;
    std::optional<double> state;
    if (sd_bus_call_method(shell_.bus, shell_.owner.c_str(), "/org/gnome/Shell", "org.gnome.Shell.Extensions",
                           "GetExtensionInfo", nullptr, &reply, "s", gnome_extension::uuid) >= 0)
        state = read_state(reply);
    sd_bus_message_unref(reply);
    return state;
}

std::optional<std::string> GnomeShellWitness::start()
{
    auto state = extension_state();
    if (state != state_active)
        return not_running(state);
    std::string rule = "type='signal',sender='" + shell_.owner + "',path='" + extension_path + "',interface='" +
                       extension_interface + "',member='FocusChanged'";
    int r = sd_bus_add_match(shell_.bus, &focus_match_, rule.c_str(), on_focus_changed, this);
    if (r < 0)
        return std::string("cannot watch GNOME Shell's signals: ") + std::strerror(-r);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message *reply = nullptr;
    r = sd_bus_call_method(shell_.bus, shell_.owner.c_str(), extension_path, extension_interface, "Focused", &error,
                           &reply, "");
    if (r >= 0)
        focus_changed(reply);
    std::string failure = "the GNOME Shell extension " + std::string(gnome_extension::uuid) +
                          " runs but does not answer: " + bus_error(error, r);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    if (r < 0)
        return failure;
    return std::nullopt;
}

// What to tell the player while the extension does not run, after doing what bridge-host can: its
// files written where they are missing or out of date, and it turned on in GNOME's setting where it
// is new. A user's own "off" stays off.
std::string GnomeShellWitness::not_running(std::optional<double> state)
{
    std::string extension = std::string("the GNOME Shell extension ") + gnome_extension::uuid;
    std::string version = shell_version();
    if (gnome_extension::build_for(version) == gnome_extension::Build::none)
        return "GNOME Shell " + version + " cannot load " + extension + ", written for GNOME 43 and later";
    bool fresh = !state && !gnome_extension::installed();
    if (fresh || state == state_out_of_date) {
        if (auto failure = gnome_extension::install(version))
            return "cannot install " + extension + ": " + *failure;
    }
    if (gnome_extension::user_extensions_off())
        return extension + " is installed, but user extensions are turned off (org.gnome.shell "
                           "disable-user-extensions)";
    if (state && state != state_out_of_date)
        return extension + " is " + state_words(*state);
    std::string installed = extension + (fresh ? " is installed now in " + gnome_extension::directory()
                                               : state ? " is updated for this GNOME Shell"
                                                       : " is installed");
    if (auto failure = gnome_extension::enable())
        return installed + ", but " + *failure;
    return installed + ": GNOME Shell loads it at the next login (log out and in again)";
}

std::string GnomeShellWitness::shell_version()
{
    char *version = nullptr;
    sd_bus_get_property_string(shell_.bus, shell_.owner.c_str(), "/org/gnome/Shell", shell_name, "ShellVersion",
                               nullptr, &version);
    std::string text = version ? version : "";
    free(version);
    return text;
}

int GnomeShellWitness::fd() const
{
    return sd_bus_get_fd(shell_.bus);
}

bool GnomeShellWitness::handle_events()
{
    return shell_.drain();
}

void GnomeShellWitness::focus_changed(sd_bus_message *message)
{
    const char *window_class;
    uint32_t pid;
    int wayland;
    if (!shell_.sent_by_shell(sd_bus_message_get_sender(message)) ||
        sd_bus_message_read(message, "sub", &window_class, &pid, &wayland) < 0)
        return;
    active_ = window_kind(window_class);
}

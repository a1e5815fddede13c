#include "session_bus.h"

#include <systemd/sd-bus.h>

#include <cstring>

namespace {

// The witnesses' calls to the shell; KWin and GNOME Shell answer within ms.
constexpr uint64_t call_timeout_us = 2'000'000;

int on_owner_changed(sd_bus_message *message, void *data, sd_bus_error *)
{
    auto *shell = static_cast<ShellOnBus *>(data);
    const char *name, *old_owner, *new_owner;
    if (sd_bus_message_read(message, "sss", &name, &old_owner, &new_owner) >= 0 && shell->sent_by_shell(old_owner))
        shell->gone = true;
    return 0;
}

}  // namespace

ShellOnBus::~ShellOnBus()
{
    sd_bus_slot_unref(owner_match);
    sd_bus_flush_close_unref(bus);
}

std::optional<std::string> ShellOnBus::connect(const char *name, const char *desktop)
{
    int r = sd_bus_open_user(&bus);
    if (r < 0)
        return std::string("no session bus: ") + std::strerror(-r);
    sd_bus_set_method_call_timeout(bus, call_timeout_us);
    // Watched before the shell is looked up, so that no leaving falls between the two.
    std::string rule = "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
                       "member='NameOwnerChanged',arg0='" + std::string(name) + "'";
    r = sd_bus_add_match(bus, &owner_match, rule.c_str(), on_owner_changed, this);
    if (r < 0)
        return std::string("cannot watch the session bus: ") + std::strerror(-r);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message *reply = nullptr;
    const char *unique = nullptr;
    r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "GetNameOwner", &error, &reply, "s", name);
    if (r >= 0)
        r = sd_bus_message_read(reply, "s", &unique);
    if (r >= 0)
        owner = unique;
    std::string failure = std::string(desktop) + " (" + name + ") is not on the session bus: " + bus_error(error, r);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    if (r < 0)
        return failure;
    return std::nullopt;
}

bool ShellOnBus::drain()
{
    int r;
    while ((r = sd_bus_process(bus, nullptr)) > 0) {
    }
    return r >= 0 && !gone;
}

std::string bus_error(const sd_bus_error &error, int r)
{
    return error.message ? error.message : std::strerror(-r);
}

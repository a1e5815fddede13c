// KWin's witness over sd-bus. We own a bus name, export one method at /Focus, and have KWin load
// and run a script (org.kde.KWin /Scripting) that calls it on each activation. A report counts
// only from KWin's own connection: anyone on the bus may call us. The resourceClass decides (Wine
// sets starcitizen.exe for an X window's WM_CLASS and a Wayland window's app id alike); the pid
// does not confirm it, since for an X window KWin takes it from _NET_WM_PID, which a game in a
// container sets from its own pid namespace.
//
// The script stays loaded in KWin until it is unloaded by name, also after we were killed. So the
// name is one of a few slots, each tied to a bus name of ours: whoever owns slot N's bus name
// knows that a script under slot N's plugin name is a dead process's, and unloads it first.
#include "kwin_witness.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

const char *const kwin_name = "org.kde.KWin";
const char *const scripting_path = "/Scripting";
const char *const scripting = "org.kde.kwin.Scripting";
const char *const our_path = "/Focus";
const char *const our_interface = "org.bridgehost.Focus";
constexpr int slots = 8;  // bridge-hosts of one user at a time
// KWin takes its bus name some 40 ms before /Scripting exists: a start with KWin waits that long.
constexpr auto scripting_wait = std::chrono::seconds(5);
// The script reports the active window as soon as it runs, within ms; a script that KWin loaded but
// could not run (its engine threw, as when a KWin renames a signal) never reports.
constexpr uint64_t first_report_wait_us = 2'000'000;
// On a switch KWin reports "no active window" just before the new one, some 0.1 ms apart; only a
// "none" with nothing after it for this long is taken as such, so that the game does not flicker
// out of front when the focus goes from one of its windows to another.
constexpr uint64_t none_grace_us = 10'000;

// One script for KWin 5 and 6. Every argument is a string, so that the signature is "sss" whatever
// type KWin's engine gives the pid or a KWin 5 resourceClass (a QByteArray); an empty pid means
// that no window is active.
const char *const script_text = R"JS((function () {
    function report(window) {
        callDBus("@SERVICE@", "/Focus", "org.bridgehost.Focus", "activated", window ? String(window.pid) : "",
                 window ? String(window.resourceClass) : "", window ? String(window.caption) : "");
    }
    // KWin 6 names them windowActivated and activeWindow, KWin 5 clientActivated and activeClient.
    (workspace.windowActivated || workspace.clientActivated).connect(report);
    report(workspace.activeWindow !== undefined ? workspace.activeWindow : workspace.activeClient);
})();
)JS";

int on_report(sd_bus_message *message, void *data, sd_bus_error *)
{
    return static_cast<KwinWitness *>(data)->report(message);
}

const sd_bus_vtable vtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("activated", "sss", "", on_report, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

// The script with our bus name in it, in a file that KWin reads by its path (after loadScript
// returns). Readable by all: it holds nothing but that name, and KWin may be another user (tests).
std::string write_script(const std::string &service, std::string &failure)
{
    std::string text = script_text;
    text.replace(text.find("@SERVICE@"), 9, service);
    const char *dir = std::getenv("XDG_RUNTIME_DIR");
    std::string path = std::string(dir && *dir ? dir : "/tmp") + "/bridge-host-focus-XXXXXX.js";
    int fd = mkstemps(path.data(), 3);
    if (fd < 0) {
        failure = "cannot write KWin's script in " + path + ": " + std::strerror(errno);
        return "";
    }
    bool written = write(fd, text.data(), text.size()) == (ssize_t)text.size() && fchmod(fd, 0644) == 0;
    close(fd);
    if (!written) {
        failure = "cannot write KWin's script " + path;
        unlink(path.c_str());
        return "";
    }
    return path;
}

bool scripting_missing(const sd_bus_error &error)
{
    return sd_bus_error_has_names(&error, SD_BUS_ERROR_UNKNOWN_OBJECT, SD_BUS_ERROR_UNKNOWN_METHOD,
                                  SD_BUS_ERROR_UNKNOWN_INTERFACE);
}

// Unloads a script under our plugin name, a dead bridge-host's that would go on calling our name,
// and loads ours; id is KWin's for it, or -1 when KWin refuses it.
int replace_script(sd_bus *bus, const std::string &plugin, const std::string &file, sd_bus_error *error,
                   int32_t &id)
{
    int r = sd_bus_call_method(bus, kwin_name, scripting_path, scripting, "unloadScript", error, nullptr, "s",
                               plugin.c_str());
    sd_bus_message *reply = nullptr;
    if (r >= 0)
        r = sd_bus_call_method(bus, kwin_name, scripting_path, scripting, "loadScript", error, &reply, "ss",
                               file.c_str(), plugin.c_str());
    if (r >= 0)
        r = sd_bus_message_read(reply, "i", &id);
    sd_bus_message_unref(reply);
    return r;
}

}  // namespace

std::variant<std::unique_ptr<KwinWitness>, std::string> KwinWitness::open()
{
    std::unique_ptr<KwinWitness> witness(new KwinWitness());
    if (auto failure = witness->kwin_.connect(kwin_name, "KWin"))
        return *failure;
    return witness;
}

KwinWitness::~KwinWitness()
{
    unload_script();
    remove_script_file();
    sd_bus_slot_unref(object_);
}

std::optional<std::string> KwinWitness::start()
{
    int r = sd_bus_add_object_vtable(kwin_.bus, &object_, our_path, our_interface, vtable, this);
    if (r < 0)
        return std::string("cannot export ") + our_path + ": " + std::strerror(-r);
    if (auto failure = take_slot())
        return failure;
    return load_script();
}

std::optional<std::string> KwinWitness::take_slot()
{
    for (int slot = 0; slot < slots; ++slot) {
        std::string service = "org.bridgehost.Focus.Slot" + std::to_string(slot);
        int r = sd_bus_request_name(kwin_.bus, service.c_str(), 0);
        if (r == -EEXIST)
            continue;  // a bridge-host that runs
        if (r < 0)
            return "cannot own " + service + " on the session bus: " + std::strerror(-r);
        service_ = service;
        plugin_ = "bridge-host-focus-" + std::to_string(slot);
        return std::nullopt;
    }
    return "all " + std::to_string(slots) + " of bridge-host's names on the session bus are taken";
}

std::optional<std::string> KwinWitness::load_script()
{
    std::string failure;
    script_file_ = write_script(service_, failure);
    if (script_file_.empty())
        return failure;
    auto deadline = std::chrono::steady_clock::now() + scripting_wait;
    for (;;) {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        int32_t id = -1;
        int r = replace_script(kwin_.bus, plugin_, script_file_, &error, id);
        bool retry = r < 0 && scripting_missing(error) && std::chrono::steady_clock::now() < deadline;
        failure = r < 0 ? "KWin did not load the script: " + bus_error(error, r)
                        : "KWin refused the script " + script_file_;
        sd_bus_error_free(&error);
        if (r >= 0 && id >= 0) {
            loaded_ = true;
            run_script(id);
            return await_first_report();
        }
        if (!retry)
            return failure;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// Only our script: KWin 6 has it at /Scripting/Script<id>, KWin 5 at /<id>. Scripting.start would
// start every script loaded and not yet running, so it comes last.
void KwinWitness::run_script(int id)
{
    for (const std::string &path : {std::string(scripting_path) + "/Script" + std::to_string(id),
                                    "/" + std::to_string(id)})
        if (sd_bus_call_method(kwin_.bus, kwin_name, path.c_str(), "org.kde.kwin.Script", "run", nullptr, nullptr, "") >= 0)
            return;
    sd_bus_call_method(kwin_.bus, kwin_name, scripting_path, scripting, "start", nullptr, nullptr, "");
}

std::optional<std::string> KwinWitness::await_first_report()
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(first_report_wait_us);
    while (kwin_.drain() && !reported_) {
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || sd_bus_wait(kwin_.bus, left.count()) < 0)
            break;
    }
    if (reported_)
        return std::nullopt;
    int loaded = -1;
    sd_bus_message *reply = nullptr;
    if (sd_bus_call_method(kwin_.bus, kwin_name, scripting_path, scripting, "isScriptLoaded", nullptr, &reply, "s",
                           plugin_.c_str()) >= 0 &&
        sd_bus_message_read(reply, "b", &loaded) < 0)
        loaded = -1;
    sd_bus_message_unref(reply);
    unload_script();
    std::string answer = loaded == 1   ? "KWin has it loaded; its log says why it stopped"
                         : loaded == 0 ? "KWin no longer has it loaded"
                                       : "KWin did not answer isScriptLoaded";
    return "KWin's script of bridge-host did not run (no report within " +
           std::to_string(first_report_wait_us / 1'000'000) + " s; " + answer + ")";
}

void KwinWitness::unload_script()
{
    if (loaded_ && !kwin_.gone)
        sd_bus_call_method(kwin_.bus, kwin_name, scripting_path, scripting, "unloadScript", nullptr, nullptr, "s",
                           plugin_.c_str());
    loaded_ = false;
}

void KwinWitness::remove_script_file()
{
    if (!script_file_.empty())
        unlink(script_file_.c_str());
    script_file_.clear();
}

int KwinWitness::fd() const
{
    return sd_bus_get_fd(kwin_.bus);
}

bool KwinWitness::handle_events()
{
    for (;;) {
        if (!kwin_.drain())
            return false;
        if (!none_pending_)
            return true;
        int r = sd_bus_wait(kwin_.bus, none_grace_us);
        if (r < 0)
            return false;
        if (r == 0) {
            none_pending_ = false;
            active_ = ActiveWindow::other;
            return true;
        }
    }
}

int KwinWitness::report(sd_bus_message *message)
{
    if (!kwin_.sent_by_shell(sd_bus_message_get_sender(message)))
        return sd_bus_reply_method_errorf(message, SD_BUS_ERROR_ACCESS_DENIED, "only KWin reports here");
    const char *pid, *resource_class, *caption;
    int r = sd_bus_message_read(message, "sss", &pid, &resource_class, &caption);
    if (r < 0)
        return r;
    remove_script_file();  // KWin has read it, since the script runs
    reported_ = true;
    none_pending_ = !*pid;
    if (*pid)
        active_ = window_kind(resource_class);
    return sd_bus_reply_method_return(message, "");
}

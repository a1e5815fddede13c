// wlr-foreign-toplevel-management over libwayland-client; the protocol's code comes from
// wayland-scanner (host/protocols). A toplevel's app_id and state arrive as events closed by
// "done", and count from then on. The game is the toplevel whose app id is starcitizen.exe (Wine's
// Wayland driver sets it from the executable; sway gives an XWayland window its WM_CLASS); it is
// active while its state holds "activated". The protocol gives no pid, and the title says nothing
// the app id does not: the app id alone decides.
#include "wlr_witness.h"

#include "wlr-foreign-toplevel-management-unstable-v1-client-protocol.h"

#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <poll.h>

namespace {

// What this witness needs of the protocol is all in its first version; 3 adds events it ignores.
constexpr uint32_t max_version = 3;

}  // namespace

struct WlrWitness::Toplevel {
    WlrWitness *owner;
    zwlr_foreign_toplevel_handle_v1 *handle;
    std::string app_id, pending_app_id;
    bool activated = false, pending_activated = false;

    Toplevel(WlrWitness *owner, zwlr_foreign_toplevel_handle_v1 *handle) : owner(owner), handle(handle) {}
    Toplevel(const Toplevel &) = delete;  // it owns the handle
    Toplevel &operator=(const Toplevel &) = delete;
    ~Toplevel() { zwlr_foreign_toplevel_handle_v1_destroy(handle); }
    ActiveWindow kind() const { return activated ? window_kind(app_id) : ActiveWindow::other; }
};

namespace {

using Toplevel = WlrWitness::Toplevel;

void on_title(void *, zwlr_foreign_toplevel_handle_v1 *, const char *) {}

void on_app_id(void *data, zwlr_foreign_toplevel_handle_v1 *, const char *app_id)
{
    static_cast<Toplevel *>(data)->pending_app_id = app_id;
}

void on_output(void *, zwlr_foreign_toplevel_handle_v1 *, wl_output *) {}

void on_state(void *data, zwlr_foreign_toplevel_handle_v1 *, wl_array *states)
{
    auto *toplevel = static_cast<Toplevel *>(data);
    const auto *state = static_cast<const uint32_t *>(states->data);
    const auto *end = state + states->size / sizeof *state;
    toplevel->pending_activated =
        std::find(state, end, (uint32_t)ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_ACTIVATED) != end;
}

void on_done(void *data, zwlr_foreign_toplevel_handle_v1 *)
{
    auto *toplevel = static_cast<Toplevel *>(data);
    toplevel->app_id = toplevel->pending_app_id;
    toplevel->activated = toplevel->pending_activated;
    toplevel->owner->changed();
}

void on_closed(void *data, zwlr_foreign_toplevel_handle_v1 *)
{
    auto *toplevel = static_cast<Toplevel *>(data);
    toplevel->owner->closed(toplevel);
}

void on_parent(void *, zwlr_foreign_toplevel_handle_v1 *, zwlr_foreign_toplevel_handle_v1 *) {}

const zwlr_foreign_toplevel_handle_v1_listener toplevel_listener = {
    on_title, on_app_id, on_output, on_output, on_state, on_done, on_closed, on_parent};

void on_toplevel(void *data, zwlr_foreign_toplevel_manager_v1 *, zwlr_foreign_toplevel_handle_v1 *handle)
{
    auto *owner = static_cast<WlrWitness *>(data);
    auto toplevel = std::make_unique<Toplevel>(owner, handle);
    zwlr_foreign_toplevel_handle_v1_add_listener(handle, &toplevel_listener, toplevel.get());
    owner->added(std::move(toplevel));
}

void on_finished(void *data, zwlr_foreign_toplevel_manager_v1 *)
{
    static_cast<WlrWitness *>(data)->finished();
}

const zwlr_foreign_toplevel_manager_v1_listener manager_listener = {on_toplevel, on_finished};

void on_global(void *data, wl_registry *registry, uint32_t name, const char *interface, uint32_t version)
{
    if (std::strcmp(interface, zwlr_foreign_toplevel_manager_v1_interface.name) != 0)
        return;
    auto *manager = static_cast<zwlr_foreign_toplevel_manager_v1 *>(wl_registry_bind(
        registry, name, &zwlr_foreign_toplevel_manager_v1_interface, std::min(version, max_version)));
    // At once: the toplevels come right after the bind, before any later roundtrip ends.
    zwlr_foreign_toplevel_manager_v1_add_listener(manager, &manager_listener, data);
    static_cast<WlrWitness *>(data)->bound(manager);
}

void on_global_remove(void *, wl_registry *, uint32_t) {}

const wl_registry_listener registry_listener = {on_global, on_global_remove};

}  // namespace

std::variant<std::unique_ptr<WlrWitness>, std::string> WlrWitness::open()
{
    const char *name = std::getenv("WAYLAND_DISPLAY");
    std::unique_ptr<WlrWitness> witness(new WlrWitness());
    witness->display_ = wl_display_connect(nullptr);
    if (!witness->display_)
        return "cannot connect to the Wayland display \"" + std::string(name ? name : "") + "\"";
    witness->registry_ = wl_display_get_registry(witness->display_);
    wl_registry_add_listener(witness->registry_, &registry_listener, witness.get());
    // The first roundtrip brings the globals (and binds the manager), the second the toplevels.
    for (int round = 0; round < 2; ++round)
        if (wl_display_roundtrip(witness->display_) < 0)
            return "the Wayland display \"" + std::string(name ? name : "") + "\" did not answer";
    if (!witness->manager_)
        return std::string("the Wayland compositor offers no ") + zwlr_foreign_toplevel_manager_v1_interface.name;
    return witness;
}

WlrWitness::~WlrWitness()
{
    toplevels_.clear();
    if (manager_)
        zwlr_foreign_toplevel_manager_v1_destroy(manager_);
    if (registry_)
        wl_registry_destroy(registry_);
    if (display_)
        wl_display_disconnect(display_);
}

int WlrWitness::fd() const
{
    return wl_display_get_fd(display_);
}

// libwayland's reading protocol for a loop of our own: read only what poll() said is there.
bool WlrWitness::handle_events()
{
    while (wl_display_prepare_read(display_) != 0)
        if (wl_display_dispatch_pending(display_) < 0)
            return false;
    pollfd ready = {fd(), POLLIN, 0};
    if (::poll(&ready, 1, 0) > 0) {
        if (wl_display_read_events(display_) < 0)
            return false;
    } else {
        wl_display_cancel_read(display_);
    }
    if (wl_display_dispatch_pending(display_) < 0)
        return false;
    // Our requests are the destroys of closed toplevels: small, and never worth a wait.
    if (wl_display_flush(display_) < 0 && errno != EAGAIN)
        return false;
    return !finished_;
}

void WlrWitness::added(std::unique_ptr<Toplevel> toplevel)
{
    toplevels_.push_back(std::move(toplevel));
}

void WlrWitness::closed(Toplevel *toplevel)
{
    toplevels_.erase(std::find_if(toplevels_.begin(), toplevels_.end(),
                                  [toplevel](const auto &kept) { return kept.get() == toplevel; }));
    changed();
}

void WlrWitness::changed()
{
    auto active = std::find_if(toplevels_.begin(), toplevels_.end(),
                               [](const auto &toplevel) { return toplevel->kind() != ActiveWindow::other; });
    active_ = active == toplevels_.end() ? ActiveWindow::other : (*active)->kind();
}

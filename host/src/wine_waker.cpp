// The X side of the wake-up, over the X-Resource extension (libxcb-res): the desktop process's X
// clients are those whose pid it is, and their windows those whose ids lie in their range of ids.
#include "wine_waker.h"

#include "game_finder.h"
#include "wine_clipboard_windows.h"

#include <xcb/res.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unistd.h>

namespace {

constexpr auto poke_period = std::chrono::milliseconds(100);  // the bridge counts 250 ms of silence as busy
// How often the desktop process is looked for while none is known, or checked while one is.
constexpr auto look_period = std::chrono::seconds(2);
constexpr const char *wake_atom = "BRIDGE_HOST_WAKE";

struct Free {
    void operator()(void *p) const { std::free(p); }
};
template <typename T>
using owned = std::unique_ptr<T, Free>;

// The resource ranges of the X clients that the processes run. Errors are taken here, so that none
// reaches the focus witness's events on a shared connection.
std::vector<XClientRange> clients_of(xcb_connection_t *c, const std::vector<pid_t> &pids)
{
    const xcb_query_extension_reply_t *res = xcb_get_extension_data(c, &xcb_res_id);
    if (!res || !res->present)
        return {};
    xcb_res_client_id_spec_t all{XCB_NONE, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
    auto ids_cookie = xcb_res_query_client_ids(c, 1, &all);
    auto clients_cookie = xcb_res_query_clients(c);
    xcb_generic_error_t *error = nullptr;
    owned<xcb_res_query_client_ids_reply_t> ids(xcb_res_query_client_ids_reply(c, ids_cookie, &error));
    std::free(error);
    error = nullptr;
    owned<xcb_res_query_clients_reply_t> clients(xcb_res_query_clients_reply(c, clients_cookie, &error));
    std::free(error);
    if (!ids || !clients)
        return {};
    std::vector<XClientRange> ranges;
    const xcb_res_client_t *listed = xcb_res_query_clients_clients(clients.get());
    int count = xcb_res_query_clients_clients_length(clients.get());
    for (auto it = xcb_res_query_client_ids_ids_iterator(ids.get()); it.rem; xcb_res_client_id_value_next(&it)) {
        if (xcb_res_client_id_value_value_length(it.data) != 1)
            continue;
        pid_t pid = (pid_t)*xcb_res_client_id_value_value(it.data);
        if (std::find(pids.begin(), pids.end(), pid) == pids.end())
            continue;
        for (int i = 0; i < count; ++i)
            if (listed[i].resource_base == it.data->spec.client)
                ranges.push_back({listed[i].resource_base, listed[i].resource_mask});
    }
    return ranges;
}

// The root's children made by those clients, with what the choice needs: asked all at once.
std::vector<RootChild> children_of(xcb_connection_t *c, xcb_window_t root, const std::vector<XClientRange> &clients)
{
    xcb_generic_error_t *error = nullptr;
    owned<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, root), &error));
    std::free(error);
    if (!tree)
        return {};
    struct Asked {
        xcb_window_t id;
        xcb_get_geometry_cookie_t geometry;
        xcb_get_window_attributes_cookie_t attributes;
    };
    std::vector<Asked> asked;
    xcb_window_t *windows = xcb_query_tree_children(tree.get());
    for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i)
        if (made_by(windows[i], clients))
            asked.push_back({windows[i], xcb_get_geometry(c, windows[i]), xcb_get_window_attributes(c, windows[i])});
    std::vector<RootChild> children;
    for (const auto &window : asked) {
        xcb_generic_error_t *geometry_error = nullptr, *attributes_error = nullptr;
        owned<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, window.geometry, &geometry_error));
        owned<xcb_get_window_attributes_reply_t> attributes(
            xcb_get_window_attributes_reply(c, window.attributes, &attributes_error));
        std::free(geometry_error);
        std::free(attributes_error);
        if (geometry && attributes)  // else it has gone meanwhile
            children.push_back({window.id, geometry->width, geometry->height,
                                attributes->map_state != XCB_MAP_STATE_UNMAPPED,
                                attributes->_class == XCB_WINDOW_CLASS_INPUT_OUTPUT});
    }
    return children;
}

xcb_atom_t intern(xcb_connection_t *c, const char *name)
{
    xcb_generic_error_t *error = nullptr;
    owned<xcb_intern_atom_reply_t> atom(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, std::strlen(name), name), &error));
    std::free(error);
    return atom ? atom->atom : XCB_NONE;
}

}  // namespace

bool WineWaker::tick(clock::time_point now, XDisplay *x, const std::string &prefix)
{
    if (!x || prefix.empty()) {
        stop();
        return false;
    }
    bool asked = false;
    if (x != x_ || prefix != prefix_) {
        stop();
        x_ = x;
        prefix_ = prefix;
        atom_ = intern(x->xcb(), wake_atom);
        asked = true;
    }
    if (now >= next_look_) {
        next_look_ = now + look_period;
        if (windows_.empty() || desktops_changed()) {
            look();
            asked = true;
        }
    }
    if (windows_.empty() || now < next_poke_ || atom_ == XCB_NONE)
        return asked;
    next_poke_ = now + poke_period;
    if (!poke())
        look();  // a window has gone: its process has made others, or ended
    return true;
}

void WineWaker::stop()
{
    x_ = nullptr;
    prefix_.clear();
    desktops_.clear();
    windows_.clear();
    next_look_ = next_poke_ = {};
}

bool WineWaker::desktops_changed() const
{
    for (pid_t pid : desktops_)
        if (!process_runs("/proc", pid, wine_desktop_image))
            return true;
    return desktops_.empty();
}

void WineWaker::look()
{
    desktops_ = find_wine_desktops("/proc", getuid(), prefix_);
    windows_.clear();
    if (desktops_.empty())
        return;
    xcb_connection_t *c = x_->xcb();
    auto clients = clients_of(c, desktops_);
    windows_ = wine_clipboard_windows(clients, children_of(c, x_->root(), clients));
}

// Sends each window the ClientMessage; false if one of them has gone (BadWindow).
bool WineWaker::poke()
{
    xcb_connection_t *c = x_->xcb();
    std::vector<xcb_void_cookie_t> sent;
    for (uint32_t window : windows_) {
        xcb_client_message_event_t message{};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = window;
        message.type = atom_;
        // No event mask: X gives the event to the client that made the window, Wine's clipboard thread.
        sent.push_back(xcb_send_event_checked(c, 0, window, XCB_EVENT_MASK_NO_EVENT,
                                              reinterpret_cast<const char *>(&message)));
    }
    bool all_there = true;
    for (auto cookie : sent)
        if (owned<xcb_generic_error_t> error{xcb_request_check(c, cookie)})
            all_there &= error->error_code != XCB_WINDOW;
    return all_there;
}

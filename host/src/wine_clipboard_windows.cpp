#include "wine_clipboard_windows.h"

#include <cstddef>

namespace {

// The index of the client whose range holds the id; clients.size() when none.
std::size_t maker(uint32_t id, const std::vector<XClientRange> &clients)
{
    std::size_t i = 0;
    while (i < clients.size() && (clients[i].base == 0 || (id & ~clients[i].mask) != clients[i].base))
        ++i;
    return i;
}

}  // namespace

bool made_by(uint32_t id, const std::vector<XClientRange> &clients)
{
    return maker(id, clients) < clients.size();
}

std::vector<uint32_t> wine_clipboard_windows(const std::vector<XClientRange> &clients,
                                             const std::vector<RootChild> &children)
{
    std::vector<uint32_t> windows;
    std::vector<bool> taken(clients.size());
    for (const auto &child : children) {
        std::size_t client = maker(child.id, clients);
        if (client < clients.size() && !taken[client] && child.width == 1 && child.height == 1 && !child.mapped &&
            child.input_output) {
            taken[client] = true;
            windows.push_back(child.id);
        }
    }
    return windows;
}

// What installing our GNOME Shell extension decides and edits: which build the running shell
// loads, its metadata's list of shell versions, and GNOME's list of enabled extensions as gsettings
// prints it.
#include "gnome_extension.h"

#include <cstdlib>

namespace gnome_extension {

Build build_for(const std::string &shell_version)
{
    if (shell_version.empty())
        return Build::modules;
    int major = std::atoi(shell_version.c_str());
    return major >= 45 ? Build::modules : major >= 43 ? Build::legacy : Build::none;
}

std::string metadata_listing(const std::string &metadata, const std::string &shell_version)
{
    std::string text = metadata;
    std::string major = "\"" + shell_version.substr(0, shell_version.find('.')) + "\"";
    size_t list = text.find("\"shell-version\"");
    size_t end = list == std::string::npos ? list : text.find(']', list);
    if (major != "\"\"" && end != std::string::npos && text.substr(list, end - list).find(major) == std::string::npos)
        text.insert(end, ", " + major);
    return text;
}

std::string enabled_with(std::string list, const char *uuid)
{
    while (!list.empty() && (list.back() == '\n' || list.back() == ' '))
        list.pop_back();
    std::string ours = std::string("'") + uuid + "'";
    size_t end = list.rfind(']');
    if (end == std::string::npos || list.find('\'') == std::string::npos)
        return "[" + ours + "]";
    return list.substr(0, end) + ", " + ours + "]";
}

}  // namespace gnome_extension

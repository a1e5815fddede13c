// Our GNOME Shell extension (host/gnome-extension/), which bridge-host carries and installs: its
// files among the user's extensions, and GNOME's setting that turns it on. GNOME Shell reads an
// extension's files only when it starts, which on Wayland is a new login.
#pragma once

#include <optional>
#include <string>

namespace gnome_extension {

extern const char uuid[];

// $XDG_DATA_HOME/gnome-shell/extensions/<uuid> (by default under ~/.local/share).
std::string directory();

// Whether its files are there.
bool installed();

// Writes the files of the build that the running shell loads, with its major version among those
// that they declare (GNOME Shell loads no extension that does not list it); the message says what
// failed.
std::optional<std::string> install(const std::string &shell_version);

// Whether the user turned every user extension off (org.gnome.shell disable-user-extensions).
bool user_extensions_off();

// Adds it to org.gnome.shell enabled-extensions (through gsettings) unless it is there; the message
// says what failed.
std::optional<std::string> enable();

// Its two builds from one source: GNOME 45 and later load an ES module, GNOME 43 and 44 only a
// script of the older form (legacy.cmake makes it); GNOME before 43 is not served.
enum class Build { none, legacy, modules };

// The build for GNOME Shell shell_version ("43.9"): modules when the version is unknown (""), as
// the newer shells are the likelier.
Build build_for(const std::string &shell_version);

// The metadata, with the running shell's major version ("48" of "48.7") in its "shell-version" list.
std::string metadata_listing(const std::string &metadata, const std::string &shell_version);

// A string list as gsettings prints it ("['a@b', 'c@d']", "@as []" when empty), with uuid added.
std::string enabled_with(std::string list, const char *uuid);

// The extension's files, as built in (gnome_extension_files.cpp, made by CMake from
// host/gnome-extension/): the ES module and the legacy build.
extern const char extension_js[];
extern const char metadata_json[];
extern const char legacy_extension_js[];
extern const char legacy_metadata_json[];

}  // namespace gnome_extension

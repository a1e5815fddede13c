// Options with CLI11. Defaults that depend on the machine (the prefix, the installed bridge) are
// settled here, so that the rest of bridge-host sees only complete options.
#include "options.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>

#ifndef BRIDGE_HOST_VERSION
#define BRIDGE_HOST_VERSION "0"
#endif

namespace fs = std::filesystem;

namespace {

const char *const usage_footer = R"(Three ways to run it:
  bridge-host                      follows the game: waits for StarCitizen.exe and joins its Wine
  bridge-host -- COMMAND [ARGS...] runs the command (a launcher's, or Steam's launch options
                                   "bridge-host -- %command%"), follows the game it starts and exits
                                   with the command's exit code
  bridge-host --prefix DIR --wine PATH   runs the bridge in that prefix with that Wine)";

constexpr std::array<const char *, 4> default_keys = {"ctrl+p", "ctrl+kp_6", "ctrl+kp_4", "ctrl+kp_5"};

int fail(const std::string &message)
{
    std::fprintf(stderr, "bridge-host: %s\n", message.c_str());
    return 2;
}

// The installed copy beside our own executable (<prefix>/bin/../share/bridge-host), else the one
// of the build tree that built us.
std::string default_bridge(std::string &looked_in)
{
    std::error_code error;
    fs::path self = fs::read_symlink("/proc/self/exe", error);
    std::vector<fs::path> places;
    if (!error)
        places.push_back(self.parent_path().parent_path() / "share" / "bridge-host" / "wine_bridge.exe");
#ifdef BRIDGE_BUILD_EXE
    places.push_back(BRIDGE_BUILD_EXE);
#endif
    for (const auto &place : places) {
        if (fs::is_regular_file(place, error))
            return place.string();
        looked_in += (looked_in.empty() ? "" : ", ") + place.string();
    }
    return "";
}

std::string default_prefix()
{
    if (const char *prefix = std::getenv("WINEPREFIX"); prefix && *prefix)
        return prefix;
    const char *home = std::getenv("HOME");
    return std::string(home ? home : "") + "/.wine";
}

int settle_bridge(Options &options);

// Fills in the defaults and checks what the options name; 0 when all is well, else the exit code.
int settle(Options &options, const std::array<std::string, 4> &keys)
{
    for (size_t slot = 0; slot < keys.size(); ++slot) {
        auto parsed = parse_binding(keys[slot]);
        if (auto *message = std::get_if<std::string>(&parsed))
            return fail("--" + std::string(slot_names[slot]) + ": " + *message);
        options.bindings[slot] = std::get<Binding>(parsed);
        for (size_t other = 0; other < slot; ++other)
            if (options.bindings[slot].vk && options.bindings[slot] == options.bindings[other])
                return fail("--" + std::string(slot_names[slot]) + " and --" + slot_names[other] + " are both " +
                            keys[slot]);
    }
    if (options.once && !options.command.empty())
        return fail("--once cannot be used with a command: the command decides when bridge-host ends");
    if (options.follow)
        return settle_bridge(options);
    if (options.prefix.empty())
        options.prefix = default_prefix();
    if (!fs::is_directory(options.prefix))
        return fail("the Wine prefix " + options.prefix + " does not exist (give the game's with --prefix)");
    return settle_bridge(options);
}

int settle_bridge(Options &options)
{
    std::string looked_in;
    if (options.bridge.empty())
        options.bridge = default_bridge(looked_in);
    if (options.bridge.empty())
        return fail("wine_bridge.exe not found in " + looked_in + " (give it with --bridge)");
    if (!fs::is_regular_file(options.bridge))
        return fail("--bridge: no file " + options.bridge);
    return 0;
}

}  // namespace

std::variant<Options, int> parse_options(int argc, char **argv)
{
    Options options;
    std::array<std::string, 4> keys;
    // Everything after the first "--" is the command, whatever it looks like.
    int ours = 1;
    while (ours < argc && std::strcmp(argv[ours], "--") != 0)
        ++ours;
    if (ours < argc) {
        options.command.assign(argv + ours + 1, argv + argc);
        if (options.command.empty())
            return fail("-- must be followed by a command");
    }
    CLI::App app{"Runs wine_bridge.exe beside Star Citizen and prints the game's positions as JSON lines.",
                 "bridge-host"};
    app.footer(usage_footer);
    app.set_version_flag("--version", "bridge-host " BRIDGE_HOST_VERSION);
    app.add_option("--wine", options.wine,
                   "the Wine that runs the game, a launcher's or Proton's wine (default with --prefix: wine); "
                   "without --wine and --prefix the running game's Wine is followed");
    app.add_option("--prefix", options.prefix, "the game's Wine prefix (default with --wine: $WINEPREFIX, else ~/.wine)");
    app.add_option("--bridge", options.bridge, "wine_bridge.exe (default: the installed copy)");
    app.add_option("--delay", options.delay_ms, "pause between the keys typed into the game, in ms")
        ->check(CLI::Range(10, 500))
        ->capture_default_str();
    for (size_t slot = 0; slot < keys.size(); ++slot) {
        keys[slot] = default_keys[slot];
        app.add_option(std::string("--") + slot_names[slot], keys[slot],
                       std::string("hotkey of the ") + slot_names[slot] + " action, like ctrl+p, alt+shift+f5, "
                       "ctrl+kp_5, or none")
            ->capture_default_str();
    }
    app.add_flag("--once", options.once,
                 "print the first position on stdout (other events on stderr) and exit");
    app.add_option("--log", options.log, "append each position line to this file too");
    std::string witness;
    app.add_option("--witness", witness,
                   "the focus witness: x (the X server's, XWayland's on a Wayland desktop), wlr (a wlroots "
                   "compositor's foreign-toplevel list), kwin (a script in KWin, over the session bus) or "
                   "gnome-shell (an extension of ours in GNOME Shell, over the session bus); default on "
                   "Wayland: wlr where the compositor offers it, else kwin where KWin runs, else gnome-shell "
                   "where GNOME Shell runs, else x")
        ->check(CLI::IsMember({"x", "wlr", "kwin", "gnome-shell"}));
    try {
        app.parse(ours, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        return fail(e.what());
    }
    options.follow = app.count("--wine") == 0 && app.count("--prefix") == 0;
    options.witness = witness_kind(witness);
    int failure = settle(options, keys);
    if (failure)
        return failure;
    return options;
}

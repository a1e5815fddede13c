# The portable build (preset portable, BRIDGE_HOST_PORTABLE=ON): a .tar.gz for the distributions that
# take no .deb (SteamOS, Bazzite, Silverblue, Arch), unpacked into ~/.local. bridge-host links libxcb
# and its helpers, libstdc++ and libgcc statically, so that it needs only what each of those systems
# has: glibc (a static one cannot load the NSS modules behind getpwuid), libwayland-client and
# libsystemd, for the Wayland desktops' witnesses. The archive's user unit starts
# ~/.local/bin/bridge-host and lies in ~/.local/share/systemd/user, where systemd looks for a user's units.
option(BRIDGE_HOST_PORTABLE "bridge-host for the portable archive (static libraries, cpack makes a .tar.gz)" OFF)
if(NOT BRIDGE_HOST_PORTABLE)
    return()
endif()

# The static archive of each library that pkg-config names for a static link (libXau, libXdmcp
# besides), each once at its last place, where everything that needs it comes before it.
set(names ${XCB_STATIC_LIBRARIES})
list(REVERSE names)
list(REMOVE_DUPLICATES names)
list(REVERSE names)
set(static_xcb)
foreach(name IN LISTS names)
    find_library(BRIDGE_HOST_STATIC_${name} NAMES lib${name}.a HINTS ${XCB_STATIC_LIBRARY_DIRS})
    if(NOT BRIDGE_HOST_STATIC_${name})
        message(FATAL_ERROR "BRIDGE_HOST_PORTABLE: no static lib${name}.a (its -dev package has it)")
    endif()
    list(APPEND static_xcb ${BRIDGE_HOST_STATIC_${name}})
endforeach()
set_property(TARGET PkgConfig::XCB PROPERTY INTERFACE_LINK_LIBRARIES ${static_xcb})
target_link_options(bridge-host PRIVATE -static-libstdc++ -static-libgcc)

set(BRIDGE_HOST_PATH "%h/.local/bin/bridge-host")
configure_file("${UNIT_TEMPLATE}" "${CMAKE_CURRENT_BINARY_DIR}/portable/bridge-host.service" @ONLY)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/portable/bridge-host.service"
        DESTINATION ${CMAKE_INSTALL_DATADIR}/systemd/user)

set(CPACK_GENERATOR TGZ)
set(CPACK_PACKAGING_INSTALL_PREFIX /)

# The build of a GNOME Shell extension for GNOME 43 and 44, made from its ES module (extension.js)
# for GNOME 45 and later, so that the logic has one copy. Those older shells load a plain script:
# GObject libraries come from imports.gi, the shell's own modules from imports.<folder>, there is
# no Extension base class, and the shell calls the script's global init() for the object that it
# enables and disables.
#
# host/CMakeLists.txt includes it for bridge-host's built-in files; the tests make their own
# extension's legacy build with it, as a script:
#   cmake -DSOURCE=<extension folder> -DTARGET=<folder> -P legacy.cmake

set(GNOME_LEGACY_VERSIONS "\"43\", \"44\"")

# The legacy script of the module text js, into out.
function(gnome_extension_legacy_js js out)
    set(name "[A-Za-z_]+")
    string(REGEX REPLACE "import (${name}) from 'gi://(${name})';" "const \\1 = imports.gi.\\2;" js "${js}")
    string(REGEX REPLACE "import \\* as (${name}) from 'resource:///org/gnome/shell/(${name})/(${name})\\.js';"
           "const \\1 = imports.\\2.\\3;" js "${js}")
    string(REGEX REPLACE "import {Extension} from '[^']*';\n" "" js "${js}")
    if(NOT js MATCHES "export default class (${name}) extends Extension {")
        message(FATAL_ERROR "extension.js: no 'export default class X extends Extension {' to make a legacy build of")
    endif()
    set(class "${CMAKE_MATCH_1}")
    string(REPLACE "export default class ${class} extends Extension {" "class ${class} {" js "${js}")
    # An import or export left over would be a syntax error in GNOME 43: refuse it here.
    if(js MATCHES "(^|\n)(import|export)[ {]")
        message(FATAL_ERROR "extension.js: an import or export that the legacy build does not know")
    endif()
    string(APPEND js "\n// GNOME 43 and 44 call this for the object that they enable and disable.\n"
                     "function init() {\n    return new ${class}();\n}\n")
    set(${out} "${js}" PARENT_SCOPE)
endfunction()

# The metadata text json listing the legacy shells instead of its own, into out.
function(gnome_extension_legacy_metadata json out)
    string(REGEX REPLACE "\"shell-version\": \\[[^]]*\\]" "\"shell-version\": [${GNOME_LEGACY_VERSIONS}]"
           json "${json}")
    set(${out} "${json}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    file(READ "${SOURCE}/extension.js" js)
    file(READ "${SOURCE}/metadata.json" json)
    gnome_extension_legacy_js("${js}" js)
    gnome_extension_legacy_metadata("${json}" json)
    file(WRITE "${TARGET}/extension.js" "${js}")
    file(WRITE "${TARGET}/metadata.json" "${json}")
endif()

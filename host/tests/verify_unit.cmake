# The user unit as systemd reads it: systemd-analyze --user verify of the unit with this build's
# bridge-host in its ExecStart. Any complaint fails, also those that systemd only warns about
# (an unknown key, a value it cannot parse). Variables: UNIT_TEMPLATE, BRIDGE_HOST_PATH, WORK_DIR.
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}/run")
file(CHMOD "${WORK_DIR}/run" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
configure_file("${UNIT_TEMPLATE}" "${WORK_DIR}/bridge-host.service" @ONLY)
# A user manager's runtime folder, which verify needs even where no user manager runs.
execute_process(
    COMMAND ${CMAKE_COMMAND} -E env XDG_RUNTIME_DIR=${WORK_DIR}/run
            systemd-analyze --user verify --man=no "${WORK_DIR}/bridge-host.service"
    RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT code EQUAL 0 OR NOT "${out}${err}" STREQUAL "")
    message(FATAL_ERROR "systemd-analyze verify: exit ${code}\n${out}${err}")
endif()

# quellnet_add_test(<name>
#     SOURCES <files...>
#     LIBS <targets...>
#     LABELS unit|gui|e2e [...]
#     [RESOURCE_LOCK <locks...>]   e.g. mgmt-port (127.0.0.1:1337), helper-socket, tmp-config
#     [NETWORK private|e2e-client]
#     [TIMEOUT <seconds>]
#     [ENVIRONMENT <VAR=value...>]
#     [WRAPPER <command...>])        run through this command, inside the NETWORK's place
#
# One Qt Test executable registered with CTest, linked with the tests' support library
# (tests/support). Test programs land in <build>/tests/bin so that they never mix with the staged
# install layout under <build>/bin. Widget tests run offscreen, and no test reaches the session bus
# of the person running it, so none reads or writes their keyring: without a Secret Service the
# remembered password stays in the test's own settings file.
#
# NETWORK says where a test that uses 127.0.0.1:1337 runs, so that it never reaches a tunnel or a
# listener of the machine:
#   private     a network namespace of its own with only loopback (scripts/lib/private-netns);
#   e2e-client  the program's machine of the end-to-end stack (stack.sh exec <build>/e2e), next to
#               the stack's helper daemon and its openvpn.
set(QUELLNET_TEST_NO_SESSION_BUS "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/quellnet-tests-have-no-session-bus")

function(quellnet_add_test name)
    cmake_parse_arguments(T "" "TIMEOUT;NETWORK" "SOURCES;LIBS;LABELS;RESOURCE_LOCK;ENVIRONMENT;WRAPPER" ${ARGN})
    if(NOT T_LABELS)
        set(T_LABELS unit)
    endif()
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE quellnet_options quellnet_testsupport Qt6::Test ${T_LIBS})
    target_compile_definitions(${name} PRIVATE
        QUELLNET_BUILD_PREFIX="${QUELLNET_STAGE_DIR}"
        QUELLNET_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/tests/bin")
    quellnet_test_launcher(launcher "${T_NETWORK}")
    add_test(NAME ${name} COMMAND ${launcher} ${T_WRAPPER} $<TARGET_FILE:${name}>)
    set_tests_properties(${name} PROPERTIES
        LABELS "${T_LABELS}"
        TIMEOUT ${T_TIMEOUT}
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QT_LOGGING_RULES=qt.qpa.*=false;${QUELLNET_TEST_NO_SESSION_BUS};${T_ENVIRONMENT}")
    if(T_RESOURCE_LOCK)
        set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${T_RESOURCE_LOCK}")
    endif()
endfunction()

# The command that runs a test in the place NETWORK names (see above); empty for the host.
function(quellnet_test_launcher out network)
    if(network STREQUAL "private")
        set(${out} "${PROJECT_SOURCE_DIR}/scripts/lib/private-netns" PARENT_SCOPE)
    elseif(network STREQUAL "e2e-client")
        set(${out} bash "${PROJECT_SOURCE_DIR}/scripts/lib/stack.sh" exec "${CMAKE_BINARY_DIR}/e2e" -- PARENT_SCOPE)
    elseif(network)
        message(FATAL_ERROR "quellnet_add_test: NETWORK must be private or e2e-client, not ${network}")
    else()
        set(${out} "" PARENT_SCOPE)
    endif()
endfunction()

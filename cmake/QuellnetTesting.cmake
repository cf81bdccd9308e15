# quellnet_add_test(<name>
#     SOURCES <files...>
#     LIBS <targets...>
#     LABELS unit|gui|e2e [...]
#     [RESOURCE_LOCK <locks...>]   e.g. mgmt-port (127.0.0.1:1337), helper-socket, tmp-config
#     [TIMEOUT <seconds>]
#     [ENVIRONMENT <VAR=value...>])
#
# One Qt Test executable registered with CTest, linked with the tests' support library
# (tests/support). Test programs land in <build>/tests/bin so that they never mix with the staged
# install layout under <build>/bin. Widget tests run offscreen.
function(quellnet_add_test name)
    cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS;RESOURCE_LOCK;ENVIRONMENT" ${ARGN})
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
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES
        LABELS "${T_LABELS}"
        TIMEOUT ${T_TIMEOUT}
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QT_LOGGING_RULES=qt.qpa.*=false;${T_ENVIRONMENT}")
    if(T_RESOURCE_LOCK)
        set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${T_RESOURCE_LOCK}")
    endif()
endfunction()

# Test registration shared by every test folder.
#
# ferrox_add_gtest(<name> SOURCES ... [LIBS ...] [LOCKS ...] [TIMEOUT s])
#   Builds one GoogleTest executable and registers it with ctest. Natively each test case becomes a ctest
#   test; for the Windows build the whole executable runs under Wine as one ctest test (Wine needs the
#   per-test environment, which discovery at build time would not give it).
#   LOCKS names ctest RESOURCE_LOCKs (companion_port for TCP 35692, companion_image for SabletBase.exe).
#
# Every test runs with ProgramData, PROGRAMFILES and APPDATA pointing into the build tree, so that a
# test that forgets its own sandbox still never touches the real folders.

set(FERROX_TEST_ROOT ${CMAKE_BINARY_DIR}/test-sandbox)
file(MAKE_DIRECTORY ${FERROX_TEST_ROOT}/ProgramData ${FERROX_TEST_ROOT}/ProgramFiles ${FERROX_TEST_ROOT}/AppData
     ${FERROX_TEST_ROOT}/tmp)

if(CMAKE_CROSSCOMPILING)
    set(FERROX_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
    set(_w ${FERROX_TEST_ROOT})
    set(FERROX_TEST_ENV
        "WINEPREFIX=${FERROX_WINEPREFIX}" "WINEDEBUG=-all"
        "ProgramData=Z:${_w}/ProgramData" "PROGRAMFILES=Z:${_w}/ProgramFiles" "APPDATA=Z:${_w}/AppData"
        "FERROX_TEST_TMP=Z:${_w}/tmp")
    set(FERROX_TEST_FIXTURE wine)
else()
    set(FERROX_TEST_ENV
        "ProgramData=${FERROX_TEST_ROOT}/ProgramData" "PROGRAMFILES=${FERROX_TEST_ROOT}/ProgramFiles"
        "APPDATA=${FERROX_TEST_ROOT}/AppData" "FERROX_TEST_TMP=${FERROX_TEST_ROOT}/tmp")
    set(FERROX_TEST_FIXTURE "")
endif()

# A sanitized build fails any test that provokes a report, including one from a child process the test
# started (its report reaches the test's output): halt at the first report, exit non-zero, and match the
# report's banner in case a child's exit status is not looked at.
set(FERROX_TEST_FAIL_REGEX "")
if(FERROX_SANITIZE AND NOT CMAKE_CROSSCOMPILING)
    set(_supp ${CMAKE_SOURCE_DIR}/tests/sanitizers)
    list(APPEND FERROX_TEST_ENV
         "ASAN_OPTIONS=halt_on_error=1:exitcode=23:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1"
         "LSAN_OPTIONS=exitcode=23:suppressions=${_supp}/lsan.supp"
         "UBSAN_OPTIONS=halt_on_error=1:exitcode=24:print_stacktrace=1:suppressions=${_supp}/ubsan.supp"
         "TSAN_OPTIONS=halt_on_error=1:exitcode=66:second_deadlock_stack=1:suppressions=${_supp}/tsan.supp")
    set(FERROX_TEST_FAIL_REGEX
        "ERROR: AddressSanitizer;ERROR: LeakSanitizer;runtime error:;WARNING: ThreadSanitizer;ThreadSanitizer: reported")
endif()

function(ferrox_add_gtest name)
    cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LOCKS" ${ARGN})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} ferrox_test_support GTest::gmock GTest::gtest_main
                                          ferrox_warnings)
    if(CMAKE_CROSSCOMPILING)
        add_test(NAME ${name} COMMAND ${name})
        set_tests_properties(${name} PROPERTIES ENVIRONMENT "${FERROX_TEST_ENV}" TIMEOUT ${T_TIMEOUT}
                                                FIXTURES_REQUIRED wine)
        if(T_LOCKS)
            set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${T_LOCKS}")
        endif()
    else()
        include(GoogleTest)
        gtest_discover_tests(${name} DISCOVERY_MODE POST_BUILD DISCOVERY_TIMEOUT 60)
        # Discovery splits list-valued properties apart, so the environment, time-out and locks are
        # applied to the discovered tests by a file of our own that ctest reads after them.
        set(_props_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_properties.cmake)
        set(_extra "")
        if(T_LOCKS)
            set(_extra " RESOURCE_LOCK \"${T_LOCKS}\"")
        endif()
        if(FERROX_TEST_FAIL_REGEX)
            string(APPEND _extra " FAIL_REGULAR_EXPRESSION \"${FERROX_TEST_FAIL_REGEX}\"")
        endif()
        file(WRITE ${_props_file}
             "if(${name}_TESTS)\n"
             "  set_tests_properties(\${${name}_TESTS} PROPERTIES ENVIRONMENT \"${FERROX_TEST_ENV}\" TIMEOUT ${T_TIMEOUT}${_extra})\n"
             "endif()\n")
        set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${_props_file})
    endif()
endfunction()

if(CMAKE_CROSSCOMPILING)
    # Wine's server would otherwise inherit ctest's pipe and cost seconds per test; warm it once.
    add_test(NAME wine_setup
             COMMAND sh -c "mkdir -p '${FERROX_WINEPREFIX}'; /usr/lib/wine/wineserver -p </dev/null >/dev/null 2>&1; /usr/lib/wine/wine64 cmd /c exit </dev/null >/dev/null 2>&1; exit 0")
    set_tests_properties(wine_setup PROPERTIES FIXTURES_SETUP wine ENVIRONMENT "${FERROX_TEST_ENV}" TIMEOUT 300)
    add_test(NAME wine_cleanup COMMAND sh -c "/usr/lib/wine/wineserver -k; /usr/lib/wine/wineserver -w; exit 0")
    set_tests_properties(wine_cleanup PROPERTIES FIXTURES_CLEANUP wine ENVIRONMENT "${FERROX_TEST_ENV}")
endif()

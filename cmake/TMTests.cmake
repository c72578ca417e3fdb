# Test registration: GoogleTest for the test programs, tm_add_gtest() to build and
# register one, tm_add_test() for a test that is a command. Every test carries the
# label of its subsystem, so that `ctest -L engine` runs one subsystem:
#
#   engine host dialog persist netpbm resources cli   the subsystem the test exercises
#   help     the help page the dialog opens (help/)
#   builds   tests that read another build tree (the DLL tests, wine.tmhost)
#   wine     every test of a Windows build, which runs under Wine
#   fuzz     the replays of the fuzz targets' seed corpora (beside their subsystem's label)
#   package  the Debian package of the tools and their manual pages
#   format   the source tree's formatting (scripts/format)
#
# Natively every GoogleTest test is its own CTest test (gtest_discover_tests).
# Windows builds run each test program once under Wine, as the CTest test
# "wine.<program>": every Wine process costs seconds to start. The fixture "wine"
# makes one throw-away prefix and one virtual X display before the programs run and
# removes them afterwards (tests/wine/wine-session); nothing can wait for a user there.

if(NOT WIN32)
  find_package(GTest REQUIRED)
else()
  # Debian's libgtest-dev has only native libraries; build GoogleTest from its
  # source package with the cross compiler.
  set(TM_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for the Windows builds")
  set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${TM_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # mingw's win32 thread model lacks std::mutex; our customisation header replaces
  # the one class that needs it (see there). PUBLIC and first: the test programs must
  # see GoogleTest's classes exactly as the library was compiled.
  target_include_directories(gtest BEFORE PUBLIC ${PROJECT_SOURCE_DIR}/tests/mingw)

  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    # Debian's 32-bit loader lives in /usr/lib/wine (package wine32:i386); elsewhere
    # `wine` runs both kinds. On Debian /usr/bin/wine without that package hands a
    # 32-bit program to the 64-bit loader, which cannot run it, so it is not taken.
    if(EXISTS /usr/lib/wine)
      find_program(TM_WINE_LOADER NAMES wine PATHS /usr/lib/wine NO_DEFAULT_PATH
        DOC "Wine loader for 32-bit programs")
    else()
      find_program(TM_WINE_LOADER NAMES wine DOC "Wine loader for 32-bit programs")
    endif()
  else()
    # Debian's `wine` prefers its 32-bit loader whenever that is installed.
    find_program(TM_WINE_LOADER NAMES wine64 wine HINTS /usr/lib/wine DOC "Wine loader for 64-bit programs")
  endif()
  # The test steps decide again when they run; this is to say it early. A loader
  # that was not found keeps its NOTFOUND value, which the session script reports as
  # no loader installed (a test command never gets an empty argument).
  if(NOT TM_WINE_LOADER)
    message(WARNING "No Wine loader for this build's bitness: its tests will be skipped (scripts/bootstrap "
      "wine installs Wine, and the 32-bit loader where this machine can run it)")
  else()
    execute_process(COMMAND ${TM_WINE_LOADER} --version RESULT_VARIABLE _tm_wine_result OUTPUT_QUIET ERROR_QUIET)
    if(NOT _tm_wine_result EQUAL 0)
      message(WARNING "${TM_WINE_LOADER} cannot run on this machine (${_tm_wine_result}): "
        "the tests of this Windows build will be skipped")
    endif()
  endif()
  set(TM_WINE_SESSION ${PROJECT_SOURCE_DIR}/tests/wine/wine-session)
  set(TM_WINE_STATE ${CMAKE_BINARY_DIR}/wine-session)
  # How a Windows test program runs: inside the session, through the loader.
  set(TM_WINE_RUN ${TM_WINE_SESSION} run ${TM_WINE_STATE} ${TM_WINE_LOADER})
  # The tests that open windows share one desktop and find their windows by title
  # (two plug-in dialogs have the same one): they take turns, the others run beside.
  set(TM_WINE_DESKTOP_LOCK wine-desktop)
endif()
include(GoogleTest)

# tm_add_test(NAME <name> LABEL <label>[;<label>...] COMMAND <command> <arg>...
#             [PROPERTIES <property> <value>...])
#
# Registers a test that is a command, with its labels and any further test
# properties (each value one argument without a semicolon).
function(tm_add_test)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "NAME;LABEL" "COMMAND;PROPERTIES")
  # The command is tested as a string: an argument such as a loader's NOTFOUND value
  # would make if(<list>) false.
  if(arg_UNPARSED_ARGUMENTS OR NOT arg_NAME OR NOT arg_LABEL OR "${arg_COMMAND}" STREQUAL "")
    message(FATAL_ERROR "tm_add_test(${arg_NAME}): NAME, LABEL and COMMAND are required "
      "(unexpected: ${arg_UNPARSED_ARGUMENTS})")
  endif()
  add_test(NAME ${arg_NAME} COMMAND ${arg_COMMAND})
  set_tests_properties(${arg_NAME} PROPERTIES LABELS "${arg_LABEL}" ${arg_PROPERTIES})
endfunction()

# tm_add_gtest(NAME <program> SOURCES <file>... [LIBS <library>...] LABEL <label>
#              [TEST_PREFIX <prefix>] [LEVELS <gtest filter>] [DESKTOP])
#
# Builds the GoogleTest program NAME (with the project's strict warnings and
# GoogleTest's main) and registers its tests under LABEL: natively each test as
# "<prefix><Suite>.<Test>", in the Windows builds the whole program as
# "wine.<program>", labelled "wine" too.
#
# LEVELS registers the tests the filter selects once more per dispatch level of the
# engine's vector paths (engine/cpu_dispatch.h), with TM_CPU_LEVEL set:
# "<program>.level.<level>" natively, "wine.<program>.level.<level>" in the Windows
# builds. A level this processor lacks is reported as skipped (the program's
# environment, tests/engine/test_cpu_dispatch.cpp, says so).
#
# DESKTOP: under Wine the program opens windows and finds them by their title, so it
# holds the session's desktop (TM_WINE_DESKTOP_LOCK) while it runs.
function(tm_add_gtest)
  cmake_parse_arguments(PARSE_ARGV 0 arg "DESKTOP" "NAME;LABEL;TEST_PREFIX;LEVELS" "SOURCES;LIBS")
  if(arg_UNPARSED_ARGUMENTS OR NOT arg_NAME OR NOT arg_SOURCES OR NOT arg_LABEL)
    message(FATAL_ERROR "tm_add_gtest(${arg_NAME}): NAME, SOURCES and LABEL are required "
      "(unexpected: ${arg_UNPARSED_ARGUMENTS})")
  endif()
  set(program ${arg_NAME})
  add_executable(${program} ${arg_SOURCES})
  target_link_libraries(${program} PRIVATE ${arg_LIBS} GTest::gtest_main)
  tm_strict(${program})

  if(WIN32)
    # A bare Wine prefix, like a user's machine, has no compiler runtime DLLs.
    target_link_options(${program} PRIVATE -static -static-libgcc -static-libstdc++)
    set(labels "wine;${arg_LABEL}")
    set(wine_properties FIXTURES_REQUIRED wine SKIP_RETURN_CODE 77 TIMEOUT 600)
    if(arg_DESKTOP)
      list(APPEND wine_properties RESOURCE_LOCK ${TM_WINE_DESKTOP_LOCK})
    endif()
    tm_add_test(NAME wine.${program} LABEL "${labels}"
      COMMAND ${TM_WINE_RUN} $<TARGET_FILE:${program}>
      PROPERTIES ${wine_properties})
  else()
    set(labels "${arg_LABEL}")
    gtest_discover_tests(${program} TEST_PREFIX "${arg_TEST_PREFIX}" DISCOVERY_TIMEOUT 60
      PROPERTIES LABELS "${labels}")
  endif()

  if(arg_LEVELS)
    foreach(level portable sse2 avx2 avx512)
      if(WIN32)
        set(name wine.${program}.level.${level})
        set(command ${TM_WINE_RUN} $<TARGET_FILE:${program}>)
      else()
        set(name ${program}.level.${level})
        set(command $<TARGET_FILE:${program}>)
      endif()
      tm_add_test(NAME ${name} LABEL "${labels}"
        COMMAND ${command} --gtest_filter=${arg_LEVELS}
        PROPERTIES ENVIRONMENT TM_CPU_LEVEL=${level}
          SKIP_REGULAR_EXPRESSION "this processor cannot run that vector level" ${wine_properties})
    endforeach()
  endif()
endfunction()

if(WIN32)
  tm_add_test(NAME wine.setup LABEL wine
    COMMAND ${TM_WINE_SESSION} setup ${TM_WINE_STATE} ${TM_WINE_LOADER}
    PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
  tm_add_test(NAME wine.cleanup LABEL wine
    COMMAND ${TM_WINE_SESSION} cleanup ${TM_WINE_STATE} ${TM_WINE_LOADER}
    PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60)
endif()

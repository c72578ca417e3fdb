# GoogleTest for the test programs, and tm_gtest() to register one.
#
# Natively every test is its own CTest test (gtest_discover_tests). Windows builds
# run each test program once under Wine, as the CTest test "wine.<program>": every
# Wine process costs seconds to start. The fixture "wine" makes one throw-away
# prefix and one virtual X display before the programs run and removes them
# afterwards (tests/wine/wine-session); nothing can wait for a user there.

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
  target_include_directories(gtest BEFORE PUBLIC ${CMAKE_CURRENT_LIST_DIR}/mingw)

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
  # The test steps decide again when they run; this is to say it early.
  if(NOT TM_WINE_LOADER)
    message(WARNING "No Wine loader for this build's bitness: its tests will be skipped (scripts/bootstrap "
      "installs Wine, and the 32-bit loader where this machine can run it)")
    set(TM_WINE_LOADER "")
  else()
    execute_process(COMMAND ${TM_WINE_LOADER} --version RESULT_VARIABLE _tm_wine_result OUTPUT_QUIET ERROR_QUIET)
    if(NOT _tm_wine_result EQUAL 0)
      message(WARNING "${TM_WINE_LOADER} cannot run on this machine (${_tm_wine_result}): "
        "the tests of this Windows build will be skipped")
    endif()
  endif()
  set(TM_WINE_SESSION ${CMAKE_CURRENT_LIST_DIR}/wine/wine-session)
  set(TM_WINE_STATE ${CMAKE_BINARY_DIR}/wine-session)
  add_test(NAME wine.setup COMMAND ${TM_WINE_SESSION} setup ${TM_WINE_STATE} "${TM_WINE_LOADER}")
  add_test(NAME wine.cleanup COMMAND ${TM_WINE_SESSION} cleanup ${TM_WINE_STATE} "${TM_WINE_LOADER}")
  set_tests_properties(wine.setup PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
  set_tests_properties(wine.cleanup PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60)
endif()
include(GoogleTest)

# Registers the GoogleTest program `target`; the remaining arguments go to
# gtest_discover_tests in native builds.
function(tm_gtest target)
  if(NOT WIN32)
    gtest_discover_tests(${target} ${ARGN})
    return()
  endif()
  # A bare Wine prefix, like a user's machine, has no compiler runtime DLLs.
  target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
  add_test(NAME wine.${target}
    COMMAND ${TM_WINE_SESSION} run ${TM_WINE_STATE} "${TM_WINE_LOADER}" $<TARGET_FILE:${target}>)
  set_tests_properties(wine.${target} PROPERTIES FIXTURES_REQUIRED wine SKIP_RETURN_CODE 77 TIMEOUT 600)
endfunction()

# Registers the GoogleTest program `target` once per dispatch level of the engine's
# vector paths (engine/cpu_dispatch.h), running the tests `filter` selects with
# TM_CPU_LEVEL set: "<target>.level.<level>" natively, "wine.<target>.level.<level>"
# in the Windows builds. A level this processor lacks is reported as skipped (the
# program's environment, tests/engine/test_cpu_dispatch.cpp, says so).
function(tm_gtest_levels target filter)
  foreach(level portable sse2 avx2 avx512)
    if(WIN32)
      set(name wine.${target}.level.${level})
      add_test(NAME ${name} COMMAND ${TM_WINE_SESSION} run ${TM_WINE_STATE} "${TM_WINE_LOADER}"
        $<TARGET_FILE:${target}> --gtest_filter=${filter})
      set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine SKIP_RETURN_CODE 77 TIMEOUT 600)
    else()
      set(name ${target}.level.${level})
      add_test(NAME ${name} COMMAND $<TARGET_FILE:${target}> --gtest_filter=${filter})
    endif()
    set_tests_properties(${name} PROPERTIES ENVIRONMENT TM_CPU_LEVEL=${level}
      SKIP_REGULAR_EXPRESSION "this processor cannot run that vector level")
  endforeach()
endfunction()

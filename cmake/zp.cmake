# zp_module(NAME DIR [EXCLUDE files...] DEPS deps...): a static library of the
# portable .cpp files of DIR plus the platform files (*_posix.cpp on Linux,
# *_win32.cpp on Windows). Test files (*_test.cpp), main.cpp and the EXCLUDE
# files (names without folder) are left out.
function(zp_module name dir)
  cmake_parse_arguments(PARSE_ARGV 2 _zp "" "" "EXCLUDE;DEPS")
  file(GLOB _all CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*.cpp)
  set(_src "")
  foreach(f IN LISTS _all)
    get_filename_component(_n ${f} NAME)
    if(_n MATCHES "_test\\.cpp$" OR _n STREQUAL "main.cpp" OR _n IN_LIST _zp_EXCLUDE)
      continue()
    endif()
    if(WIN32)
      if(_n MATCHES "_posix\\.cpp$")
        continue()
      endif()
    else()
      if(_n MATCHES "_win32\\.cpp$")
        continue()
      endif()
    endif()
    list(APPEND _src ${f})
  endforeach()
  if(_src)
    add_library(${name} STATIC ${_src})
    target_link_libraries(${name} PUBLIC ${_zp_DEPS})
  else()
    # A module with no code yet: an interface library so that others can name it.
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE ${_zp_DEPS})
  endif()
endfunction()

# zp_test(NAME DIR DEPS...): one GoogleTest executable of every *_test.cpp in DIR.
function(zp_test name dir)
  file(GLOB _src CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*_test.cpp)
  if(WIN32)
    # The registry side of the test environment (tests/support/files.h).
    list(APPEND _src ${CMAKE_SOURCE_DIR}/tests/support/registry_win32.cpp)
  endif()
  add_executable(${name} ${_src})
  target_link_libraries(${name} PRIVATE ${ARGN} GTest::gtest GTest::gtest_main GTest::gmock)
  target_compile_definitions(${name} PRIVATE
    ZP_BINARY_DIR="${CMAKE_BINARY_DIR}" ZP_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  if(CMAKE_CROSSCOMPILING)
    # Listing the cases would run every executable under the emulator at build
    # time: one test per executable instead.
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES TIMEOUT 600)
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
  endif()
endfunction()

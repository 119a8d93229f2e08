# Included at the end of project() by the Windows cross toolchain. Debian ships GoogleTest and
# GoogleMock built for the host only, so a cross build with tests compiles them from Debian's
# source package (googletest, in /usr/src/googletest), and find_package(GTest) then takes
# these targets.
if(DEFINED VITA49_BUILD_TESTS AND NOT VITA49_BUILD_TESTS)
  return()
endif()
if(NOT CMAKE_SOURCE_DIR STREQUAL PROJECT_SOURCE_DIR)
  return()
endif()

set(VITA49_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for the cross build")
if(NOT EXISTS ${VITA49_GTEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources in ${VITA49_GTEST_SOURCE_DIR}: install Debian's googletest "
                      "package, or configure with -DVITA49_BUILD_TESTS=OFF")
endif()

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(${VITA49_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# A package configuration that finds the targets just defined.
set(vita49_gtest_config ${CMAKE_BINARY_DIR}/googletest-config)
file(WRITE ${vita49_gtest_config}/GTestConfig.cmake
     "# GoogleTest built within this project (Vita49CrossGTest.cmake).\nset(GTest_FOUND TRUE)\n")
set(GTest_DIR ${vita49_gtest_config} CACHE PATH "GoogleTest package configuration" FORCE)

# Optional parts (tests, benchmarks, tools with a library of their own, the Python binding):
# where what a part needs is missing, the part is left out with one line saying how to get it,
# and configuring goes on, so that the library and the main tools build on a bare machine.
#
#   find_package(GTest QUIET)
#   vita49_optional_part(VITA49_BUILD_TESTS "GoogleTest" "tests are not built"
#     FOUND GTest_FOUND AND TARGET GTest::gmock
#     PACKAGES libgtest-dev libgmock-dev)
#
# prints, where GoogleTest is missing:
#   -- vita49: GoogleTest not found: tests are not built (apt-get install libgtest-dev libgmock-dev)
# <switch> is the variable that turns the part on; it is set to OFF for this configure run only
# (the cache keeps the user's choice), so installing the packages and configuring again brings
# the part back. FOUND takes a condition as if() does. Nothing is looked for or printed while
# <switch> is off.
function(vita49_optional_part switch needs left_out)
  cmake_parse_arguments(PARSE_ARGV 3 arg "" "" "FOUND;PACKAGES")
  if(NOT ${switch})
    return()
  endif()
  if(${arg_FOUND})
    return()
  endif()
  list(JOIN arg_PACKAGES " " packages)
  message(STATUS "vita49: ${needs} not found: ${left_out} (apt-get install ${packages})")
  set(${switch} OFF PARENT_SCOPE)
endfunction()

# Python parts are built for the system's own interpreter, the one Debian's python3-numpy,
# python3-dev and pybind11-dev belong to, rather than whatever python3 comes first on PATH (a
# pyenv or virtualenv one has none of them). Find Python3 before pybind11 so that pybind11
# takes the same interpreter; tests should run ${Python3_EXECUTABLE}, not "python3".
# -DPython3_EXECUTABLE=... chooses another.
if(NOT DEFINED Python3_EXECUTABLE AND NOT CMAKE_CROSSCOMPILING AND EXISTS /usr/bin/python3)
  set(Python3_EXECUTABLE /usr/bin/python3 CACHE FILEPATH "Python interpreter the Python parts are built for")
endif()

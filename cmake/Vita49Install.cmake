include(CMakePackageConfigHelpers)

install(TARGETS vita49 EXPORT vita49Targets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY include/vita49 DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(VITA49_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vita49)
install(EXPORT vita49Targets NAMESPACE vita49:: DESTINATION ${VITA49_CMAKE_DIR})
configure_package_config_file(cmake/vita49Config.cmake.in ${CMAKE_CURRENT_BINARY_DIR}/vita49Config.cmake
  INSTALL_DESTINATION ${VITA49_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/vita49ConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vita49Config.cmake ${CMAKE_CURRENT_BINARY_DIR}/vita49ConfigVersion.cmake
  DESTINATION ${VITA49_CMAKE_DIR})

if(BUILD_SHARED_LIBS)
  set(VITA49_PC_CFLAGS "")
else()
  set(VITA49_PC_CFLAGS "-DVITA49_STATIC")
endif()
# The prefix is found from where vita49.pc lies (${pcfiledir}), so that an install made with
# `cmake --install --prefix DIR`, or moved afterwards, still names its own files. The number
# of steps up follows the library directory (lib, lib64, lib/<multiarch>). A directory given
# as an absolute path stays absolute: it does not move with the prefix.
set(VITA49_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${VITA49_PC_DIR}")
  set(VITA49_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH VITA49_PC_UP "/prefix/${VITA49_PC_DIR}" "/prefix")
  string(REGEX REPLACE "/$" "" VITA49_PC_UP "${VITA49_PC_UP}")
  set(VITA49_PC_PREFIX "\${pcfiledir}/${VITA49_PC_UP}")
endif()
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(VITA49_PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(VITA49_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
configure_file(cmake/vita49.pc.in ${CMAKE_CURRENT_BINARY_DIR}/vita49.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vita49.pc DESTINATION ${VITA49_PC_DIR})

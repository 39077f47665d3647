# What `cmake --install` puts under the prefix P:
#   P/lib/liborvex.so.X.Y.Z, liborvex_host.so.X.Y.Z and their links
#   P/bin/orvex
#   P/include/orvex/   every header of Core/Orvex, Core/registration,
#                      fileset, support and host at its path in the tree,
#                      and the generated orvex/version.h
#   P/lib/cmake/Orvex/ the package: find_package(Orvex) gives Orvex::orvex
#                      (library and host pieces) and Orvex::host
#   P/lib/pkgconfig/orvex.pc
# (lib is the platform's library directory, as GNUInstallDirs gives it.)
include(CMakePackageConfigHelpers)

set(ORVEX_INCLUDE_ROOT ${CMAKE_INSTALL_INCLUDEDIR}/orvex)
set(ORVEX_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Orvex)

# The host library needs liborvex, and a program's own run path does not
# reach the libraries it loads: the host finds it beside itself, so a
# program that calls only host functions needs nothing but a way to the host.
set_target_properties(orvex_host PROPERTIES INSTALL_RPATH "$ORIGIN")
install(TARGETS orvex orvex_host EXPORT OrvexTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The tool finds the libraries beside it under any prefix.
file(RELATIVE_PATH ORVEX_BIN_TO_LIB
  ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
set_target_properties(orvex_tool PROPERTIES INSTALL_RPATH "$ORIGIN/${ORVEX_BIN_TO_LIB}")
install(TARGETS orvex_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

foreach(directory Core/Orvex Core/registration fileset support host)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/${directory}/
    DESTINATION ${ORVEX_INCLUDE_ROOT}/${directory}
    FILES_MATCHING PATTERN "*.h")
endforeach()
install(FILES ${ORVEX_GENERATED_INCLUDE}/orvex/version.h DESTINATION ${ORVEX_INCLUDE_ROOT}/orvex)

install(EXPORT OrvexTargets NAMESPACE Orvex:: DESTINATION ${ORVEX_PACKAGE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/OrvexConfig.cmake.in
  ${PROJECT_BINARY_DIR}/OrvexConfig.cmake
  INSTALL_DESTINATION ${ORVEX_PACKAGE_DIR})
# 0.x releases keep the rule of later ones: a program built for 0.9 takes any
# 0.y with y >= 9, none of 1.x.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/OrvexConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/OrvexConfig.cmake ${PROJECT_BINARY_DIR}/OrvexConfigVersion.cmake
  DESTINATION ${ORVEX_PACKAGE_DIR})

# pkg-config wants absolute directories, and the prefix is only known for
# sure at install time (cmake --install --prefix P): orvex.pc is written
# then, from a copy made now with everything else filled in.
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(ORVEX_PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(ORVEX_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
set(ORVEX_PC_PREFIX "@ORVEX_PC_PREFIX@")
configure_file(${PROJECT_SOURCE_DIR}/cmake/orvex.pc.in ${PROJECT_BINARY_DIR}/orvex.pc.in @ONLY)
install(CODE "
  set(ORVEX_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${PROJECT_BINARY_DIR}/orvex.pc.in\" \"${PROJECT_BINARY_DIR}/orvex.pc\" @ONLY)")
install(FILES ${PROJECT_BINARY_DIR}/orvex.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

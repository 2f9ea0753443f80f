# What `cmake --install` puts under the prefix, for hosts built outside this tree:
#   <libdir>/libbrackwater.so*                  the library, with its soname
#   <includedir>/brackwater/*.h                 the public headers
#   <bindir>/brackwater, brackwater-sim         the command-line host and the image builder
#   <libdir>/brackwater/sim-runtime/            the simulator's runtime libraries and backup tool
#   <libdir>/brackwater/device-runtime/         the mobile device library over libimobiledevice,
#                                               for real phones; it shares the CoreFoundation
#                                               library of sim-runtime/
#   <libdir>/pkgconfig/brackwater.pc            for pkg-config
#   <libdir>/cmake/Brackwater/                  for find_package(Brackwater)
# Tests, benchmarks and fuzz targets install nothing. Every installed binary finds ours through
# RPATHs relative to its own folder, so a prefix that is moved as a whole keeps working.
include(CMakePackageConfigHelpers)

# The relative way from one installed folder to another, for $ORIGIN RPATHs and the pkg-config
# prefix. Callers put both below one made-up root, as the answer is the same for every prefix.
function(brackwater_relative_path out from to)
  cmake_path(RELATIVE_PATH to BASE_DIRECTORY ${from} OUTPUT_VARIABLE relative)
  string(REGEX REPLACE "/$" "" relative "${relative}")
  set(${out} ${relative} PARENT_SCOPE)
endfunction()

set(BRACKWATER_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Brackwater)

install(TARGETS brackwater EXPORT BrackwaterTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/brackwater DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        FILES_MATCHING PATTERN "*.h")

brackwater_relative_path(bin_to_lib /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${CMAKE_INSTALL_LIBDIR})
set_target_properties(brackwater_cli PROPERTIES INSTALL_RPATH "$ORIGIN/${bin_to_lib}")
# brackwater-sim serves images over the wire through the simulator's runtime libraries.
brackwater_relative_path(bin_to_sim_runtime /prefix/${CMAKE_INSTALL_BINDIR}
                         /prefix/${BRACKWATER_INSTALL_SIM_RUNTIME_DIR})
set_target_properties(brackwater_sim PROPERTIES INSTALL_RPATH "$ORIGIN/${bin_to_sim_runtime}")
install(TARGETS brackwater_cli brackwater_sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The runtime libraries link one another (the mobile device library and AirTraffic link
# CoreFoundation), and the loader finds them beside each other.
set(sim_runtime_targets sim_cf sim_mobiledevice sim_airtraffic)
set_target_properties(${sim_runtime_targets} PROPERTIES INSTALL_RPATH "$ORIGIN")
install(TARGETS ${sim_runtime_targets} LIBRARY DESTINATION ${BRACKWATER_INSTALL_SIM_RUNTIME_DIR})
if(TARGET sim_backuptool)
  install(TARGETS sim_backuptool RUNTIME DESTINATION ${BRACKWATER_INSTALL_SIM_RUNTIME_DIR})
endif()

# The device runtime over libimobiledevice links the one CoreFoundation library of the simulator's
# runtime folder.
if(TARGET device_runtime)
  brackwater_relative_path(device_to_sim /prefix/${BRACKWATER_INSTALL_DEVICE_RUNTIME_DIR}
                           /prefix/${BRACKWATER_INSTALL_SIM_RUNTIME_DIR})
  set_target_properties(device_runtime PROPERTIES INSTALL_RPATH "$ORIGIN/${device_to_sim}")
  install(TARGETS device_runtime LIBRARY DESTINATION ${BRACKWATER_INSTALL_DEVICE_RUNTIME_DIR})
endif()

# CMake package: Brackwater::brackwater, with the version rule of the soname.
install(EXPORT BrackwaterTargets NAMESPACE Brackwater:: DESTINATION ${BRACKWATER_CMAKE_PACKAGE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/BrackwaterConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/BrackwaterConfig.cmake
                              INSTALL_DESTINATION ${BRACKWATER_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/BrackwaterConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/BrackwaterConfig.cmake
              ${PROJECT_BINARY_DIR}/BrackwaterConfigVersion.cmake
        DESTINATION ${BRACKWATER_CMAKE_PACKAGE_DIR})

# pkg-config: the prefix is found from the .pc file's own place, so a moved prefix still works.
set(BRACKWATER_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
brackwater_relative_path(pc_to_prefix /prefix/${BRACKWATER_PKGCONFIG_DIR} /prefix)
set(BRACKWATER_PC_PREFIX "\${pcfiledir}/${pc_to_prefix}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/brackwater.pc.in ${PROJECT_BINARY_DIR}/brackwater.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/brackwater.pc DESTINATION ${BRACKWATER_PKGCONFIG_DIR})

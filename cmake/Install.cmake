# Install rules: headers under include/vorel_device/<folder>/, the libraries,
# the executables, and the CMake package VorelDevice so that another project
# can write find_package(VorelDevice) and link VorelDevice::vorel_device.
include(CMakePackageConfigHelpers)

foreach(folder host periodic filters comm adaptive device)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/${folder}/
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vorel_device/${folder}
          FILES_MATCHING PATTERN "*.h")
endforeach()

install(TARGETS hx4rc_api hx4_program_api vorel_device
        EXPORT VorelDeviceTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vorel_device)

install(EXPORT VorelDeviceTargets
        NAMESPACE VorelDevice::
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/VorelDevice)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VorelDeviceConfig.cmake.in
  ${PROJECT_BINARY_DIR}/VorelDeviceConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/VorelDevice)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VorelDeviceConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VorelDeviceConfig.cmake
              ${PROJECT_BINARY_DIR}/VorelDeviceConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/VorelDevice)

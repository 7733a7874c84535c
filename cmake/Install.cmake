# Install rules: the public headers under include/vorel_device/<folder>/, the libraries,
# the executables, and the CMake package VorelDevice so that another project
# can write find_package(VorelDevice) and link VorelDevice::vorel_device.
include(CMakePackageConfigHelpers)

# The headers a host or a tool compiles against: the host's API and the
# device, with what they include. The serial port, the reader, the shared
# segment and the other internals stay private to the build. (The install test
# compiles a consumer against exactly this set.)
set(VOREL_INSTALLED_HEADERS
  host/hx4_api.h host/bundle.h host/cmd_result.h host/console.h host/control_resources.h
  host/controller_backend.h host/controller_types.h host/events.h host/geometry.h
  host/input_dialog.h host/program_interface.h host/program_values.h host/signals.h
  device/vorel_ft_sensor.h adaptive/wrench_processing.h
  filters/wrench.h)
foreach(header ${VOREL_INSTALLED_HEADERS})
  get_filename_component(folder ${header} DIRECTORY)
  install(FILES ${PROJECT_SOURCE_DIR}/${header}
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vorel_device/${folder})
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

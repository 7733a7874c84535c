# The Debian package vorel-device_<version>_amd64.deb (scripts/package.sh):
# the plug-in and the host's API libraries, vorel-sim and vorel-monitor, the
# headers and the CMake package (cmake/Install.cmake), the example
# configuration and the scenario programs (apps/vorel-sim), and the docs with
# the example project that builds against the installed package. Everything
# under /usr: bin, lib, include/vorel_device, share/vorel_device and
# share/doc/vorel-device.
set(VOREL_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/vorel-device)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md
        DESTINATION ${VOREL_DOC_DIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${VOREL_DOC_DIR}/docs)
# The plots that the README and docs/ show, where their links look for them.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/programs/ DESTINATION ${VOREL_DOC_DIR}/programs
        FILES_MATCHING PATTERN "*.png")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${VOREL_DOC_DIR}/examples)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vorel-device)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "libvorel_device team")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "force/torque sensor device plug-in for the robot-controller host, with its tools")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "libvorel_device team <vorel-device@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The long description, in lines of the control file's width.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "libvorel_device.so connects a six-axis force/torque sensor on a serial"
  "line to the robot and does force control every 2 ms controller cycle."
  "The package holds the plug-in, the host's API libraries, the host"
  "simulator vorel-sim (with the example device configuration and the"
  "scenario programs), the force-control monitor vorel-monitor (terminal,"
  "CSV and live web view), the headers and the CMake package VorelDevice.")
# The libraries the binaries need, found by dpkg-shlibdeps; the package's own
# libraries are found beside them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
# find_package(VorelDevice) and the installed headers need Boost's headers and
# a compiler; a controller that only runs the plug-in does without them.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libboost-dev (>= 1.74), cmake (>= 3.25), g++")
include(CPack)

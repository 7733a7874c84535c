# `cmake --build build --target docs`: the API reference of the device's
# installed headers in build/docs/html/index.html (Doxygen, warnings are
# errors). Without doxygen at configure time the target is left out.
find_program(VOREL_DOXYGEN doxygen)
if(NOT VOREL_DOXYGEN)
  message(STATUS "doxygen not found: no docs target (scripts/deps.sh installs it)")
  return()
endif()

set(VOREL_DOCS_DIR ${PROJECT_BINARY_DIR}/docs)
set(VOREL_DOXYGEN_INPUT "")
foreach(header device/vorel_ft_sensor.h adaptive/wrench_processing.h filters/wrench.h)
  string(APPEND VOREL_DOXYGEN_INPUT " ${PROJECT_SOURCE_DIR}/${header}")
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/cmake/Doxyfile.in ${VOREL_DOCS_DIR}/Doxyfile @ONLY)
add_custom_target(docs
  COMMAND ${VOREL_DOXYGEN} ${VOREL_DOCS_DIR}/Doxyfile
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
  COMMENT "API reference in ${VOREL_DOCS_DIR}/html/index.html"
  VERBATIM)

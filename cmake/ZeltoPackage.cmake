# Installation and the CMake package a host finds with
#   find_package(ZeltoPayload CONFIG REQUIRED)
include(CMakePackageConfigHelpers)

set(ZELTO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/ZeltoPayload)

install(TARGETS ZeltoPayloadEstimator ZeltoPayloadCompensator
  EXPORT ZeltoPayloadTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(FILES
    ${PROJECT_SOURCE_DIR}/common/include/zelto/ZeltoControlReturnCode.h
    ${PROJECT_SOURCE_DIR}/estimator/include/zelto/ZeltoPayloadEstimator.h
    ${PROJECT_BINARY_DIR}/estimator/include/zelto/ZeltoPayloadEstimatorExport.h
    ${PROJECT_SOURCE_DIR}/compensator/include/zelto/ZeltoPayloadCompensator.h
    ${PROJECT_BINARY_DIR}/compensator/include/zelto/ZeltoPayloadCompensatorExport.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zelto)

install(EXPORT ZeltoPayloadTargets
  NAMESPACE Zelto::
  DESTINATION ${ZELTO_CMAKE_DIR})

configure_package_config_file(
  ${PROJECT_SOURCE_DIR}/cmake/ZeltoPayloadConfig.cmake.in
  ${PROJECT_BINARY_DIR}/ZeltoPayloadConfig.cmake
  INSTALL_DESTINATION ${ZELTO_CMAKE_DIR})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/ZeltoPayloadConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
    ${PROJECT_BINARY_DIR}/ZeltoPayloadConfig.cmake
    ${PROJECT_BINARY_DIR}/ZeltoPayloadConfigVersion.cmake
  DESTINATION ${ZELTO_CMAKE_DIR})

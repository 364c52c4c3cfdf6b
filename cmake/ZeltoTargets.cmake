# Settings every target of the project shares.

# Sanitizer builds (./run.sh test runs them): e.g. -DZELTO_SANITIZE=address,undefined or thread.
set(ZELTO_SANITIZE "" CACHE STRING "Comma-separated -fsanitize= list for every target")

# Warnings are switched on here; turning them into errors is the build script's
# choice (-DCMAKE_COMPILE_WARNING_AS_ERROR=ON), not something forced on consumers.
function(zelto_target_defaults target)
  target_compile_features(${target} PUBLIC cxx_std_17)
  set_target_properties(${target} PROPERTIES CXX_EXTENSIONS OFF)
  if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  endif()
  if(ZELTO_SANITIZE)
    # Any report is a failure: no recovery, and frames kept for readable stacks.
    target_compile_options(${target} PRIVATE -fsanitize=${ZELTO_SANITIZE}
      -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=${ZELTO_SANITIZE})
  endif()
endfunction()

# Code that ends up inside a shared library: position independent and hidden by
# default, so that nothing but the two exported classes leaves the libraries.
function(zelto_library_defaults target)
  zelto_target_defaults(${target})
  set_target_properties(${target} PROPERTIES
    POSITION_INDEPENDENT_CODE ON
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
endfunction()

# Builds a shipped shared library from an object library, together with a
# static twin of the same objects that the tests link to reach the internals.
#   zelto_shared_library(<target> <export name> <object library> <version script>)
function(zelto_shared_library target export_name objects version_script)
  add_library(${target} SHARED $<TARGET_OBJECTS:${objects}>)
  add_library(Zelto::${export_name} ALIAS ${target})
  zelto_library_defaults(${target})
  set_target_properties(${target} PROPERTIES
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    EXPORT_NAME ${export_name}
    LINK_DEPENDS ${version_script})
  target_include_directories(${target} PUBLIC
    $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
    $<BUILD_INTERFACE:${CMAKE_CURRENT_BINARY_DIR}/include>
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/common/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_link_libraries(${target} PRIVATE zelto_common Eigen3::Eigen nlohmann_json::nlohmann_json)
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    # The version script is the last line of defence: whatever a header of a
    # dependency marks as default-visible stays inside the library.
    target_link_options(${target} PRIVATE
      "LINKER:--version-script=${version_script}"
      "LINKER:--exclude-libs,ALL")
    # clang leaves the sanitizer runtimes to the executable, so only plain builds can insist
    # that the library resolves every symbol itself.
    if(NOT ZELTO_SANITIZE)
      target_link_options(${target} PRIVATE "LINKER:--no-undefined")
    endif()
  endif()

  add_library(${target}_static STATIC $<TARGET_OBJECTS:${objects}>)
  zelto_target_defaults(${target}_static)
  target_include_directories(${target}_static PUBLIC
    ${CMAKE_CURRENT_SOURCE_DIR}/include
    ${CMAKE_CURRENT_BINARY_DIR}/include
    ${CMAKE_CURRENT_SOURCE_DIR}/src)
  target_link_libraries(${target}_static PUBLIC zelto_common Eigen3::Eigen nlohmann_json::nlohmann_json)
endfunction()

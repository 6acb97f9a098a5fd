# The project's version, from project(... VERSION ...), as a generated header for the code and the
# Windows version resource. Link ferrox_version to include "FerroxVersion.h".
configure_file(${CMAKE_CURRENT_LIST_DIR}/FerroxVersion.h.in ${CMAKE_BINARY_DIR}/generated/FerroxVersion.h @ONLY)
add_library(ferrox_version INTERFACE)
target_include_directories(ferrox_version INTERFACE ${CMAKE_BINARY_DIR}/generated)
if(WIN32)
    # windres compiles the plug-in's version resource.
    enable_language(RC)
endif()

# Which host SDK the plug-in is built against: ferrox_host is what the device layer links for it.
#
# Unset (the default): host/, our model of the SDK (AnalogSystem.dll / libAnalogSystem.so), which the
# tests, ferrox-host and the companion simulator use. The host cannot load a plug-in built so: the SDK's
# classes cross the DLL boundary, and the host's slot order (one destructor slot, then Configure) is
# the Microsoft C++ ABI's, which mingw's GCC does not follow. The plug-in's version resource says so,
# and ferrox-host --check repeats it.
#
# FERROX_HOST_SDK_DIR=<folder>: the host's own SDK and toolchain (the windows-msvc preset), for the
# FerroxEMG.dll a lab installs into the host. From the folder:
#   FERROX_HOST_SDK_INCLUDE_DIR  the SDK's headers (default <folder>/include)
#   FERROX_HOST_SDK_HEADER       the header that declares the AnalogSystem classes (default AnalogSystem.h)
#   FERROX_HOST_SDK_LIBRARY      the import library of Harbex.exe (default <folder>/lib/Harbex.lib)
# The plug-in's sources reach the SDK only through "host/Device.h" and "host/DeviceFactory.h"; here each
# is a header of the build tree that includes FERROX_HOST_SDK_HEADER. Only the plug-in is built: the
# tests, tools, benchmarks and package need the model.
set(FERROX_HOST_SDK_DIR "" CACHE PATH "The host's SDK; empty: build against our model in host/")
add_library(ferrox_host INTERFACE)

if(NOT FERROX_HOST_SDK_DIR)
    set(FERROX_HOST_MODEL ON)
    target_link_libraries(ferrox_host INTERFACE AnalogSystem)
    return()
endif()

set(FERROX_HOST_MODEL OFF)
if(NOT MSVC)
    message(WARNING "FERROX_HOST_SDK_DIR: the host's SDK follows the Microsoft C++ ABI; build with the host's "
                    "toolchain (cmake --preset windows-msvc)")
endif()
set(FERROX_HOST_SDK_INCLUDE_DIR "${FERROX_HOST_SDK_DIR}/include" CACHE PATH "The host SDK's headers")
set(FERROX_HOST_SDK_HEADER "AnalogSystem.h" CACHE STRING "The host SDK's header for the AnalogSystem classes")
set(FERROX_HOST_SDK_LIBRARY "${FERROX_HOST_SDK_DIR}/lib/Harbex.lib" CACHE FILEPATH
    "The import library of Harbex.exe")
foreach(_path IN ITEMS "${FERROX_HOST_SDK_INCLUDE_DIR}/${FERROX_HOST_SDK_HEADER}" "${FERROX_HOST_SDK_LIBRARY}")
    if(NOT EXISTS "${_path}")
        message(FATAL_ERROR "FERROX_HOST_SDK_DIR: ${_path} does not exist (see the README, \"Building for the host\")")
    endif()
endforeach()

set(_shims ${CMAKE_BINARY_DIR}/host-sdk)
foreach(_header Device.h DeviceFactory.h)
    file(WRITE ${_shims}/host/${_header}.in
         "#pragma once\n// Generated: this build uses the host's own SDK (FERROX_HOST_SDK_DIR).\n"
         "#include <${FERROX_HOST_SDK_HEADER}>\n")
    configure_file(${_shims}/host/${_header}.in ${_shims}/host/${_header} COPYONLY)
endforeach()
target_include_directories(ferrox_host INTERFACE ${_shims})
target_include_directories(ferrox_host SYSTEM INTERFACE "${FERROX_HOST_SDK_INCLUDE_DIR}")
target_link_libraries(ferrox_host INTERFACE "${FERROX_HOST_SDK_LIBRARY}")
# Nothing else can be built here: everything else links our model.
set(FERROX_BUILD_TESTS OFF)
set(FERROX_BUILD_BENCH OFF)

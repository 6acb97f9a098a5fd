# The plug-in's folders as layers, each a library that sees only the layers below it:
#
#   entry -> factory -> device -> companion -> inventory -> platform, with host (AnalogSystem) beside them.
#
# Headers are included as "<folder>/Name.h". No target gets the source tree itself as an include
# folder: each folder's headers are reached through a folder of the build tree that holds nothing but
# a link to that one source folder, and a library adds it for the folders it owns and passes it on to
# the targets that link it. An include of a layer that a library does not link therefore fails to
# build ("No such file or directory").

# Adds `folder`'s headers to `target`'s include path with `scope` (PUBLIC, PRIVATE or INTERFACE).
function(ferrox_folder_headers target scope folder)
    set(_root ${CMAKE_BINARY_DIR}/include-layers/${folder})
    if(NOT IS_SYMLINK ${_root}/${folder})
        file(MAKE_DIRECTORY ${_root})
        file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${folder} ${_root}/${folder} SYMBOLIC)
    endif()
    target_include_directories(${target} ${scope} ${_root})
endfunction()

# ferrox_add_layer(<folder> [SOURCES ...] [BELOW <library>...])
#   The static library ferrox_<folder>: the given sources, or every .cpp of the folder; the folder's
#   headers; and the libraries of the layers it builds on, passed on to everything that links it.
function(ferrox_add_layer folder)
    cmake_parse_arguments(L "" "" "SOURCES;BELOW" ${ARGN})
    if(NOT L_SOURCES)
        file(GLOB L_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
    endif()
    add_library(ferrox_${folder} STATIC ${L_SOURCES})
    ferrox_folder_headers(ferrox_${folder} PUBLIC ${folder})
    target_link_libraries(ferrox_${folder} PUBLIC ${L_BELOW} PRIVATE ferrox_warnings)
endfunction()

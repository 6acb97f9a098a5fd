cmake_minimum_required(VERSION 3.25)
# Lays out the package's files in STAGE: the binaries stripped, the simulator under its own name, and
# the documents as Windows text files. Run by packaging/CMakeLists.txt:
#   cmake -DSTAGE=... -DSTRIP=... -DVERSION=... -DSOURCE_DIR=... -DPLUGIN=... -DSDK=... -DHOST=...
#         -DSIMULATOR=... -P Stage.cmake
file(REMOVE_RECURSE ${STAGE})
file(MAKE_DIRECTORY ${STAGE})

foreach(_pair "${PLUGIN}|FerroxEMG.dll" "${SDK}|AnalogSystem.dll" "${HOST}|ferrox-host.exe"
              "${SIMULATOR}|ferrox-companion-sim.exe")
    string(REPLACE "|" ";" _pair "${_pair}")
    list(GET _pair 0 _from)
    list(GET _pair 1 _to)
    execute_process(COMMAND ${STRIP} --strip-unneeded -o ${STAGE}/${_to} ${_from} RESULT_VARIABLE _rc)
    if(NOT _rc EQUAL 0)
        message(FATAL_ERROR "${STRIP} failed on ${_from}")
    endif()
endforeach()

# A document as a Windows text file (CR LF), with @VERSION@ replaced.
function(write_document name text)
    string(REPLACE "@VERSION@" "${VERSION}" text "${text}")
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE ${STAGE}/${name} "${text}")
endfunction()

# The user guide ends with the README's troubleshooting section, so the two never drift apart.
file(READ ${SOURCE_DIR}/packaging/USER-GUIDE.md _guide)
file(READ ${SOURCE_DIR}/README.md _readme)
string(FIND "${_readme}" "\n## Troubleshooting\n" _start)
if(_start LESS 0)
    message(FATAL_ERROR "README.md has no \"## Troubleshooting\" section for the user guide")
endif()
math(EXPR _start "${_start} + 1")
string(SUBSTRING "${_readme}" ${_start} -1 _section)
string(FIND "${_section}" "\n## " _end)
if(_end GREATER 0)
    string(SUBSTRING "${_section}" 0 ${_end} _section)
endif()
string(STRIP "${_section}" _section)
write_document(USER-GUIDE.txt "${_guide}\n${_section}\n")

file(READ ${SOURCE_DIR}/CHANGELOG.md _changelog)
write_document(CHANGELOG.txt "${_changelog}")
file(READ ${SOURCE_DIR}/packaging/NOTICE.txt _notice)
write_document(NOTICE.txt "${_notice}")

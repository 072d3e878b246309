# SPDX-License-Identifier: MIT
# Running what the build made on the build machine, natively or, when
# cross-compiling, through CMAKE_CROSSCOMPILING_EMULATOR (qemu-user).

option(ORVA_QEMU_PRELOAD
  "Preload a fix for QProcess under qemu-user into the programs ctest emulates"
  ${CMAKE_CROSSCOMPILING})

if(CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR AND ORVA_QEMU_PRELOAD)
  add_library(orva_qemupreload SHARED ${CMAKE_CURRENT_LIST_DIR}/qemupreload.cpp)
  set_target_properties(orva_qemupreload PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/emulation)
  target_link_libraries(orva_qemupreload PRIVATE ${CMAKE_DL_LIBS})
  # qemu-user's -E sets a variable in the emulated program's environment only.
  # The emulator setting takes no generator expressions: name the file.
  list(APPEND CMAKE_CROSSCOMPILING_EMULATOR -E
    "LD_PRELOAD=${PROJECT_BINARY_DIR}/emulation/${CMAKE_SHARED_LIBRARY_PREFIX}orva_qemupreload${CMAKE_SHARED_LIBRARY_SUFFIX}")
endif()

# Sets VAR to a file that the build machine can execute to run TARGET: the
# target's own file, or a script that starts it through the emulator. For
# tests that start the project's programs as subprocesses.
function(orva_runnable_path target var)
  if(NOT CMAKE_CROSSCOMPILING OR NOT CMAKE_CROSSCOMPILING_EMULATOR)
    set(${var} "$<TARGET_FILE:${target}>" PARENT_SCOPE)
    return()
  endif()
  set(command "")
  foreach(word IN LISTS CMAKE_CROSSCOMPILING_EMULATOR)
    string(APPEND command "'${word}' ")
  endforeach()
  set(script ${PROJECT_BINARY_DIR}/emulation/${target})
  file(GENERATE OUTPUT ${script}
    CONTENT "#!/bin/sh\nexec ${command}'$<TARGET_FILE:${target}>' \"$@\"\n"
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                     WORLD_READ WORLD_EXECUTE)
  set(${var} ${script} PARENT_SCOPE)
endfunction()

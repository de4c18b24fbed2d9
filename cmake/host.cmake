# Programs for the build machine itself (the image converter, cedev and its host
# parts, the host tests), built with the host's compiler while the rest of the project
# is built for Windows. Each source is compiled on its own with the compiler's own list
# of the headers it read (-MD), so that a change to any header rebuilds what includes it.
include(${CMAKE_CURRENT_LIST_DIR}/objects.cmake)
find_program(HOST_CXX NAMES g++ c++ REQUIRED)
set(HOST_BIN ${CMAKE_BINARY_DIR}/host-bin)
set(HOST_CXX_FLAGS -std=c++17 -O2 -Wall -Wextra -Werror)

# host_executable(TARGET OUTPUT SOURCES src... [INCLUDES dir...] [FLAGS flag...]
#                 [LIBS lib...] [STATIC])
# OUTPUT is the program's path; sources and include folders are paths from the
# project's root, or absolute. FLAGS are added to the compiler's, LIBS to the link (-lNAME or a
# path); STATIC links the program statically, for a program that runs in a device's
# sandbox, which sees only the host's /usr.
function(host_executable target output)
  cmake_parse_arguments(HOST "STATIC" "" "SOURCES;INCLUDES;FLAGS;LIBS" ${ARGN})
  compile_each(objects ${CMAKE_BINARY_DIR}/host-obj/${target} ${HOST_CXX} "for the host" SOURCES ${HOST_SOURCES}
    INCLUDES ${HOST_INCLUDES} FLAGS ${HOST_CXX_FLAGS} ${HOST_FLAGS})
  set(link)
  if(HOST_STATIC)
    set(link -static)
  endif()
  get_filename_component(outdir ${output} DIRECTORY)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${outdir}
    COMMAND ${HOST_CXX} ${link} -o ${output} ${objects} ${HOST_LIBS}
    DEPENDS ${objects}
    COMMENT "Linking ${target} for the host"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${output})
endfunction()

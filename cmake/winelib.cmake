# Winelib programs: Linux programs that call the Win32 API and run under Wine (an ELF
# shared object that Wine loads as NAME.exe.so), built by Wine's own compiler driver.
# Each source is compiled on its own with the compiler's list of the headers it read
# (-MD, see objects.cmake), so that a change to any header rebuilds what includes it;
# then they are linked.
include(${CMAKE_CURRENT_LIST_DIR}/objects.cmake)
find_program(WINEGXX NAMES wineg++ wineg++-stable PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(WINEGXX NAMES wineg++ wineg++-stable REQUIRED)
set(WINELIB_CXX_FLAGS -std=c++17 -O2 -fshort-wchar -Wall -Wextra -Werror)

# winelib_executable(TARGET OUTPUT SOURCES src... [INCLUDES dir...] [FLAGS flag...]
#                    [LINK_FLAGS flag...] [LIBS lib...] [GENERATED file...])
# OUTPUT is where NAME.exe.so goes; sources and include folders are paths from the
# project's root, or absolute. FLAGS are added to the compiler's, LINK_FLAGS and LIBS
# (-lNAME) to the link. GENERATED are files the build makes that the sources include:
# they are made before any source is compiled.
function(winelib_executable target output)
  cmake_parse_arguments(WL "" "" "SOURCES;INCLUDES;FLAGS;LINK_FLAGS;LIBS;GENERATED" ${ARGN})
  set(objdir ${CMAKE_BINARY_DIR}/winelib-obj/${target})
  compile_each(objects ${objdir} ${WINEGXX} "for Winelib" SOURCES ${WL_SOURCES} INCLUDES ${WL_INCLUDES}
    FLAGS ${WINELIB_CXX_FLAGS} ${WL_FLAGS} GENERATED ${WL_GENERATED})
  # Wine's driver writes NAME.exe (a launcher) and NAME.exe.so beside it.
  get_filename_component(name ${output} NAME)
  string(REGEX REPLACE "\\.so$" "" exe ${name})
  get_filename_component(outdir ${output} DIRECTORY)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${objdir} ${outdir}
    COMMAND ${WINEGXX} ${WL_LINK_FLAGS} -o ${objdir}/${exe} ${objects} ${WL_LIBS}
    COMMAND ${CMAKE_COMMAND} -E copy ${objdir}/${exe}.so ${output}
    DEPENDS ${objects}
    COMMENT "Linking ${target} (Winelib)"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${output})
endfunction()

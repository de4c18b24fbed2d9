# compile_each(OBJECTS_VAR OBJDIR COMPILER LABEL SOURCES src... [INCLUDES dir...]
#              [FLAGS flag...] [GENERATED file...])
# Compiles each source on its own into OBJDIR with COMPILER, with the compiler's own list
# of the headers it read (-MD), so that a change to any header rebuilds what includes it;
# sets OBJECTS_VAR to the objects. Sources and include folders are paths from the
# project's root, or absolute; GENERATED are files the build makes that the sources
# include, made before any source is compiled. The build functions for host programs
# (host.cmake), Winelib programs (winelib.cmake) and the handheld's images (ce-arm.cmake)
# share it; each includes this file.
include_guard(GLOBAL)
function(compile_each objects_var objdir compiler label)
  cmake_parse_arguments(C "" "" "SOURCES;INCLUDES;FLAGS;GENERATED" ${ARGN})
  set(includes)
  foreach(dir ${C_INCLUDES})
    if(NOT IS_ABSOLUTE ${dir})
      set(dir ${CMAKE_SOURCE_DIR}/${dir})
    endif()
    list(APPEND includes -I${dir})
  endforeach()
  set(objects)
  foreach(src ${C_SOURCES})
    if(IS_ABSOLUTE ${src})
      get_filename_component(rel ${src} NAME)
      set(path ${src})
    else()
      set(rel ${src})
      set(path ${CMAKE_SOURCE_DIR}/${src})
    endif()
    string(REPLACE "/" "_" flat ${rel})
    set(o ${objdir}/${flat}.o)
    add_custom_command(
      OUTPUT ${o}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${objdir}
      COMMAND ${compiler} ${C_FLAGS} ${includes} -MD -MF ${o}.d -c ${path} -o ${o}
      DEPENDS ${path} ${C_GENERATED}
      DEPFILE ${o}.d
      COMMENT "Compiling ${rel} ${label}"
      VERBATIM)
    list(APPEND objects ${o})
  endforeach()
  set(${objects_var} ${objects} PARENT_SCOPE)
endfunction()

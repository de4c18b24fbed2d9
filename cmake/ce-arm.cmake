# Images for the handheld itself: sources compiled by clang for ARMv4T in ARM state
# with the handheld's data layout, linked by ld.lld at the image's base, and written
# as a Windows CE image by elf2pe (no packaged linker writes one).
include(${CMAKE_CURRENT_LIST_DIR}/objects.cmake)
set(CE_ARM ${CMAKE_BINARY_DIR}/ce-arm)
find_program(CE_CLANG NAMES clang++ clang++-14 REQUIRED)
find_program(CE_LLD NAMES ld.lld ld.lld-14 REQUIRED)

set(CE_TOOLS ${CMAKE_SOURCE_DIR}/tools/cepack)
set(CE_EXPORTS ${CMAKE_SOURCE_DIR}/platform/ce-arm/coredll.exports)
set(CE_LDSCRIPT ${CMAKE_SOURCE_DIR}/platform/ce-arm/regsave.ld)

# ARMv4T, ARM state, software floating point, 16-bit wchar_t, and nothing from a C
# run-time: no exceptions, unwind tables, stack protector or static constructors.
set(CE_ARCH_FLAGS --target=armv4t-none-eabi -marm -mfloat-abi=soft)
set(CE_FLAGS ${CE_ARCH_FLAGS} -std=c++17 -Os -fshort-wchar -fsigned-char -ffreestanding -fno-exceptions -fno-rtti
  -fno-stack-protector -fno-unwind-tables -fno-asynchronous-unwind-tables -ffunction-sections -fdata-sections
  -fms-extensions -D_WIN32 -D_WIN32_WCE=0x500
  -Wall -Wextra -Werror
  -isystem /usr/share/mingw-w64/include
  -I${CMAKE_SOURCE_DIR}/app -I${CMAKE_SOURCE_DIR}/platform -I${CMAKE_SOURCE_DIR}/res)

# ce_arm_image(TARGET OUTPUT SOURCES src... [RC file] [EXPORTS list])
# A CE image for the handheld at OUTPUT (its linked ELF file beside it) from the
# sources (paths from the project's root): every function it calls from COREDLL.dll
# must be on EXPORTS (coredll.exports unless given); RC gives its resources.
function(ce_arm_image target output)
  cmake_parse_arguments(IMG "" "RC;EXPORTS" "SOURCES" ${ARGN})
  if(NOT IMG_EXPORTS)
    set(IMG_EXPORTS ${CE_EXPORTS})
  endif()
  get_filename_component(outdir ${output} DIRECTORY)
  get_filename_component(stem ${output} NAME_WE)
  set(obj ${outdir}/obj/${stem})
  compile_each(objects ${obj} ${CE_CLANG} "for the handheld" SOURCES ${IMG_SOURCES} FLAGS ${CE_FLAGS})

  # Every function the program calls from the core library must be on the list of
  # its CE 5.0 exports; each gets a thunk through the import address table.
  add_custom_command(
    OUTPUT ${obj}/imports.s
    COMMAND ${ELF2PE} imports --allow ${IMG_EXPORTS} --dll COREDLL.dll -o ${obj}/imports.s ${objects}
    DEPENDS ${ELF2PE} ${IMG_EXPORTS} ${objects}
    COMMENT "Checking the imports of ${stem} against ${IMG_EXPORTS}")
  add_custom_command(
    OUTPUT ${obj}/imports.o
    COMMAND ${CE_CLANG} ${CE_ARCH_FLAGS} -c ${obj}/imports.s -o ${obj}/imports.o
    DEPENDS ${obj}/imports.s)

  add_custom_command(
    OUTPUT ${outdir}/${stem}.elf
    COMMAND ${CE_TOOLS}/link.sh ${CE_LLD} -T ${CE_LDSCRIPT} --emit-relocs --build-id=none -nostdlib
      -o ${outdir}/${stem}.elf ${objects} ${obj}/imports.o
    DEPENDS ${objects} ${obj}/imports.o ${CE_LDSCRIPT} ${CE_TOOLS}/link.sh
    COMMENT "Linking ${stem} for the handheld")

  # The resources, compiled to a .res file, whose format does not depend on the
  # machine; an image without them gets an empty one.
  set(res ${obj}/${stem}.res)
  if(IMG_RC)
    get_filename_component(rcdir ${CMAKE_SOURCE_DIR}/${IMG_RC} DIRECTORY)
    add_custom_command(
      OUTPUT ${res}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${obj}
      COMMAND ${CMAKE_RC_COMPILER} -O res -I ${rcdir} ${CMAKE_SOURCE_DIR}/${IMG_RC} -o ${res}
      WORKING_DIRECTORY ${rcdir}
      DEPENDS ${CMAKE_SOURCE_DIR}/${IMG_RC} ${CMAKE_SOURCE_DIR}/res/resource.h ${CMAKE_SOURCE_DIR}/res/RegSave.ico
      COMMENT "Compiling the resources of ${stem} for the handheld")
  else()
    add_custom_command(
      OUTPUT ${res}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${obj}
      COMMAND ${CMAKE_COMMAND} -E touch ${res})
  endif()

  add_custom_command(
    OUTPUT ${output}
    COMMAND ${ELF2PE} image --res ${res} --dll COREDLL.dll -o ${output} ${outdir}/${stem}.elf
    DEPENDS ${ELF2PE} ${outdir}/${stem}.elf ${res}
    COMMENT "Writing the handheld's image ${output}")
  add_custom_target(${target} ALL DEPENDS ${output})
  # The converter is built first, and a new one rewrites every image.
  add_dependencies(${target} elf2pe)
endfunction()

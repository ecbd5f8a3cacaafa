# Builds PE32+ UEFI images from C++ sources with clang and lld-link, beside the
# host build. CMake drives the host compiler; the firmware objects are compiled
# by custom commands so the two toolchains never mix.
#
#   add_efi_image(<name> SUBSYSTEM <efi_application|efi_boot_service_driver>
#                 ENTRY <symbol> SOURCES <files...> [INCLUDES <dirs...>])
#
# produces ${CMAKE_BINARY_DIR}/efi/<name>.efi and a target <name>.

find_program(EFI_CXX NAMES clang++-14 clang++ REQUIRED)
find_program(EFI_LINK NAMES lld-link-14 lld-link REQUIRED)

set(EFI_CXX_FLAGS
  --target=x86_64-unknown-windows
  -std=c++17 -O2 -Wall -Wextra -Werror
  -ffreestanding -fno-builtin -nostdlib -nostdinc++
  -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-use-cxa-atexit
  -mno-red-zone -mno-sse -mno-mmx -fshort-wchar -fno-stack-protector
  -fno-asynchronous-unwind-tables -fno-unwind-tables
  -Wglobal-constructors
  # One section per function, so the link's /opt:ref leaves out the platform
  # library's members an image never calls (the host library keeps them).
  -ffunction-sections)

# Linked as EDK II links its own images. Base 0: the DXE core then allocates
# the image anywhere at once; with lld's DLL default of 0x180000000 it first
# asks for that range, which OVMF does not have, and logs the failure. File
# alignment 0x20 packs the sections; their 4 KiB memory alignment stays, so
# the loader can still map code read-only and data non-executable.
set(EFI_LINK_FLAGS
  /nologo /nodefaultlib /dll /machine:x64 /opt:ref /Brepro
  /base:0 /filealign:0x20)

function(add_efi_image name)
  cmake_parse_arguments(EFI "" "SUBSYSTEM;ENTRY" "SOURCES;INCLUDES" ${ARGN})
  set(objects)
  set(includes -I${CMAKE_SOURCE_DIR})
  foreach(dir IN LISTS EFI_INCLUDES)
    list(APPEND includes -I${dir})
  endforeach()
  foreach(source IN LISTS EFI_SOURCES)
    get_filename_component(absolute ${source} ABSOLUTE)
    file(RELATIVE_PATH relative ${CMAKE_SOURCE_DIR} ${absolute})
    set(object ${CMAKE_BINARY_DIR}/efi/${name}.dir/${relative}.obj)
    get_filename_component(object_dir ${object} DIRECTORY)
    add_custom_command(
      OUTPUT ${object}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${object_dir}
      COMMAND ${EFI_CXX} ${EFI_CXX_FLAGS} ${includes} -MD -MF ${object}.d
              -c ${absolute} -o ${object}
      DEPENDS ${absolute}
      DEPFILE ${object}.d
      COMMENT "EFI compile ${relative}"
      VERBATIM)
    list(APPEND objects ${object})
  endforeach()
  set(image ${CMAKE_BINARY_DIR}/efi/${name}.efi)
  add_custom_command(
    OUTPUT ${image}
    COMMAND ${EFI_LINK} ${EFI_LINK_FLAGS} /subsystem:${EFI_SUBSYSTEM} /entry:${EFI_ENTRY}
            /out:${image} /map:${image}.map ${objects}
    DEPENDS ${objects}
    COMMENT "EFI link ${name}.efi"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS ${image})
  set_property(TARGET ${name} PROPERTY EFI_IMAGE ${image})
endfunction()

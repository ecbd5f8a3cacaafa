# Packs a built UEFI image as a PI firmware file with packaging/make-ffs.
#
#   add_firmware_file(<image target> GUID <file guid> [DEPENDS_ON <protocol guid>...])
#
# writes ${CMAKE_BINARY_DIR}/efi/<image target>.ffs (user-interface name: the
# image's name) and a target <image target>Ffs whose FFS_FILE property is it.

find_program(PACKAGING_PYTHON NAMES python3 REQUIRED)
set(MAKE_FFS ${CMAKE_CURRENT_LIST_DIR}/make-ffs)
file(GLOB MAKE_FFS_SOURCES ${CMAKE_CURRENT_LIST_DIR}/pi/*.py)

function(add_firmware_file image)
  cmake_parse_arguments(FFS "" "GUID" "DEPENDS_ON" ${ARGN})
  get_property(efi TARGET ${image} PROPERTY EFI_IMAGE)
  set(ffs ${CMAKE_BINARY_DIR}/efi/${image}.ffs)
  set(depends)
  foreach(guid IN LISTS FFS_DEPENDS_ON)
    list(APPEND depends --depends-on ${guid})
  endforeach()
  add_custom_command(
    OUTPUT ${ffs}
    COMMAND ${PACKAGING_PYTHON} ${MAKE_FFS} --guid ${FFS_GUID} --name ${image} --image ${efi}
            ${depends} -o ${ffs}
    DEPENDS ${efi} ${MAKE_FFS} ${MAKE_FFS_SOURCES}
    COMMENT "FFS ${image}.ffs"
    VERBATIM)
  add_custom_target(${image}Ffs ALL DEPENDS ${ffs})
  set_property(TARGET ${image}Ffs PROPERTY FFS_FILE ${ffs})
endfunction()

# Writes a built UEFI driver image as an EDK II binary module with
# packaging/make-edk2-module.
#
#   add_edk2_module(<image target> GUID <file guid> [DEPENDS_ON <protocol guid>...]
#                   [DESTINATION <folder>])
#
# writes <folder>/<image target>/ (default folder: ${CMAKE_BINARY_DIR}/edk2)
# and a target <image target>Edk2 whose EDK2_MODULE property is that folder.

set(MAKE_EDK2_MODULE ${CMAKE_CURRENT_LIST_DIR}/make-edk2-module)

function(add_edk2_module image)
  cmake_parse_arguments(MODULE "" "GUID;DESTINATION" "DEPENDS_ON" ${ARGN})
  if(NOT MODULE_DESTINATION)
    set(MODULE_DESTINATION ${CMAKE_BINARY_DIR}/edk2)
  endif()
  get_property(efi TARGET ${image} PROPERTY EFI_IMAGE)
  set(folder ${MODULE_DESTINATION}/${image})
  set(depends)
  foreach(guid IN LISTS MODULE_DEPENDS_ON)
    list(APPEND depends --depends-on ${guid})
  endforeach()
  add_custom_command(
    OUTPUT ${folder}/${image}.inf ${folder}/${image}.efi ${folder}/${image}.depex
    COMMAND ${PACKAGING_PYTHON} ${MAKE_EDK2_MODULE} --guid ${MODULE_GUID} --name ${image}
            --image ${efi} ${depends} -o ${MODULE_DESTINATION}
    DEPENDS ${efi} ${MAKE_EDK2_MODULE} ${MAKE_FFS_SOURCES}
    COMMENT "EDK II module ${image}"
    VERBATIM)
  add_custom_target(${image}Edk2 ALL DEPENDS ${folder}/${image}.inf)
  set_property(TARGET ${image}Edk2 PROPERTY EDK2_MODULE ${folder})
endfunction()

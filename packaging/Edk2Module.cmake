# Writes a built UEFI driver image as an EDK II binary module with
# packaging/make-edk2-module.
#
#   add_edk2_module(<image target> GUID <file guid> [DEPENDS_ON <protocol guid>...])
#
# writes ${CMAKE_BINARY_DIR}/edk2/<image target>/ and a target
# <image target>Edk2.
#
#   add_edk2_includes(<name> <image target>...)
#
# writes <name>.fdf.inc, <name>.dsc.inc and <name>Inf.fdf.inc beside those
# folders (packaging/make-edk2-includes): the modules, in the order given,
# for a platform to list with one include line per platform file.

set(EDK2_MODULES_DIR ${CMAKE_BINARY_DIR}/edk2)
set(MAKE_EDK2_MODULE ${CMAKE_CURRENT_LIST_DIR}/make-edk2-module)
set(MAKE_EDK2_INCLUDES ${CMAKE_CURRENT_LIST_DIR}/make-edk2-includes)

function(add_edk2_module image)
  cmake_parse_arguments(MODULE "" "GUID" "DEPENDS_ON" ${ARGN})
  get_property(efi TARGET ${image} PROPERTY EFI_IMAGE)
  set(folder ${EDK2_MODULES_DIR}/${image})
  set(depends)
  foreach(guid IN LISTS MODULE_DEPENDS_ON)
    list(APPEND depends --depends-on ${guid})
  endforeach()
  add_custom_command(
    OUTPUT ${folder}/${image}.inf ${folder}/${image}.efi ${folder}/${image}.depex
    COMMAND ${PACKAGING_PYTHON} ${MAKE_EDK2_MODULE} --guid ${MODULE_GUID} --name ${image}
            --image ${efi} ${depends} -o ${EDK2_MODULES_DIR}
    DEPENDS ${efi} ${MAKE_EDK2_MODULE} ${MAKE_FFS_SOURCES}
    COMMENT "EDK II module ${image}"
    VERBATIM)
  add_custom_target(${image}Edk2 ALL DEPENDS ${folder}/${image}.inf)
endfunction()

function(add_edk2_includes name)
  set(folders)
  set(inputs)
  foreach(image IN LISTS ARGN)
    list(APPEND folders ${EDK2_MODULES_DIR}/${image})
    list(APPEND inputs ${EDK2_MODULES_DIR}/${image}/${image}.inf ${EDK2_MODULES_DIR}/${image}/${image}.depex
                       ${EDK2_MODULES_DIR}/${image}/${image}.efi)
  endforeach()
  set(includes ${EDK2_MODULES_DIR}/${name}.fdf.inc ${EDK2_MODULES_DIR}/${name}.dsc.inc
               ${EDK2_MODULES_DIR}/${name}Inf.fdf.inc)
  add_custom_command(
    OUTPUT ${includes}
    COMMAND ${PACKAGING_PYTHON} ${MAKE_EDK2_INCLUDES} --name ${name} -o ${EDK2_MODULES_DIR} ${folders}
    DEPENDS ${inputs} ${MAKE_EDK2_INCLUDES} ${MAKE_FFS_SOURCES}
    COMMENT "EDK II include files ${name}.fdf.inc, .dsc.inc, Inf.fdf.inc"
    VERBATIM)
  add_custom_target(${name}Edk2Includes ALL DEPENDS ${includes})
endfunction()

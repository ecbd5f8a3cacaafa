# ---- A second EDK II release: Debian 13's release OVMF (EDK II 2025.02) -------
# The flash boots of the release image (tools/flash_test.py) on another
# vendor-shaped base: Debian 13's ovmf package, its OVMF_CODE_4M.fd with the
# same three modules' files and its own OVMF_VARS_4M.fd. The package is
# fetched once per build tree by tools/ovmf_release.py (apt with a
# configuration of its own, checked against Debian's keyring; nothing is
# installed); the images are laid out by the same flash_image.py. Label
# firmware, so plain ctest runs them.

# The fetch's apt entry, from made-up system sources.
add_test(NAME testbed.ovmf-release COMMAND ${TESTBED_PYTHON} -m unittest test_ovmf_release
         WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/tools)
set_tests_properties(testbed.ovmf-release PROPERTIES LABELS unit ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)

# The boots need the flash machinery (the driver's toolchain, an OVMF).
if(NOT COMMAND add_flash_test)
  return()
endif()

set(OVMF_2025_VERSION 2025.02-8+deb13u1)
set(OVMF_2025_DIR ${CMAKE_BINARY_DIR}/testbed/ovmf-2025)
set(OVMF_2025_VARS ${OVMF_2025_DIR}/OVMF_VARS_4M.fd)

add_test(NAME firmware.edk2-2025.fetch
         COMMAND ${TESTBED_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/tools/ovmf_release.py ${OVMF_2025_DIR}
                 --suite trixie --version ${OVMF_2025_VERSION})
set_tests_properties(firmware.edk2-2025.fetch PROPERTIES LABELS firmware TIMEOUT 300
                     FIXTURES_SETUP ovmf_2025)

# add_release_flash_image(<name> <image>...): 2025.02's code image with those
# images' files appended to its DXE volume, in that order, as
# ${FLASH_DIR}/edk2-2025-<name>.fd; a test (fixture ovmf_2025_flash_<name>),
# as its base is fetched by one.
function(add_release_flash_image name)
  add_flash_image_test(firmware.edk2-2025.flash.${name} BASE ${OVMF_2025_DIR}/OVMF_CODE_4M.fd
                       OUT edk2-2025-${name} LABELS firmware REQUIRES ovmf_2025 SETUP ovmf_2025_flash_${name} ${ARGN})
endfunction()
add_release_flash_image(driver SmbiosByHandleService TestbedStrapMarkDriver SmbiosBoardNameTrigger
                        SmbiosBoardName)
add_release_flash_image(no-driver SmbiosByHandleService TestbedStrapMarkDriver SmbiosBoardNameTrigger)
add_release_flash_image(no-service SmbiosBoardName SmbiosBoardNameTrigger)

# The independent reader on the rebuilt 2025.02 image.
add_test(NAME image.edk2-2025.uefiextract
         COMMAND ${TESTBED_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/tools/check_flash.py
                 ${FLASH_DIR}/edk2-2025-driver.fd ${SMBIOS_BOARD_NAME_FILE_GUID}=SmbiosBoardName
                 ${SMBIOS_BY_HANDLE_SERVICE_FILE_GUID}=SmbiosByHandleService
                 ${SMBIOS_BOARD_NAME_TRIGGER_FILE_GUID}=SmbiosBoardNameTrigger)
set_tests_properties(image.edk2-2025.uefiextract PROPERTIES LABELS image FIXTURES_REQUIRED ovmf_2025_flash_driver)

# The boots: add_flash_test's, each with 2025.02's variable store, and each
# table must name the release's build in its BIOS Information.
set(release_vars --vars ${OVMF_2025_VARS} --firmware-version ${OVMF_2025_VERSION})
foreach(entry_point 32 64)
  set(FLASH_FIXTURE ovmf_2025_flash_no-driver)
  add_flash_test(firmware.edk2-2025.no-driver.ep${entry_point} edk2-2025-no-driver ${release_vars}
                 --scenario no-driver --code 4 --entry-point ${entry_point})
  set_tests_properties(firmware.edk2-2025.no-driver.ep${entry_point} PROPERTIES
                       FIXTURES_SETUP edk2_2025_baseline_ep${entry_point})
endforeach()
# code:entry point:option, the six named codes, then one without a name.
foreach(run 0:64: 1:32:noisy 2:64:noisy 4:32: 6:64:watched 8:32:noisy 13:64:noisy)
  split_run(${run} code entry_point option)
  run_option("${option}")
  set(name firmware.edk2-2025.ep${entry_point}.code${code}${suffix})
  set(FLASH_FIXTURE "ovmf_2025_flash_driver;edk2_2025_baseline_ep${entry_point}")
  add_flash_test(${name} edk2-2025-driver ${release_vars} --code ${code} --entry-point ${entry_point} ${extra}
    --baseline ${CMAKE_BINARY_DIR}/testbed/runs/firmware.edk2-2025.no-driver.ep${entry_point}/after.bin)
endforeach()

# The driver alone on 2025.02 must stop as on 2022.11, with the exception
# dump naming an image, and never start Linux.
set(FLASH_FIXTURE ovmf_2025_flash_no-service)
add_flash_test(firmware.edk2-2025.no-service edk2-2025-no-service ${release_vars}
               --scenario no-service --code 4 --timeout 120)
set(FLASH_FIXTURE)

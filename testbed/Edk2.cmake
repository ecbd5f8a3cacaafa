# ---- OVMF built from Debian's edk2 source, as a board vendor builds it -----
# DEBUG, with the DXE core's memory guards; our modules are listed in a copy
# of OVMF's platform description only through the include files the default
# build writes in build/edk2 (tools/edk2_platform.py). The
# build is a test fixture (label edk2), so `scripts/test -LE edk2` skips it.

# The driver with a planted pool overrun: the guarded firmware must stop on it.
set(PLANTED_SOURCES ${PLATFORM_SOURCES} ${PLATFORM_HARDWARE_SOURCES} ${SMBIOS_SOURCES} ${DRIVER_SOURCES})
list(REMOVE_ITEM PLANTED_SOURCES ${CMAKE_SOURCE_DIR}/smbios/StringSet.cpp)
add_efi_image(TestbedPlantedOverrun
  SUBSYSTEM efi_boot_service_driver
  ENTRY DriverEntry
  SOURCES ${PLANTED_SOURCES} efi/PlantedOverrun.cpp)

set(PLANTED_FILE_GUID 5C8E6F03-2A4B-4E0D-9B61-7F2D3C4A5B10)

# The testbed's own files each variant adds as FILE statements beside our
# include line.
set(EDK2_TESTBED_FILES
    --strap-mark ${STRAP_MARK_FILE_GUID}=${CMAKE_BINARY_DIR}/efi/TestbedStrapMarkDriver.efi
    --planted ${PLANTED_FILE_GUID}=${CMAKE_BINARY_DIR}/efi/TestbedPlantedOverrun.efi)

# The harness's own checks, without a build: anchors and the image placed.
add_test(NAME testbed.edk2-platform COMMAND ${TESTBED_PYTHON} -m unittest test_edk2_platform
         WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/tools)
set_tests_properties(testbed.edk2-platform PROPERTIES LABELS unit ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)

set(EDK2_DIR ${CMAKE_BINARY_DIR}/testbed/edk2)
# The edk2 source, fetched once into edk2.build's default cache for every
# EDK II build that uses it (the measurement module of Tpm.cmake too).
add_test(NAME edk2.source COMMAND ${TESTBED_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/tools/edk2_source.py
                                  ${EDK2_DIR}/source)
set_tests_properties(edk2.source PROPERTIES LABELS "edk2;tpm" TIMEOUT 900 COST 10000
                     FIXTURES_SETUP edk2_source)
add_test(NAME edk2.build
         COMMAND ${TESTBED_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/tools/edk2_platform.py --out ${EDK2_DIR}
                 --modules ${CMAKE_BINARY_DIR}/edk2 ${EDK2_TESTBED_FILES})
# The longest test: started first, beside the others.
set_tests_properties(edk2.build PROPERTIES LABELS edk2 TIMEOUT 1500 COST 10000
                     FIXTURES_SETUP edk2_platform FIXTURES_REQUIRED edk2_source)

# Bad input for real: a version apt cannot fetch, a build that fails.
add_test(NAME edk2.refusals
         COMMAND ${TESTBED_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/tools/test_edk2_refusals.py ${EDK2_DIR}/source
                 ${CMAKE_BINARY_DIR}/edk2 ${EDK2_TESTBED_FILES})
set_tests_properties(edk2.refusals PROPERTIES LABELS edk2 TIMEOUT 300 FIXTURES_REQUIRED edk2_platform)

# UEFIExtract reads both images that hold the driver without a message.
foreach(image driver driver-file)
  add_test(NAME edk2.uefiextract.${image}
           COMMAND ${TESTBED_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/tools/check_flash.py ${EDK2_DIR}/${image}.fd
                   ${SMBIOS_BOARD_NAME_FILE_GUID}=SmbiosBoardName ${SMBIOS_BY_HANDLE_SERVICE_FILE_GUID}=SmbiosByHandleService
                   ${SMBIOS_BOARD_NAME_TRIGGER_FILE_GUID}=SmbiosBoardNameTrigger)
  set_tests_properties(edk2.uefiextract.${image} PROPERTIES LABELS edk2 FIXTURES_REQUIRED edk2_platform)
endforeach()

# Shell-less boots to Linux on the guarded DEBUG firmware, as on the release
# image; each also checks the DEBUG log (no ASSERT, our file loaded at its own
# base) and the serial log (no CPU exception dump).
function(add_edk2_boot name image)
  add_test(NAME ${name}
           COMMAND ${TESTBED_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/tools/flash_test.py
                   --image ${EDK2_DIR}/${image}.fd --vars ${EDK2_DIR}/vars.fd --memory 1024
                   --guest ${LINUX_GUEST_DIR} --out ${CMAKE_BINARY_DIR}/testbed/runs/${name} ${ARGN})
  set_tests_properties(${name} PROPERTIES LABELS edk2 TIMEOUT 300
                       FIXTURES_REQUIRED "linux_guest;edk2_platform;${EDK2_FIXTURE}")
endfunction()
foreach(entry_point 32 64)
  set(EDK2_FIXTURE)
  add_edk2_boot(edk2.no-driver.ep${entry_point} no-driver --scenario no-driver --code 4
                --entry-point ${entry_point} --debug-firmware ${SMBIOS_BOARD_NAME_FILE_GUID})
  set_tests_properties(edk2.no-driver.ep${entry_point} PROPERTIES FIXTURES_SETUP edk2_baseline_ep${entry_point})
endforeach()
# code:entry point:option:image, the six named codes, then one without a
# name; the driver-file image lists the driver by a FILE statement.
foreach(run 0:64::driver 1:32:noisy:driver 2:64:noisy:driver-file 4:32::driver 6:64::driver
            8:32:noisy:driver-file 13:64:noisy:driver)
  split_run(${run} code entry_point option image)
  run_option("${option}")
  set(name edk2.${image}.ep${entry_point}.code${code}${suffix})
  set(EDK2_FIXTURE edk2_baseline_ep${entry_point})
  add_edk2_boot(${name} ${image} --code ${code} --entry-point ${entry_point} ${extra}
    --debug-firmware ${SMBIOS_BOARD_NAME_FILE_GUID}
    --baseline ${CMAKE_BINARY_DIR}/testbed/runs/edk2.no-driver.ep${entry_point}/after.bin)
endforeach()
# The guard is armed: the planted overrun stops the firmware with a page fault.
set(EDK2_FIXTURE)
add_edk2_boot(edk2.planted-overrun planted --scenario planted --code 4 --timeout 120
              --debug-firmware ${PLANTED_FILE_GUID})

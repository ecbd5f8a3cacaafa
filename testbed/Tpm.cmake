# ---- Measured boot: Debian's release OVMF with a TPM --------------------------
# Debian's OVMF has the TPM 2.0 stack but not EDK II's SMBIOS measurement
# module. tools/measurement_module.py builds that module alone from the same
# edk2 source as the guarded platform (edk2.source fetches it once for both);
# the flash images add it beside the by-handle service, the driver and the
# trigger. Each boot has a TPM of its own (swtpm), and Linux hands back PCR1,
# the event log and the table (tools/tpm_test.py). Label tpm.

# The trigger installed at ReadyToBoot, too late. EDK II notifies the members
# of an event group at one TPL in the reverse order of their registration.
# This driver waits for nothing, so the DXE core dispatches it in its first
# round, before the measurement module, which waits for the SMBIOS protocol,
# though it lies after that module in the volume: its notification runs after
# the measurement. (Made to wait for the SMBIOS protocol too, it is dispatched
# after the module, registers after it, and its trigger comes in time.)
set(TRIGGER_AT_READY_TO_BOOT_FILE_GUID B94CED88-FF85-4CED-B901-8EB0732BB624)
add_efi_image(TestbedTriggerAtReadyToBoot
  SUBSYSTEM efi_boot_service_driver
  ENTRY TriggerAtReadyToBootEntry
  SOURCES efi/TriggerAtReadyToBoot.cpp ${TRIGGER_SOURCES} ../platform/HardwarePorts.cpp)
add_firmware_file(TestbedTriggerAtReadyToBoot GUID ${TRIGGER_AT_READY_TO_BOOT_FILE_GUID})

if(TARGET SmbiosBoardName AND EXISTS ${OVMF_CODE_4M})
  set(MEASUREMENT_DIR ${EDK2_DIR}/measurement)
  add_test(NAME tpm.measurement-module
           COMMAND ${TESTBED_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/tools/measurement_module.py
                   --out ${MEASUREMENT_DIR} --source-cache ${EDK2_DIR}/source)
  set_tests_properties(tpm.measurement-module PROPERTIES LABELS tpm TIMEOUT 600
                       FIXTURES_REQUIRED edk2_source FIXTURES_SETUP tpm_measurement)

  # The by-handle service, the testbed's strap mark and the End-of-DXE
  # trigger: the firmware files the images take besides the driver and the
  # measurement module.
  set(TPM_STAND_INS SmbiosByHandleService TestbedStrapMarkDriver SmbiosBoardNameTrigger)
  list(GET TPM_STAND_INS 0 TPM_SERVICE)
  list(GET TPM_STAND_INS 1 TPM_STRAP_MARK)
  list(GET TPM_STAND_INS 2 TPM_TRIGGER)
  set(TPM_MEASUREMENT ${MEASUREMENT_DIR}/SmbiosMeasurementDxe.ffs)
  # add_tpm_flash_image(<name> <file>...): OVMF with those files appended to
  # its DXE volume, in that order, as ${FLASH_DIR}/tpm-<name>.fd; a file is an
  # image target's .ffs or an absolute path. A test (fixture tpm_flash_<name>),
  # as the measurement module is built by one.
  function(add_tpm_flash_image name)
    add_flash_image_test(tpm.flash.${name} BASE ${OVMF_CODE_4M} OUT tpm-${name} LABELS tpm
                         REQUIRES tpm_measurement SETUP tpm_flash_${name} ${ARGN})
  endfunction()
  add_tpm_flash_image(driver ${TPM_SERVICE} ${TPM_MEASUREMENT} ${TPM_STRAP_MARK} ${TPM_TRIGGER} SmbiosBoardName)
  add_tpm_flash_image(no-driver ${TPM_SERVICE} ${TPM_MEASUREMENT} ${TPM_STRAP_MARK} ${TPM_TRIGGER})
  add_tpm_flash_image(late-trigger ${TPM_SERVICE} ${TPM_MEASUREMENT} ${TPM_STRAP_MARK} SmbiosBoardName
                      TestbedTriggerAtReadyToBoot)

  set(TPM_RUNS ${CMAKE_BINARY_DIR}/testbed/runs)
  function(add_tpm_boot name image)
    add_test(NAME ${name}
             COMMAND ${TESTBED_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/tools/tpm_test.py
                     --image ${FLASH_DIR}/tpm-${image}.fd --guest ${LINUX_GUEST_DIR}
                     --preview $<TARGET_FILE:smbios_preview> --out ${TPM_RUNS}/${name} ${ARGN})
    # Named after the test, for the checks across boots.
    set_tests_properties(${name} PROPERTIES LABELS tpm TIMEOUT 300 FIXTURES_SETUP ${name}
                         FIXTURES_REQUIRED "linux_guest;tpm_flash_${image};${TPM_BASELINE}")
  endfunction()
  set(TPM_BASELINE)
  add_tpm_boot(tpm.no-driver no-driver --scenario no-driver --code 4)
  set(TPM_BASELINE tpm.no-driver)
  set(baseline --baseline ${TPM_RUNS}/tpm.no-driver/after.bin)
  foreach(code 0 4 8)
    add_tpm_boot(tpm.code${code} driver --code ${code} ${baseline})
  endforeach()
  add_tpm_boot(tpm.late-trigger late-trigger --scenario late-trigger --code 8 ${baseline})

  # Across the boots: a digest per variant, and our event-log reader against
  # tpm2-tools' on a real log.
  add_test(NAME tpm.measured-boots COMMAND ${TESTBED_PYTHON} -m unittest test_measured_boots
           WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/tools)
  set_tests_properties(tpm.measured-boots PROPERTIES LABELS tpm
                       ENVIRONMENT "TPM_RUNS=${TPM_RUNS};PYTHONDONTWRITEBYTECODE=1"
                       FIXTURES_REQUIRED "tpm.no-driver;tpm.code0;tpm.code4;tpm.code8")
endif()

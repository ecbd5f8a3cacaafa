# ---- Secure Boot: the shipping configuration ----------------------------------
# Debian's OVMF built with Secure Boot and its variable store behind SMM
# (OVMF_CODE_4M.ms.fd), booted with Microsoft's keys enrolled and Secure Boot
# on (OVMF_VARS_4M.ms.fd, copied per boot), from Debian's signed chain on an
# ESP: shim, GRUB, the signed cloud kernel (tools/signed_chain.py downloads
# and unpacks them into the build tree; nothing is installed). The images add
# the by-handle service, the strap mark, the trigger and the driver to the
# DXE volume as the release image's flash boots do. Label secureboot; the
# measured boot needs the tpm label's measurement module and carries both.

set(OVMF_CODE_4M_SECURE_BOOT /usr/share/OVMF/OVMF_CODE_4M.ms.fd)
set(SECURE_BOOT_DIR ${CMAKE_BINARY_DIR}/testbed/secure-boot)
set(SECURE_BOOT_RUNS ${CMAKE_BINARY_DIR}/testbed/runs)
set(SECURE_BOOT_RUNNER ${CMAKE_CURRENT_SOURCE_DIR}/tools/secure_boot_test.py)

if(TARGET SmbiosBoardName AND EXISTS ${OVMF_CODE_4M_SECURE_BOOT})
  set(SECURE_BOOT_STAND_INS SmbiosByHandleService TestbedStrapMarkDriver SmbiosBoardNameTrigger)
  add_flash_image(secureboot-driver BASE ${OVMF_CODE_4M_SECURE_BOOT} ${SECURE_BOOT_STAND_INS} SmbiosBoardName)
  add_flash_image(secureboot-no-driver BASE ${OVMF_CODE_4M_SECURE_BOOT} ${SECURE_BOOT_STAND_INS})

  # The ESPs: the signed chain, and the same with one of our own unsigned
  # applications as BOOTX64.EFI, which the firmware must refuse.
  add_test(NAME secureboot.prepare
           COMMAND ${TESTBED_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/tools/signed_chain.py --out ${SECURE_BOOT_DIR}
                   --guest ${LINUX_GUEST_DIR} --unsigned ${CMAKE_BINARY_DIR}/efi/TestbedStrapMark.efi)
  set_tests_properties(secureboot.prepare PROPERTIES LABELS secureboot TIMEOUT 300
                       FIXTURES_REQUIRED linux_guest FIXTURES_SETUP secure_boot_chain)

  function(add_secure_boot_test name image esp)
    add_test(NAME ${name}
             COMMAND ${TESTBED_PYTHON} ${SECURE_BOOT_RUNNER} --image ${image} --esp ${SECURE_BOOT_DIR}/esp-${esp}.img
                     --out ${SECURE_BOOT_RUNS}/${name} ${ARGN})
    set_tests_properties(${name} PROPERTIES LABELS secureboot TIMEOUT 300
                         FIXTURES_REQUIRED "secure_boot_chain;${SECURE_BOOT_BASELINE}")
  endfunction()
  set(SECURE_BOOT_BASELINE)
  add_secure_boot_test(secureboot.no-driver ${FLASH_DIR}/secureboot-no-driver.fd signed
                       --scenario no-driver --code 4)
  set_tests_properties(secureboot.no-driver PROPERTIES FIXTURES_SETUP secure_boot_baseline)
  set(SECURE_BOOT_BASELINE secure_boot_baseline)
  set(baseline --baseline ${SECURE_BOOT_RUNS}/secureboot.no-driver/after.bin)
  foreach(code 0 4 8)
    add_secure_boot_test(secureboot.code${code} ${FLASH_DIR}/secureboot-driver.fd signed --code ${code} ${baseline})
  endforeach()
  # Enforcement: the same image and the same ESP but for an unsigned loader.
  set(SECURE_BOOT_BASELINE)
  add_secure_boot_test(secureboot.unsigned-loader ${FLASH_DIR}/secureboot-driver.fd unsigned
                       --scenario unsigned --code 4 --timeout 120)

  # Measured: the same image with EDK II's SMBIOS measurement module (the tpm
  # label builds it) and a software TPM. A test makes the image, as the
  # module is built by one.
  if(DEFINED TPM_MEASUREMENT)
    add_flash_image_test(secureboot.flash.tpm BASE ${OVMF_CODE_4M_SECURE_BOOT} OUT secureboot-tpm
                         LABELS "secureboot;tpm" REQUIRES tpm_measurement SETUP secure_boot_tpm_image
                         ${TPM_SERVICE} ${TPM_MEASUREMENT} ${TPM_STRAP_MARK} ${TPM_TRIGGER} SmbiosBoardName)
    set(SECURE_BOOT_BASELINE "secure_boot_baseline;secure_boot_tpm_image")
    add_secure_boot_test(secureboot.tpm.code4 ${FLASH_DIR}/secureboot-tpm.fd signed --code 4 --tpm
                         --preview $<TARGET_FILE:smbios_preview> ${baseline})
    set_tests_properties(secureboot.tpm.code4 PROPERTIES LABELS "secureboot;tpm")
  endif()
endif()

# The boots' own checks, fed hand-made serial logs with one fault each.
add_test(NAME testbed.secure-boot COMMAND ${TESTBED_PYTHON} -m unittest test_secure_boot
         WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/tools)
set_tests_properties(testbed.secure-boot PROPERTIES LABELS unit ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)

# The modules shipped beside the driver, for platforms that lack what it
# needs: built by the driver's toolchain and packed by the same rules, as
# build/efi/<name>.efi and .ffs and build/edk2/<name>/.

# The by-handle SMBIOS table service for stock EDK II; it extends the record
# SmbiosDxe installs, so it waits for the SMBIOS protocol.
set(SMBIOS_PROTOCOL_GUID 03583FF6-CB36-4940-947E-B9B39F4AFAF7)
set(SMBIOS_BY_HANDLE_SERVICE_FILE_GUID 7C916904-83D7-41C4-8A5E-85CDE4D8324A)
set(SMBIOS_BY_HANDLE_SERVICE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/SmbiosByHandleService/ByHandle.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SmbiosByHandleService/HandleIndex.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SmbiosByHandleService/Replace.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SmbiosByHandleService/SmbiosTable.cpp)
add_efi_image(SmbiosByHandleService
  SUBSYSTEM efi_boot_service_driver
  ENTRY SmbiosByHandleServiceEntry
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/SmbiosByHandleService/ServiceEntry.cpp
          ${SMBIOS_BY_HANDLE_SERVICE_SOURCES}
          ${CMAKE_SOURCE_DIR}/platform/CopyBytes.cpp ${CMAKE_SOURCE_DIR}/platform/SmbiosTableService.cpp)
add_firmware_file(SmbiosByHandleService GUID ${SMBIOS_BY_HANDLE_SERVICE_FILE_GUID}
                  DEPENDS_ON ${SMBIOS_PROTOCOL_GUID})
add_edk2_module(SmbiosByHandleService GUID ${SMBIOS_BY_HANDLE_SERVICE_FILE_GUID}
                DEPENDS_ON ${SMBIOS_PROTOCOL_GUID})

# The trigger installer at End-of-DXE; its entry needs only CreateEventEx.
set(SMBIOS_BOARD_NAME_TRIGGER_FILE_GUID 14117739-3586-45B8-A77E-3A7CE7D322AD)
add_efi_image(SmbiosBoardNameTrigger
  SUBSYSTEM efi_boot_service_driver
  ENTRY SmbiosBoardNameTriggerEntry
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/SmbiosBoardNameTrigger/TriggerAtEndOfDxe.cpp
          ${CMAKE_SOURCE_DIR}/driver/TriggerProtocol.cpp)
add_firmware_file(SmbiosBoardNameTrigger GUID ${SMBIOS_BOARD_NAME_TRIGGER_FILE_GUID})
add_edk2_module(SmbiosBoardNameTrigger GUID ${SMBIOS_BOARD_NAME_TRIGGER_FILE_GUID})

# One include per platform file lists the three, in dispatch order: the
# service, the driver, the trigger.
add_edk2_includes(SmbiosBoardName SmbiosByHandleService SmbiosBoardName SmbiosBoardNameTrigger)

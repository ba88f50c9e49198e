# The names the build and the scripts give the product, written once here.
# CMakeLists.txt includes this file; the scripts ask it for the names
# (scripts/common.sh: load_names), which it prints as shell assignments when
# run as `cmake -P cmake/names.cmake`; the Wine tests ask it the same way
# (tests/windows/winetest.py: build_names). The program, its tests and
# benchmarks get the company, application, executable and firmware folder
# names as compile definitions of the same names (QRIO_COMPANY on qrio_serial,
# the others on qrio_core), so no source file spells them again.

# What users see: the window's maker and the program's name (menu entry,
# software centres, the Windows version resource).
set(QRIO_COMPANY Quorvex)
set(QRIO_COMPANY_DOMAIN quorvex.com)
# The window's title and the application name the settings store and the logs'
# folder are found by (with the company).
set(QRIO_APP_NAME "Velmora(CANBus)")
set(QRIO_PRODUCT_NAME "${QRIO_COMPANY} Remote-IO Firmware Updater")
# The executable's base name (.exe on Windows).
set(QRIO_EXE_NAME QuorvexRemoteIOFirmwareUpdater)
# The Debian package, its launcher, menu entry, icon and folders.
set(QRIO_PACKAGE_NAME quorvex-remoteio-firmware-updater)
# The folder beside the program that holds the firmware files and README.txt.
set(QRIO_FIRMWARE_FOLDER "Kelvo Firmware")

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    foreach(name QRIO_COMPANY QRIO_COMPANY_DOMAIN QRIO_APP_NAME QRIO_PRODUCT_NAME QRIO_EXE_NAME QRIO_PACKAGE_NAME QRIO_FIRMWARE_FOLDER)
        execute_process(COMMAND "${CMAKE_COMMAND}" -E echo "${name}='${${name}}'")
    endforeach()
endif()

# The names the build and the scripts give the product, written once here.
# CMakeLists.txt includes this file; the scripts ask it for the names
# (scripts/common.sh: load_names), which it prints as shell assignments when
# run as `cmake -P cmake/names.cmake`. The program, its tests and benchmarks
# get the firmware folder's name as QRIO_FIRMWARE_FOLDER (qrio_core's
# compile definitions).

# What users see: the window's maker and the program's name (menu entry,
# software centres, the Windows version resource).
set(QRIO_COMPANY Quorvex)
set(QRIO_PRODUCT_NAME "${QRIO_COMPANY} Remote-IO Firmware Updater")
# The executable's base name (.exe on Windows).
set(QRIO_EXE_NAME QuorvexRemoteIOFirmwareUpdater)
# The Debian package, its launcher, menu entry, icon and folders.
set(QRIO_PACKAGE_NAME quorvex-remoteio-firmware-updater)
# The folder beside the program that holds the firmware files and README.txt.
set(QRIO_FIRMWARE_FOLDER "Kelvo Firmware")

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    foreach(name QRIO_COMPANY QRIO_PRODUCT_NAME QRIO_EXE_NAME QRIO_PACKAGE_NAME QRIO_FIRMWARE_FOLDER)
        execute_process(COMMAND "${CMAKE_COMMAND}" -E echo "${name}='${${name}}'")
    endforeach()
endif()

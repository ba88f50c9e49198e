# Cross-building the Windows program on Debian with mingw-w64 against a static
# Qt for x86_64-w64-mingw32 (scripts/build-windows.sh passes its prefix as
# QRIO_QT_WIN_PREFIX).
#
# The posix thread model: Debian's plain x86_64-w64-mingw32-g++ is the win32
# one, which has no std::thread.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QRIO_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QRIO_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QRIO_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QRIO_MINGW_TRIPLE}-windres)

# try_compile projects see only cache variables, and some of them need the
# prefix again. The serial layer alone (QRIO_SERIAL_ONLY) needs no Qt.
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QRIO_QT_WIN_PREFIX QRIO_SERIAL_ONLY)
if(NOT QRIO_QT_WIN_PREFIX AND DEFINED ENV{QRIO_QT_WIN_PREFIX})
    set(QRIO_QT_WIN_PREFIX $ENV{QRIO_QT_WIN_PREFIX})
endif()
if(NOT QRIO_QT_WIN_PREFIX AND NOT QRIO_SERIAL_ONLY)
    message(FATAL_ERROR "QRIO_QT_WIN_PREFIX: the prefix of a Qt 5 built for ${QRIO_MINGW_TRIPLE}")
endif()

# Packages only from the Windows Qt (otherwise the host's Linux Qt from
# qtbase5-dev can be picked up); programs from the host; headers and
# libraries from the mingw sysroot and that Qt.
set(CMAKE_FIND_ROOT_PATH ${QRIO_QT_WIN_PREFIX} /usr/${QRIO_MINGW_TRIPLE})
set(CMAKE_PREFIX_PATH ${QRIO_QT_WIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained .exe: the C and C++ runtimes and winpthread linked in, so
# that only Windows system DLLs are imported.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

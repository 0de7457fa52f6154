# Windows: the Win32 serial port, and the console keyboard and beep of the C
# runtime. Everything they call is in kernel32 and the C runtime, which every
# Windows toolchain (MSVC, MinGW-w64) links by default.
set(KELVOR_PLATFORM_SOURCES
    ${PROJECT_SOURCE_DIR}/src/serial/port_win32.cpp
    ${PROJECT_SOURCE_DIR}/src/keyboard/keyboard_win32.cpp)
set(KELVOR_PLATFORM_LIBS "")

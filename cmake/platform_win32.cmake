# Windows: the Win32 serial port paced by the line, the console keyboard read as
# input records, and the beep. Everything they call is in kernel32, which every
# Windows toolchain (MSVC, MinGW-w64) links by default.
set(KELVOR_PLATFORM_SOURCES
    ${PROJECT_SOURCE_DIR}/src/serial/port_win32.cpp
    ${PROJECT_SOURCE_DIR}/src/serial/line_pace.cpp
    ${PROJECT_SOURCE_DIR}/src/keyboard/keyboard_win32.cpp
    ${PROJECT_SOURCE_DIR}/src/keyboard/console_key_decoder.cpp)
set(KELVOR_PLATFORM_LIBS "")

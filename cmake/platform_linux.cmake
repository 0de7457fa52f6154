# Linux: serial port through termios2, keys from the controlling terminal.
set(KELVOR_PLATFORM_SOURCES
    ${PROJECT_SOURCE_DIR}/src/serial/port_linux.cpp
    ${PROJECT_SOURCE_DIR}/src/serial/device_linux.cpp
    ${PROJECT_SOURCE_DIR}/src/serial/device_verdict.cpp
    ${PROJECT_SOURCE_DIR}/src/serial/line_settings_linux.cpp
    ${PROJECT_SOURCE_DIR}/src/serial/line_pace.cpp
    ${PROJECT_SOURCE_DIR}/src/serial/driver_rates.cpp
    ${PROJECT_SOURCE_DIR}/src/keyboard/keyboard_linux.cpp
    ${PROJECT_SOURCE_DIR}/src/keyboard/key_decoder.cpp)
set(KELVOR_PLATFORM_LIBS "")

// The Windows console keyboard and beep. _kbhit and _getch read the console
// itself (not standard input), without echo and without Enter, and deliver an
// extended key as two codes (0xE0 or 0x00, then the scan code).
#include <conio.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "keyboard.h"

// _getch switches the console to raw input only while it reads, so there is
// nothing to set up or restore.
void keyboard_open() {}

void keyboard_close() {}

bool key_waiting() {
    return _kbhit() != 0;
}

int key_read() {
    return _getch() & 0xFF;
}

void console_beep(uint32_t hz, uint32_t ms) {
    // Beep returns at once where there is no speaker or sound device to play
    // the tone (and under Wine); the caller still expects the full duration.
    const ULONGLONG start = GetTickCount64();
    Beep(hz, ms);
    const ULONGLONG spent = GetTickCount64() - start;
    if (spent < ms) {
        Sleep(static_cast<DWORD>(ms - spent));
    }
}

// The console: key codes in the two-code form of the PC console (0xE0 or 0x00
// followed by a scan code for extended keys), and the beep.
#pragma once

#include <cstdint>

// Starts taking keys from the console without echo and without Enter.
void keyboard_open();

// Gives the console back as it was found.
void keyboard_close();

// True when at least one key code is waiting. Never blocks. Right after a typed
// character whose code is 0xE0 it says no once, where the console tells such a
// character from an extended key, so that the key check does not take the next
// key as that character's second code.
bool key_waiting();

// Takes one waiting key code (0 to 255). Only called after key_waiting() said yes.
int key_read();

// Sounds a tone of hz for ms milliseconds. Returns at once where the tone runs by
// itself (the wave goes on meanwhile), else when it has finished.
void console_beep(uint32_t hz, uint32_t ms);

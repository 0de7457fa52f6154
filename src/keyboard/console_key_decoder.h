// Turns the key event records of the Windows console into the PC console's key
// codes: one code for a character, two for an extended key (0xE0 or 0x00, then a
// scan code), as the C runtime's _getch gives them. Free of system headers: the
// Windows keyboard copies each record's fields into a ConsoleKeyEvent, so the
// decoding is tested on any platform.
#pragma once

#include <cstdint>

// The fields of one KEY_EVENT_RECORD, plus its character in the console's code page.
struct ConsoleKeyEvent {
    bool key_down;         // a press (or the auto-repeat of a held key); false: a release
    uint16_t virtual_key;  // wVirtualKeyCode
    uint16_t scan_code;    // wVirtualScanCode
    uint16_t unicode_char; // uChar.UnicodeChar: the UTF-16 unit the key types, 0 for none
    int code_page_char;    // that character in the console's input code page: 0 to 255,
                           // or -1 where the code page has no single byte for it
    uint32_t control_keys; // dwControlKeyState
    uint16_t repeat_count; // wRepeatCount
};

// Bits of control_keys, with the console's values.
constexpr uint32_t kRightAltPressed = 0x0001;
constexpr uint32_t kLeftAltPressed = 0x0002;
constexpr uint32_t kRightCtrlPressed = 0x0004;
constexpr uint32_t kLeftCtrlPressed = 0x0008;
constexpr uint32_t kShiftPressed = 0x0010;
constexpr uint32_t kEnhancedKey = 0x0100; // the cursor block, not the keypad

struct ConsoleKeyCodes {
    int count;        // 0 (the record gives no key), 1 or 2
    uint8_t codes[2]; // a two-code key starts with 0xE0 or 0x00
};

// The codes one press of the record's key gives. Releases, modifiers pressed
// alone and keys without a code give none; a character gives its code-page byte
// alone, also when that byte is 0xE0.
ConsoleKeyCodes console_key_decode(const ConsoleKeyEvent& event);

// The key taken from the console and not yet read, code by code.
struct ConsoleKeyQueue {
    ConsoleKeyCodes key;   // codes of the key taken; count 0 when none
    int next;              // index in key.codes of the next code to read
    uint32_t presses_left; // further presses the same record stands for (repeat count)
    bool hold;             // a lone 0xE0 was just read: report no code once
};

// Queues the presses of one record. Only called when the queue is empty.
void key_queue_put(ConsoleKeyQueue& queue, ConsoleKeyCodes key, uint16_t repeat_count);

enum class KeyQueueState { code, hold, empty };

// Whether a code can be read now. After a typed character whose code is 0xE0,
// the next look answers `hold` once, without a code: the key check then takes
// that 0xE0 as a character of its own instead of reading the next key as its
// second code.
KeyQueueState key_queue_look(ConsoleKeyQueue& queue);

// Takes the next code. Only called after key_queue_look answered `code`.
int key_queue_read(ConsoleKeyQueue& queue);

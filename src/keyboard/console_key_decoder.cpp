#include "console_key_decoder.h"

namespace {

constexpr uint8_t kExtended = 0xE0; // prefix of the cursor block, F11 and F12
constexpr uint8_t kFunction = 0x00; // prefix of F1 to F10, the keypad and Alt combinations

// Virtual keys that only modify other keys or switch a lock.
bool is_modifier(uint16_t virtual_key) {
    switch (virtual_key) {
    case 0x10: // VK_SHIFT
    case 0x11: // VK_CONTROL
    case 0x12: // VK_MENU (Alt)
    case 0x14: // VK_CAPITAL
    case 0x5B: // VK_LWIN
    case 0x5C: // VK_RWIN
    case 0x90: // VK_NUMLOCK
    case 0x91: // VK_SCROLL
        return true;
    default:
        return virtual_key >= 0xA0 && virtual_key <= 0xA5; // left and right Shift, Ctrl, Alt
    }
}

// The keys of the cursor block by scan code, and their second code with Ctrl.
// The keypad's keys share the scan codes (with Num Lock off they type no
// character); the console marks the cursor block's with kEnhancedKey.
struct CursorKey {
    uint8_t scan;
    uint8_t ctrl;        // after 0xE0 for the cursor block
    uint8_t keypad_ctrl; // after 0x00 for the keypad
};
const CursorKey kCursorKeys[] = {
    {0x47, 0x77, 0x77}, // Home
    {0x48, 0x8D, 0x8D}, // Up
    {0x49, 0x86, 0x84}, // Page Up
    {0x4B, 0x73, 0x73}, // Left
    {0x4D, 0x74, 0x74}, // Right
    {0x4F, 0x75, 0x75}, // End
    {0x50, 0x91, 0x91}, // Down
    {0x51, 0x76, 0x76}, // Page Down
    {0x52, 0x92, 0x92}, // Insert
    {0x53, 0x93, 0x93}, // Delete
};

// Cursor block: Alt gives 0x00 and the scan code + 0x50.
constexpr uint8_t kCursorAltOffset = 0x50;

// F1 to F10 give 0x00 and their scan code moved by the modifier.
constexpr uint8_t kF1Scan = 0x3B;
constexpr uint8_t kF10Scan = 0x44;
constexpr uint8_t kFShiftOffset = 0x19;
constexpr uint8_t kFCtrlOffset = 0x23;
constexpr uint8_t kFAltOffset = 0x2D;

// F11 and F12 give 0xE0 and these codes, plus 2 with Shift, 4 with Ctrl, 6 with Alt.
constexpr uint8_t kF11Scan = 0x57;
constexpr uint8_t kF12Scan = 0x58;
constexpr uint8_t kF11Code = 0x85;
constexpr uint8_t kF12Code = 0x86;

// Alt with a letter or digit key that types no character: 0x00 and the scan
// code for a letter, the scan code + 0x76 for the top row's 1 to 0, - and =.
constexpr uint8_t kDigitRowFirst = 0x02;
constexpr uint8_t kDigitRowLast = 0x0D;
constexpr uint8_t kDigitRowAltOffset = 0x76;

bool is_letter_scan(uint16_t scan) {
    return (scan >= 0x10 && scan <= 0x19) || (scan >= 0x1E && scan <= 0x26) ||
           (scan >= 0x2C && scan <= 0x32);
}

ConsoleKeyCodes none() {
    return {0, {0, 0}};
}
ConsoleKeyCodes one(int code) {
    return {1, {static_cast<uint8_t>(code), 0}};
}
ConsoleKeyCodes two(uint8_t prefix, int code) {
    return {2, {prefix, static_cast<uint8_t>(code)}};
}

} // namespace

ConsoleKeyCodes console_key_decode(const ConsoleKeyEvent& event) {
    if (!event.key_down || is_modifier(event.virtual_key)) {
        return none();
    }
    // A key that types a character gives that character, whatever its other
    // fields say; one that the code page cannot give as one byte gives nothing.
    if (event.unicode_char != 0) {
        return event.code_page_char >= 0 && event.code_page_char <= 0xFF ? one(event.code_page_char)
                                                                         : none();
    }
    const bool alt = (event.control_keys & (kLeftAltPressed | kRightAltPressed)) != 0;
    const bool ctrl = (event.control_keys & (kLeftCtrlPressed | kRightCtrlPressed)) != 0;
    const bool shift = (event.control_keys & kShiftPressed) != 0;
    const bool enhanced = (event.control_keys & kEnhancedKey) != 0;
    const uint16_t scan = event.scan_code;

    for (const CursorKey& key : kCursorKeys) {
        if (key.scan != scan) {
            continue;
        }
        if (enhanced) {
            if (alt) {
                return two(kFunction, scan + kCursorAltOffset);
            }
            return two(kExtended, ctrl ? key.ctrl : scan);
        }
        // The keypad: Alt is for typing characters by number, and Shift makes
        // the console give the digit as a character.
        if (alt || shift) {
            return none();
        }
        return two(kFunction, ctrl ? key.keypad_ctrl : scan);
    }
    if (enhanced) {
        return none();
    }
    if (scan >= kF1Scan && scan <= kF10Scan) {
        const int offset = alt ? kFAltOffset : ctrl ? kFCtrlOffset : shift ? kFShiftOffset : 0;
        return two(kFunction, scan + offset);
    }
    if (scan == kF11Scan || scan == kF12Scan) {
        const int offset = alt ? 6 : ctrl ? 4 : shift ? 2 : 0;
        return two(kExtended, (scan == kF11Scan ? kF11Code : kF12Code) + offset);
    }
    if (alt && is_letter_scan(scan)) {
        return two(kFunction, scan);
    }
    if (alt && scan >= kDigitRowFirst && scan <= kDigitRowLast) {
        return two(kFunction, scan + kDigitRowAltOffset);
    }
    return none();
}

void key_queue_put(ConsoleKeyQueue& queue, ConsoleKeyCodes key, uint16_t repeat_count) {
    queue.key = key;
    queue.next = 0;
    queue.presses_left = repeat_count > 1 ? repeat_count - 1u : 0u;
}

KeyQueueState key_queue_look(ConsoleKeyQueue& queue) {
    if (queue.hold) {
        queue.hold = false;
        return KeyQueueState::hold;
    }
    return queue.key.count > 0 ? KeyQueueState::code : KeyQueueState::empty;
}

int key_queue_read(ConsoleKeyQueue& queue) {
    const int code = queue.key.codes[queue.next++];
    queue.hold = queue.key.count == 1 && code == kExtended;
    if (queue.next >= queue.key.count) {
        queue.next = 0;
        if (queue.presses_left > 0) {
            --queue.presses_left;
        } else {
            queue.key.count = 0;
        }
    }
    return code;
}

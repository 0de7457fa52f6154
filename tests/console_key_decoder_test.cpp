// Windows console key records to console key codes, and the queue the Windows
// keyboard reads them from. The records are those the console gives (checked
// against Wine's console window): scan codes of the PC keyboard, the modifier
// bits of dwControlKeyState, the enhanced-key bit for the cursor block.
#include <gtest/gtest.h>

#include <vector>

#include "keyboard/console_key_decoder.h"

namespace {

constexpr uint32_t kShift = kShiftPressed;
constexpr uint32_t kCtrl = kLeftCtrlPressed;
constexpr uint32_t kAlt = kLeftAltPressed;
constexpr uint32_t kCursor = kEnhancedKey;

// A key press that types no character.
ConsoleKeyEvent press(uint16_t scan, uint32_t mods = 0, uint16_t virtual_key = 0) {
    return {true, virtual_key, scan, 0, -1, mods, 1};
}

// A key press that types unicode, which is code in the console's code page.
ConsoleKeyEvent typed(uint16_t unicode, int code, uint16_t scan = 0x1E, uint32_t mods = 0) {
    return {true, 0x41, scan, unicode, code, mods, 1};
}

std::vector<int> codes(const ConsoleKeyEvent& event) {
    const ConsoleKeyCodes key = console_key_decode(event);
    return std::vector<int>(key.codes, key.codes + key.count);
}

struct Case {
    ConsoleKeyEvent event;
    std::vector<int> codes;
};

void expect_all(const std::vector<Case>& cases) {
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(codes(cases[i].event), cases[i].codes) << "case " << i;
    }
}

} // namespace

TEST(ConsoleKeyDecoder, CursorBlockAndKeypadWithShiftCtrlAlt) {
    expect_all({
        {press(0x48, kCursor), {0xE0, 0x48}},                // Up
        {press(0x48, kCursor | kShift), {0xE0, 0x48}},       // Shift+Up
        {press(0x48, kCursor | kCtrl), {0xE0, 0x8D}},        // Ctrl+Up
        {press(0x48, kCursor | kAlt), {0x00, 0x98}},         // Alt+Up
        {press(0x50, kCursor), {0xE0, 0x50}},                // Down
        {press(0x4B, kCursor | kCtrl), {0xE0, 0x73}},        // Ctrl+Left
        {press(0x47, kCursor), {0xE0, 0x47}},                // Home
        {press(0x4F, kCursor), {0xE0, 0x4F}},                // End
        {press(0x49, kCursor | kCtrl), {0xE0, 0x86}},        // Ctrl+Page Up
        {press(0x51, kCursor), {0xE0, 0x51}},                // Page Down
        {press(0x52, kCursor), {0xE0, 0x52}},                // Insert
        {press(0x53, kCursor | kAlt | kCtrl), {0x00, 0xA3}}, // Alt wins over Ctrl
        // The keypad with Num Lock off: 0x00 first; Alt and Shift give nothing here.
        {press(0x48), {0x00, 0x48}},
        {press(0x51), {0x00, 0x51}}, // keypad Page Down: 0x51 is Q, which quits
        {press(0x49, kCtrl), {0x00, 0x84}},
        {press(0x48, kAlt), {}},
        {press(0x48, kShift), {}},
    });
}

TEST(ConsoleKeyDecoder, FunctionKeysWithShiftCtrlAlt) {
    expect_all({
        {press(0x3B), {0x00, 0x3B}},         // F1
        {press(0x3D), {0x00, 0x3D}},         // F3: 0x3D is =, which raises
        {press(0x44), {0x00, 0x44}},         // F10
        {press(0x3B, kShift), {0x00, 0x54}}, // Shift+F1
        {press(0x3C, kCtrl), {0x00, 0x5F}},  // Ctrl+F2
        {press(0x44, kAlt), {0x00, 0x71}},   // Alt+F10
        {press(0x57), {0xE0, 0x85}},         // F11
        {press(0x58), {0xE0, 0x86}},         // F12
        {press(0x57, kShift), {0xE0, 0x87}}, // Shift+F11
        {press(0x57, kCtrl), {0xE0, 0x89}},  // Ctrl+F11
        {press(0x57, kAlt), {0xE0, 0x8B}},   // Alt+F11
        {press(0x58, kAlt), {0xE0, 0x8C}},   // Alt+F12
        {press(0x20, kAlt), {0x00, 0x20}},   // Alt+D without a character
        {press(0x02, kAlt), {0x00, 0x78}},   // Alt+1 without a character
    });
}

TEST(ConsoleKeyDecoder, CharactersByCodePageAndRecordsWithoutACode) {
    ConsoleKeyEvent release = press(0x48, kCursor);
    release.key_down = false;
    ConsoleKeyEvent plus_release = typed('+', '+');
    plus_release.key_down = false;
    expect_all({
        {typed('q', 'q'), {'q'}},
        {typed(' ', ' ', 0x39), {' '}},
        {typed('+', '+', 0x0D, kShift), {'+'}},
        {typed('q', 'q', 0x10, kAlt), {'q'}},     // a character wins over Alt
        {typed(0x11, 0x11, 0x10, kCtrl), {0x11}}, // Ctrl+Q types a control character
        {typed(0x3B1, 0xE0, 0x60), {0xE0}},       // alpha in code page 437: one code
        {typed(0x20AC, -1), {}},                  // no byte in the code page
        {release, {}},
        {plus_release, {}},                       // the console may put a character on a release
        {press(0x2A, kShift, 0x10), {}},          // Shift alone
        {press(0x1D, kCtrl | kCursor, 0x11), {}}, // right Ctrl alone
        {press(0x38, kAlt, 0x12), {}},            // Alt alone
        {press(0x3A, 0, 0x14), {}},               // Caps Lock
        {press(0x1C, kCursor), {}},               // a cursor-block-flagged key not in the block
        {press(0x4C), {}},                        // keypad 5 with Num Lock off
        {press(0x10, kCtrl), {}},                 // Ctrl with a letter that types nothing
    });
}

// The key check reads the first code, and a second one only when a key is still
// waiting right after an 0xE0.
TEST(ConsoleKeyQueue, ExtendedKeysWholeTypedPrefixAloneRepeatsCounted) {
    ConsoleKeyQueue queue{};
    EXPECT_EQ(key_queue_look(queue), KeyQueueState::empty);

    key_queue_put(queue, console_key_decode(press(0x48, kCursor)), 1);
    ASSERT_EQ(key_queue_look(queue), KeyQueueState::code);
    EXPECT_EQ(key_queue_read(queue), 0xE0);
    ASSERT_EQ(key_queue_look(queue), KeyQueueState::code);
    EXPECT_EQ(key_queue_read(queue), 0x48);
    EXPECT_EQ(key_queue_look(queue), KeyQueueState::empty);

    // A typed 0xE0 is a key of its own: the look right after it reports no code
    // once, so the next key is not taken as its second code.
    key_queue_put(queue, console_key_decode(typed(0x3B1, 0xE0)), 1);
    EXPECT_EQ(key_queue_read(queue), 0xE0);
    EXPECT_EQ(key_queue_look(queue), KeyQueueState::hold);
    EXPECT_EQ(key_queue_look(queue), KeyQueueState::empty);
    key_queue_put(queue, console_key_decode(typed('x', 'x')), 1);
    EXPECT_EQ(key_queue_look(queue), KeyQueueState::code);
    EXPECT_EQ(key_queue_read(queue), 'x');
    EXPECT_EQ(key_queue_look(queue), KeyQueueState::empty);

    // One record of a held key stands for repeat_count presses.
    key_queue_put(queue, console_key_decode(press(0x3D)), 3);
    std::vector<int> read;
    while (key_queue_look(queue) == KeyQueueState::code) {
        read.push_back(key_queue_read(queue));
    }
    EXPECT_EQ(read, (std::vector<int>{0x00, 0x3D, 0x00, 0x3D, 0x00, 0x3D}));
}

// The Windows console keyboard and beep. Keys are read as the console's input
// records (ReadConsoleInputW on CONIN$), not through the C runtime's _kbhit and
// _getch: how those count and drop records differs between runtimes (Wine's
// skip the function keys, and count a key press only once a later record has
// arrived). Each key press is turned into the two-code form of the PC console by
// console_key_decode; records that give no code (releases, modifiers alone,
// mouse, focus and size events) are read and dropped on the way.
#include "console_input_win32.h"
#include "console_key_decoder.h"
#include "keyboard.h"

namespace {

ConsoleKeyQueue keys{};

// Standard input when it is a pipe or a file: its bytes are key codes, as a
// script writes them ('+', '-', 'q'), taken one at a time like the console's.
HANDLE piped = INVALID_HANDLE_VALUE;
bool piped_is_pipe = false;
unsigned char piped_codes[64];
DWORD piped_len = 0;
DWORD piped_next = 0;
bool from_pipe = false; // the key being taken comes from standard input

// Beep returns only once its tone is over, and meanwhile the port must be kept
// topped up: the tone plays on a thread of its own, started with the keyboard
// (before the wave, so nothing is created while it runs), which waits for a
// request and plays it. A request made while a tone plays follows it.
HANDLE beep_request = nullptr; // auto-reset event: a tone is asked for
volatile LONG beep_hz = 0;
volatile LONG beep_ms = 0;

DWORD WINAPI play_beeps(void*) {
    for (;;) {
        if (WaitForSingleObject(beep_request, INFINITE) != WAIT_OBJECT_0) {
            return 0;
        }
        Beep(static_cast<DWORD>(beep_hz), static_cast<DWORD>(beep_ms));
    }
}

// The character in the console's input code page, as console_key_decode takes it.
int code_page_char(wchar_t unicode) {
    if (unicode == 0) {
        return -1;
    }
    const UINT code_page = GetConsoleCP();
    // The UTF-8 and UTF-7 code pages take neither flags nor a default character.
    const bool utf = code_page == CP_UTF8 || code_page == CP_UTF7;
    char bytes[4];
    BOOL defaulted = FALSE;
    const int length =
        WideCharToMultiByte(code_page, utf ? 0 : WC_NO_BEST_FIT_CHARS, &unicode, 1, bytes,
                            sizeof bytes, nullptr, utf ? nullptr : &defaulted);
    return length == 1 && !defaulted ? static_cast<unsigned char>(bytes[0]) : -1;
}

ConsoleKeyEvent facts_of(const KEY_EVENT_RECORD& key) {
    ConsoleKeyEvent event{};
    event.key_down = key.bKeyDown != 0;
    event.virtual_key = key.wVirtualKeyCode;
    event.scan_code = key.wVirtualScanCode;
    event.unicode_char = static_cast<uint16_t>(key.uChar.UnicodeChar);
    event.code_page_char = code_page_char(key.uChar.UnicodeChar);
    event.control_keys = key.dwControlKeyState;
    event.repeat_count = key.wRepeatCount;
    return event;
}

// Reads the console's queued records, oldest first, until one gives a key, which
// goes into the queue. Never blocks: a record is read only after it was seen.
// The console's handle is signalled while records are queued; looking at it is
// much cheaper than looking into the console (under Wine a round trip to the
// console's host process), and the loop asks several times per write.
bool take_console_key() {
    const HANDLE input = console_input();
    if (input == INVALID_HANDLE_VALUE || WaitForSingleObject(input, 0) != WAIT_OBJECT_0) {
        return false;
    }
    for (;;) {
        INPUT_RECORD record;
        DWORD seen = 0;
        if (!PeekConsoleInputW(input, &record, 1, &seen) || seen != 1 ||
            !ReadConsoleInputW(input, &record, 1, &seen) || seen != 1) {
            return false;
        }
        if (record.EventType != KEY_EVENT) {
            continue;
        }
        const ConsoleKeyCodes codes = console_key_decode(facts_of(record.Event.KeyEvent));
        if (codes.count > 0) {
            key_queue_put(keys, codes, record.Event.KeyEvent.wRepeatCount);
            return true;
        }
    }
}

// Reads what standard input holds without waiting for more; at its end (or on
// an error) it is no longer looked at.
bool take_piped_codes() {
    if (piped_next < piped_len) {
        return true;
    }
    DWORD ready = sizeof piped_codes;
    if (piped == INVALID_HANDLE_VALUE ||
        (piped_is_pipe && PeekNamedPipe(piped, nullptr, 0, nullptr, &ready, nullptr) &&
         ready == 0)) {
        return false;
    }
    DWORD got = 0;
    if (!ReadFile(piped, piped_codes, ready < sizeof piped_codes ? ready : sizeof piped_codes, &got,
                  nullptr) ||
        got == 0) {
        piped = INVALID_HANDLE_VALUE;
        return false;
    }
    piped_len = got;
    piped_next = 0;
    return true;
}

} // namespace

bool piped_keys_open() {
    return piped != INVALID_HANDLE_VALUE;
}

HANDLE console_input() {
    static const HANDLE input =
        CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    return input;
}

// Input records are read whatever the console's mode, so there is nothing to set
// up or restore; only the beep's thread is started.
void keyboard_open() {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    const DWORD type = input != nullptr && input != INVALID_HANDLE_VALUE ? GetFileType(input) : 0;
    piped = type == FILE_TYPE_PIPE || type == FILE_TYPE_DISK ? input : INVALID_HANDLE_VALUE;
    piped_is_pipe = type == FILE_TYPE_PIPE;
    if (beep_request != nullptr) {
        return;
    }
    beep_request = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    // A small stack: the thread only calls Beep. It runs until the process ends.
    const HANDLE thread = beep_request == nullptr
                              ? nullptr
                              : CreateThread(nullptr, 64 * 1024, play_beeps, nullptr,
                                             STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread != nullptr) {
        CloseHandle(thread);
    } else if (beep_request != nullptr) {
        CloseHandle(beep_request);
        beep_request = nullptr;
    }
}

void keyboard_close() {}

bool key_waiting() {
    // The second code of a pair comes from where the first came from.
    if (from_pipe && piped_next < piped_len) {
        return true;
    }
    from_pipe = false;
    switch (key_queue_look(keys)) {
    case KeyQueueState::code:
        return true;
    case KeyQueueState::hold:
        return false;
    case KeyQueueState::empty:
        break;
    }
    if (take_console_key()) {
        return true;
    }
    from_pipe = take_piped_codes();
    return from_pipe;
}

int key_read() {
    if (!from_pipe) {
        return key_queue_read(keys);
    }
    const int code = piped_codes[piped_next++];
    from_pipe = code == 0xE0 || code == 0x00; // a pair's second code follows
    return code;
}

void console_beep(uint32_t hz, uint32_t ms) {
    if (beep_request == nullptr) {
        Beep(hz, ms); // no thread to play it: the wave waits for the tone
        return;
    }
    InterlockedExchange(&beep_hz, static_cast<LONG>(hz));
    InterlockedExchange(&beep_ms, static_cast<LONG>(ms));
    SetEvent(beep_request);
}

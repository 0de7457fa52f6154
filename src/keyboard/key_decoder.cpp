#include "key_decoder.h"

namespace {

constexpr uint8_t kEsc = 0x1B;
constexpr uint8_t kExtended = 0xE0; // prefix of the cursor block, F11 and F12
constexpr uint8_t kFunction = 0x00; // prefix of F1 to F10 and of Alt with a cursor key

enum Key {
    kUp,
    kDown,
    kLeft,
    kRight,
    kHome,
    kEnd,
    kPageUp,
    kPageDown,
    kInsert,
    kDelete,
    kF1, // kF1 + n is F(n+1), up to F12
    kNoKey = -1,
};
constexpr int kF11 = kF1 + 10;

enum Modifier { kShift = 1, kAlt = 2, kCtrl = 4 };

// Scan codes of the cursor block as the console reports them: plain (also with
// Shift) and with Ctrl after 0xE0, with Alt after 0x00.
struct CursorCodes {
    uint8_t plain;
    uint8_t ctrl;
    uint8_t alt;
};
const CursorCodes kCursorCodes[] = {
    {0x48, 0x8D, 0x98}, // Up
    {0x50, 0x91, 0xA0}, // Down
    {0x4B, 0x73, 0x9B}, // Left
    {0x4D, 0x74, 0x9D}, // Right
    {0x47, 0x77, 0x97}, // Home
    {0x4F, 0x75, 0x9F}, // End
    {0x49, 0x86, 0x99}, // Page Up
    {0x51, 0x76, 0xA1}, // Page Down
    {0x52, 0x92, 0xA2}, // Insert
    {0x53, 0x93, 0xA3}, // Delete
};

// What an escape sequence stands for: a named key with modifiers, one character
// code, or nothing.
struct Parsed {
    size_t consumed;
    int key;  // Key, or kNoKey
    int mods; // Modifier bits
    int code; // a single code, or -1
};

Parsed need_more() {
    return {0, kNoKey, 0, -1};
}
Parsed nothing(size_t consumed) {
    return {consumed, kNoKey, 0, -1};
}
Parsed key(size_t consumed, int k, int mods) {
    return {consumed, k, mods, -1};
}
Parsed code(size_t consumed, int c) {
    return {consumed, kNoKey, 0, c};
}

bool is_param(uint8_t b) {
    return b >= 0x30 && b <= 0x3F;
}
bool is_intermediate(uint8_t b) {
    return b >= 0x20 && b <= 0x2F;
}
bool is_final(uint8_t b) {
    return b >= 0x40 && b <= 0x7E;
}

// xterm's modifier parameter: 1 + Shift(1) + Alt(2) + Ctrl(4) + Meta(8).
int modifiers(int param) {
    if (param < 2) {
        return 0;
    }
    const int bits = param - 1;
    return (bits & (kShift | kAlt | kCtrl)) | ((bits & 8) ? kAlt : 0);
}

int cursor_key(uint8_t final) {
    switch (final) {
    case 'A':
        return kUp;
    case 'B':
        return kDown;
    case 'C':
        return kRight;
    case 'D':
        return kLeft;
    case 'H':
        return kHome;
    case 'F':
        return kEnd;
    default:
        return kNoKey;
    }
}

// The vt220 keys ESC [ n ~ (xterm, Linux console, tmux, rxvt).
int tilde_key(int n) {
    switch (n) {
    case 1:
    case 7:
        return kHome;
    case 2:
        return kInsert;
    case 3:
        return kDelete;
    case 4:
    case 8:
        return kEnd;
    case 5:
        return kPageUp;
    case 6:
        return kPageDown;
    case 11:
    case 12:
    case 13:
    case 14:
    case 15:
        return kF1 + (n - 11);
    case 17:
    case 18:
    case 19:
    case 20:
    case 21:
        return kF1 + 5 + (n - 17);
    case 23:
    case 24:
        return kF11 + (n - 23);
    default:
        return kNoKey;
    }
}

// Up to two numeric parameters of data[from..to); false for anything but digits and ';'.
bool read_params(const uint8_t* data, size_t from, size_t to, int params[2], int& count) {
    params[0] = params[1] = -1;
    count = 0;
    for (size_t i = from; i < to; ++i) {
        const uint8_t b = data[i];
        if (b == ';') {
            if (++count > 1) {
                return false;
            }
        } else if (b >= '0' && b <= '9') {
            int& p = params[count];
            p = p < 0 ? 0 : p;
            if (p < 10000) {
                p = p * 10 + (b - '0');
            }
        } else {
            return false;
        }
    }
    if (from < to) {
        ++count;
    }
    return true;
}

// ESC [ ... : data[0] is ESC, data[1] is '['.
Parsed parse_csi(const uint8_t* data, size_t size, bool more) {
    if (size > 2 && data[2] == '[') {
        // Linux console F1 to F5: ESC [ [ A to E.
        if (size == 3) {
            return more ? need_more() : nothing(3);
        }
        const uint8_t f = data[3];
        if (f >= 'A' && f <= 'E') {
            return key(4, kF1 + (f - 'A'), 0);
        }
        return nothing(is_final(f) ? 4 : 3);
    }
    size_t i = 2;
    while (i < size && is_param(data[i])) {
        ++i;
    }
    const size_t params_end = i;
    if (i < size && data[i] == '$') {
        // rxvt: Shift with a vt220 key ends in '$' instead of '~'.
        int p[2], n;
        if (read_params(data, 2, params_end, p, n) && n == 1) {
            return key(i + 1, tilde_key(p[0]), 0);
        }
    }
    while (i < size && is_intermediate(data[i])) {
        ++i;
    }
    if (i == size) {
        return more ? need_more() : nothing(size);
    }
    const uint8_t final = data[i];
    if (!is_final(final)) {
        return nothing(i); // broken off: the byte that broke it is read on its own
    }
    const size_t consumed = i + 1;
    int p[2], n;
    if (params_end != i || !read_params(data, 2, params_end, p, n)) {
        return nothing(consumed);
    }
    const int mods = modifiers(p[1]);
    const bool first_is_one = p[0] == -1 || p[0] == 1;
    if (cursor_key(final) != kNoKey && first_is_one) {
        return key(consumed, cursor_key(final), mods);
    }
    if (final >= 'P' && final <= 'S' && first_is_one) {
        return key(consumed, kF1 + (final - 'P'), mods);
    }
    if (final >= 'a' && final <= 'd' && n == 0) {
        // rxvt: Shift with an arrow key.
        const int arrows[] = {kUp, kDown, kRight, kLeft};
        return key(consumed, arrows[final - 'a'], 0);
    }
    if (final == '~' && tilde_key(p[0]) != kNoKey) {
        return key(consumed, tilde_key(p[0]), mods);
    }
    if ((final == '^' || final == '@') && n == 1 && tilde_key(p[0]) != kNoKey) {
        return key(consumed, tilde_key(p[0]), kCtrl); // rxvt: Ctrl (and Shift)
    }
    return nothing(consumed);
}

// ESC O ... : data[0] is ESC, data[1] is 'O'.
Parsed parse_ss3(const uint8_t* data, size_t size, bool more) {
    size_t i = 2;
    while (i < size && is_param(data[i])) {
        ++i;
    }
    if (i == size) {
        return more ? need_more() : nothing(size);
    }
    const uint8_t final = data[i];
    if (!is_final(final)) {
        return nothing(i);
    }
    const size_t consumed = i + 1;
    int p[2], n;
    if (!read_params(data, 2, i, p, n)) {
        return nothing(consumed);
    }
    const int mods = modifiers(n > 0 ? p[n - 1] : -1);
    if (cursor_key(final) != kNoKey) {
        return key(consumed, cursor_key(final), mods);
    }
    if (final >= 'P' && final <= 'S') {
        return key(consumed, kF1 + (final - 'P'), mods);
    }
    if (final >= 'a' && final <= 'd') {
        // rxvt: Ctrl with an arrow key.
        const int arrows[] = {kUp, kDown, kRight, kLeft};
        return key(consumed, arrows[final - 'a'], kCtrl);
    }
    if (n != 0) {
        return nothing(consumed);
    }
    // The keypad in application mode sends the character it is labelled with.
    if (final >= 'j' && final <= 'y') {
        return code(consumed, "*+,-./0123456789"[final - 'j']);
    }
    if (final == 'X') {
        return code(consumed, '=');
    }
    if (final == 'M') {
        return code(consumed, '\r');
    }
    return nothing(consumed);
}

// data[0] is ESC.
Parsed parse_escape(const uint8_t* data, size_t size, bool more) {
    if (size == 1) {
        return more ? need_more() : code(1, kEsc);
    }
    const uint8_t next = data[1];
    if (next == '[') {
        return parse_csi(data, size, more);
    }
    if (next == 'O') {
        return parse_ss3(data, size, more);
    }
    if (next == kEsc) {
        // ESC in front of a key sequence is Alt with that key (rxvt, tmux).
        if (size == 2) {
            return more ? need_more() : code(1, kEsc);
        }
        if (data[2] == '[' || data[2] == 'O') {
            Parsed inner = parse_escape(data + 1, size - 1, more);
            if (inner.consumed == 0) {
                return inner;
            }
            inner.consumed += 1;
            if (inner.key != kNoKey) {
                inner.mods |= kAlt;
            } else {
                inner.code = -1;
            }
            return inner;
        }
        return code(1, kEsc);
    }
    if (next >= 0x80) {
        return code(1, kEsc); // a lone ESC, then text that gives no code
    }
    return nothing(2); // Alt with a character
}

DecodedKey codes_of(const Parsed& p) {
    DecodedKey out{p.consumed, 0, {0, 0}};
    if (p.code >= 0) {
        out.count = 1;
        out.codes[0] = static_cast<uint8_t>(p.code);
        return out;
    }
    if (p.key == kNoKey) {
        return out;
    }
    const bool alt = (p.mods & kAlt) != 0;
    const bool ctrl = (p.mods & kCtrl) != 0;
    const bool shift = (p.mods & kShift) != 0;
    out.count = 2;
    if (p.key < kF1) {
        const CursorCodes& c = kCursorCodes[p.key];
        out.codes[0] = alt ? kFunction : kExtended;
        out.codes[1] = alt ? c.alt : ctrl ? c.ctrl : c.plain;
    } else if (p.key < kF11) {
        const int n = p.key - kF1;
        out.codes[0] = kFunction;
        out.codes[1] = static_cast<uint8_t>((alt ? 0x68 : ctrl ? 0x5E : shift ? 0x54 : 0x3B) + n);
    } else {
        const int n = p.key - kF11;
        out.codes[0] = kExtended;
        out.codes[1] = static_cast<uint8_t>((alt ? 0x8B : ctrl ? 0x89 : shift ? 0x87 : 0x85) + n);
    }
    return out;
}

} // namespace

DecodedKey key_decode(const uint8_t* data, size_t size, bool more_may_follow) {
    if (size == 0) {
        return {0, 0, {0, 0}};
    }
    const uint8_t b = data[0];
    if (b >= 0x80) {
        return {1, 0, {0, 0}};
    }
    if (b != kEsc) {
        return {1, 1, {b, 0}};
    }
    return codes_of(parse_escape(data, size, more_may_follow));
}

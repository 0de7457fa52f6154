// Terminal input to console key codes, in the forms xterm, the Linux console,
// tmux and rxvt send.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "keyboard/key_decoder.h"

namespace {

DecodedKey decode(const std::string& s, bool more = false) {
    return key_decode(reinterpret_cast<const uint8_t*>(s.data()), s.size(), more);
}

// All codes of a complete input, decoded the way the keyboard does.
std::vector<int> codes(const std::string& s) {
    std::vector<int> out;
    for (size_t at = 0; at < s.size();) {
        const DecodedKey k = decode(s.substr(at));
        EXPECT_GT(k.consumed, 0u) << s;
        if (k.consumed == 0) {
            break;
        }
        out.insert(out.end(), k.codes, k.codes + k.count);
        at += k.consumed;
    }
    return out;
}

struct Case {
    const char* input;
    std::vector<int> codes;
};

void expect_all(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        EXPECT_EQ(codes(c.input), c.codes) << std::string(c.input).substr(1);
    }
}

} // namespace

TEST(KeyDecoder, CursorBlockInEveryFormWithModifiers) {
    expect_all({
        {"\x1b[A", {0xE0, 0x48}},    {"\x1bOA", {0xE0, 0x48}},    {"\x1b[1;2A", {0xE0, 0x48}},
        {"\x1b[B", {0xE0, 0x50}},    {"\x1b[D", {0xE0, 0x4B}},    {"\x1b[C", {0xE0, 0x4D}},
        {"\x1b[a", {0xE0, 0x48}},    {"\x1b[1;5A", {0xE0, 0x8D}}, {"\x1bOa", {0xE0, 0x8D}},
        {"\x1b[1;5D", {0xE0, 0x73}}, {"\x1b[1;3A", {0x00, 0x98}}, {"\x1b\x1b[A", {0x00, 0x98}},
        {"\x1b[H", {0xE0, 0x47}},    {"\x1bOH", {0xE0, 0x47}},    {"\x1b[1~", {0xE0, 0x47}},
        {"\x1b[7~", {0xE0, 0x47}},   {"\x1b[F", {0xE0, 0x4F}},    {"\x1b[4~", {0xE0, 0x4F}},
        {"\x1b[8~", {0xE0, 0x4F}},   {"\x1b[5~", {0xE0, 0x49}},   {"\x1b[6~", {0xE0, 0x51}},
        {"\x1b[6;5~", {0xE0, 0x76}}, {"\x1b[2~", {0xE0, 0x52}},   {"\x1b[3~", {0xE0, 0x53}},
        {"\x1b[3;5~", {0xE0, 0x93}}, {"\x1b[3$", {0xE0, 0x53}},   {"\x1b[5^", {0xE0, 0x86}},
    });
}

TEST(KeyDecoder, FunctionKeysWithShiftCtrlAndAlt) {
    expect_all({
        {"\x1bOP", {0x00, 0x3B}},
        {"\x1b[[A", {0x00, 0x3B}},
        {"\x1b[11~", {0x00, 0x3B}},
        {"\x1bOR", {0x00, 0x3D}},
        {"\x1b[[E", {0x00, 0x3F}},
        {"\x1b[15~", {0x00, 0x3F}},
        {"\x1b[21~", {0x00, 0x44}},
        {"\x1b[1;2P", {0x00, 0x54}},
        {"\x1b[1;5Q", {0x00, 0x5F}},
        {"\x1b[21;3~", {0x00, 0x71}},
        {"\x1bO5Q", {0x00, 0x5F}},
        {"\x1b[23~", {0xE0, 0x85}},
        {"\x1b[24~", {0xE0, 0x86}},
        {"\x1b[24;2~", {0xE0, 0x88}},
        {"\x1b[23;5~", {0xE0, 0x89}},
        {"\x1b[24;3~", {0xE0, 0x8C}},
    });
}

TEST(KeyDecoder, CharactersUnknownSequencesAndText) {
    expect_all({
        {"q +=", {'q', ' ', '+', '='}},
        {"\x1bOk\x1bOm\x1bOX", {'+', '-', '='}}, // keypad in application mode
        {"\x1b", {0x1B}},
        {"\x1b\xc3\xa9", {0x1B}},
        {"\x1b[99~\x1b[200~\x1b[?1;2c\x1b[E\x1bx\x1bOz", {}},
        {"\xc3\xa9\xe0\xff", {}},        // non-ASCII, 0xE0 included, gives no code
        {"\x1b[12\x1b[A", {0xE0, 0x48}}, // a sequence broken off by the next one
        {"a\x1b[A\xe2\x82\xac\x1bOR", {'a', 0xE0, 0x48, 0x00, 0x3D}},
    });
    // An unfinished sequence waits for its rest, and is consumed whole once no
    // more can come.
    for (const char* part : {"\x1b", "\x1b[", "\x1b[1;5", "\x1bO", "\x1b\x1b", "\x1b[["}) {
        EXPECT_EQ(decode(part, true).consumed, 0u) << part + 1;
        const DecodedKey done = decode(part, false);
        EXPECT_GT(done.consumed, 0u);
        EXPECT_TRUE(done.count == 0 || (done.count == 1 && done.codes[0] == 0x1B)) << part + 1;
    }
}

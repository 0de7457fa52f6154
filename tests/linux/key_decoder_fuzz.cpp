// libFuzzer target: feeds any input to the key decoder in pieces, as the keyboard
// does, and checks what the key check relies on.
#include <cstdlib>

#include "keyboard/key_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The first byte picks where input is cut, as reads may cut it.
    const size_t cut = size > 0 ? data[0] % 16 + 1 : 1;
    size_t at = size > 0 ? 1 : 0;
    while (at < size) {
        const size_t end = at + cut < size ? at + cut : size;
        DecodedKey k = key_decode(data + at, end - at, end < size);
        if (k.consumed == 0) {
            if (end == size) {
                std::abort(); // the last piece must always be decided on
            }
            k = key_decode(data + at, size - at, false);
        }
        if (k.consumed == 0 || k.consumed > size - at || k.count < 0 || k.count > 2) {
            std::abort();
        }
        // A lone 0xE0 would make the key check wait for a second code.
        if (k.count == 1 && k.codes[0] >= 0x80) {
            std::abort();
        }
        if (k.count == 2 && k.codes[0] != 0xE0 && k.codes[0] != 0x00) {
            std::abort();
        }
        at += k.consumed;
    }
    return 0;
}

#include "key_check.h"

#include "../serial/port.h"
#include "../wave/run_state.h"
#include "keyboard.h"

namespace {

constexpr int kExtendedPrefix = 0xE0;
constexpr int kUpScanCode = 0x48;

enum class Command { none, raise, lower, quit };

Command command_for(int code) {
    switch (code) {
    case ' ':
    case 'Q':
    case 'q':
        return Command::quit;
    case '+':
    case '=':
        return Command::raise;
    case '-':
    case '_':
        return Command::lower;
    default:
        return Command::none;
    }
}

} // namespace

void key_check(RunState& run) {
    if (!key_waiting()) {
        return;
    }
    int code = key_read();
    Command command = command_for(code);
    if (code == kExtendedPrefix) {
        // An extended key delivers both codes at once. A lone 0xE0 is a typed
        // character; waiting for a second code would stall the wave.
        if (!key_waiting()) {
            return;
        }
        command = key_read() == kUpScanCode ? Command::raise : Command::lower;
    }

    if (command == Command::quit) {
        run.quit = 1;
        return;
    }
    if (command == Command::none) {
        return;
    }
    // From a row the port just refused, a key steps on past it (or, back the other
    // way, onto the row that runs, which is then the base again).
    int candidate = run.step_from;
    if (command == Command::raise && candidate < kTopIndex) {
        ++candidate;
    } else if (command == Command::lower && candidate > 0) {
        --candidate;
    }
    if (candidate == run.index) {
        run.step_from = run.index;
        return;
    }
    port_cancel(run.port, run.write);
    apply_row(run, candidate, true);
}

#pragma once

struct RunState;

// Takes at most one waiting key and carries out its command: quit sets the quit
// flag, raise and lower switch the running output to the neighbouring row.
void key_check(RunState& run);

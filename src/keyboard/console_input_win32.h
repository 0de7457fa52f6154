// The console's input buffer, shared by the Windows keyboard and the port's wait.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

// The console itself (CONIN$, not standard input). Its handle is signalled while
// input records are queued, key presses or not. Opened on first use and kept for
// the run; INVALID_HANDLE_VALUE when the process has no console.
HANDLE console_input();

// True while keys may come from standard input (a pipe or a file) as well: a
// pipe cannot be waited on, so the port's wait looks at it now and then.
bool piped_keys_open();

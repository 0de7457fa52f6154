// Facts about a device node on Linux, gathered for the port's open through a
// handle that opens nothing, so that the node judged is the node opened.
#pragma once

#include <sys/stat.h>

#include <cstdint>

#include "device_verdict.h"

// A handle on the node at path that opens nothing (O_PATH: no driver is called),
// or -1 when the path leads to no node.
int node_handle(const char* path);

// The process table's folder (/proc), open for the facts and the open below, so
// that what was checked about it is what is used; -1 when there is none.
int proc_folder();

// Looks at the node behind handle (-1: missing); st receives its stat. proc is
// proc_folder()'s result, for the sessions that use a terminal.
NodeFacts node_facts(int handle, int proc, struct stat& st);

// Opens the node behind handle for the port, through proc's entry for the handle:
// the very node that was judged, whatever the path names by now. -1 on failure.
int open_node(int handle, int proc);

// True when fd is still the node that st describes.
bool is_judged_node(int fd, const struct stat& st);

// The lowest rate that the driver of the device st describes really makes (from
// its driver's name in sysfs); 0 when nothing is known (a pty has no driver).
uint32_t device_lowest_rate(const struct stat& st);

// True when the drain of the device st describes returns only once the pin is
// idle (see driver_drains_to_pin); answers_lsr: the port answers TIOCSERGETLSR.
bool device_drains_to_pin(const struct stat& st, bool answers_lsr);

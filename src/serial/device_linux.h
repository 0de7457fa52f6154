// Facts about a device path on Linux, gathered for the port's open without
// opening anything.
#pragma once

#include <sys/stat.h>

#include <cstdint>

#include "device_verdict.h"

// Looks at path; st receives its stat when it exists.
NodeFacts node_facts(const char* path, struct stat& st);

// True when fd, opened from the judged path, is still the node that st describes.
bool is_judged_node(int fd, const struct stat& st);

// The lowest rate that the driver of the device st describes really makes (from
// its driver's name in sysfs); 0 when nothing is known (a pty has no driver).
uint32_t device_lowest_rate(const struct stat& st);

// How old the device's "transmitter empty" may be when read, in nanoseconds (0:
// fresh from the hardware, or not answered at all).
int64_t device_status_age_ns(const struct stat& st);

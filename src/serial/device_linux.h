// Facts about a device path on Linux, gathered for the port's open without
// opening anything.
#pragma once

#include <sys/stat.h>

#include "device_verdict.h"

// Looks at path; st receives its stat when it exists.
NodeFacts node_facts(const char* path, struct stat& st);

// True when fd, opened from the judged path, is still the node that st describes.
bool is_judged_node(int fd, const struct stat& st);

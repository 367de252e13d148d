// The memory that the system can give the maps: the system's figure,
// lowered by the limits of the process's memory control groups, which
// the kernel enforces by killing.
#ifndef COMPOSE_MEMORY_AVAILABLE_H
#define COMPOSE_MEMORY_AVAILABLE_H

#include <cstdint>
#include <string>

// Where the figures are read from: the system's (MemAvailable), the
// process's control groups, and where their files are.
extern const char *meminfo_path;
extern const char *proc_cgroup_path;
extern const char *cgroup_root;

// Bytes that the system can give: MemAvailable, or less when the
// process's memory control group (or one above it) leaves less of its
// limit; -1 when unknown. *source, if not null, says which figure it is.
int64_t memory_available(std::string *source = nullptr);

#endif

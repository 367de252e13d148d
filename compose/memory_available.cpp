#include "memory_available.h"

#include <algorithm>
#include <fstream>

const char *meminfo_path = "/proc/meminfo";
const char *proc_cgroup_path = "/proc/self/cgroup";
const char *cgroup_root = "/sys/fs/cgroup";

namespace {

const char MEMINFO_AVAILABLE[] = "MemAvailable:";
const int64_t KIB = 1024;
// A control group's limit at or above this is no limit (cgroup v1 says
// "unlimited" with a number near 2^63).
const int64_t NO_GROUP_LIMIT = INT64_C(1) << 62;

// The files of a memory control group: its limit, its use, and the key
// in memory.stat of the page cache that the kernel reclaims before it
// would kill anything.
struct GroupFiles {
    const char *hierarchy, *limit, *usage, *reclaimable;
};
const GroupFiles CGROUP_V2 = {"", "memory.max", "memory.current", "inactive_file"};
const GroupFiles CGROUP_V1 = {"/memory", "memory.limit_in_bytes",
                              "memory.usage_in_bytes", "total_inactive_file"};

// The number that the file at path begins with; false for "max" or none.
bool read_bytes(const std::string &path, int64_t *bytes)
{
    std::ifstream in(path);
    long long value = 0;
    if (!(in >> value))
        return false;
    *bytes = value;
    return true;
}

int64_t stat_bytes(const std::string &path, const char *key)
{
    std::ifstream in(path);
    std::string name;
    long long value = 0;
    while (in >> name >> value)
        if (name == key)
            return value;
    return 0;
}

// Lowers *room to what the group at folder still lets its members take,
// when it sets a limit.
void fit_group(const std::string &folder, const GroupFiles &f, int64_t *room,
               std::string *source)
{
    int64_t limit = 0, usage = 0;
    if (!read_bytes(folder + "/" + f.limit, &limit) || limit >= NO_GROUP_LIMIT ||
        !read_bytes(folder + "/" + f.usage, &usage))
        return;
    const int64_t left = std::max<int64_t>(
        0, limit - usage + stat_bytes(folder + "/memory.stat", f.reclaimable));
    if (*room >= 0 && left >= *room)
        return;
    *room = left;
    *source = "the limit of control group " + folder + " less its use";
}

// Lowers *room to the least that the process's memory control group or
// any group above it leaves, by the groups /proc/self/cgroup names.
void fit_control_groups(int64_t *room, std::string *source)
{
    std::ifstream in(proc_cgroup_path);
    std::string line;
    while (std::getline(in, line)) {
        // hierarchy:controllers:path; cgroup v2 is hierarchy 0, no list.
        const size_t a = line.find(':'), b = line.find(':', a + 1);
        if (a == std::string::npos || b == std::string::npos)
            continue;
        const std::string controllers = "," + line.substr(a + 1, b - a - 1) + ",";
        const GroupFiles *f = nullptr;
        if (controllers == ",," && line.compare(0, a, "0") == 0)
            f = &CGROUP_V2;
        else if (controllers.find(",memory,") != std::string::npos)
            f = &CGROUP_V1;
        if (!f)
            continue;
        std::string path = line.substr(b + 1);
        while (!path.empty() && path.back() == '/')
            path.pop_back();
        const std::string hierarchy = std::string(cgroup_root) + f->hierarchy;
        for (;;) {
            fit_group(hierarchy + path, *f, room, source);
            if (path.empty())
                break;
            path.erase(path.rfind('/'));
        }
    }
}

}  // namespace

int64_t memory_available(std::string *source)
{
    std::string from;
    int64_t room = -1;
    std::ifstream in(meminfo_path);
    std::string key;
    int64_t kib;
    while (in >> key >> kib) {
        if (key == MEMINFO_AVAILABLE) {
            room = kib * KIB;
            from = std::string("MemAvailable in ") + meminfo_path;
            break;
        }
        in.ignore(256, '\n');
    }
    fit_control_groups(&room, &from);
    if (source)
        *source = from;
    return room;
}

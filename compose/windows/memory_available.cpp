// Windows: the system's own figure of the physical memory it can give,
// lowered by the limit of a job object the process runs in (the
// counterpart of a control group) where that limit leaves less.
#include "memory_available.h"

#include <windows.h>

const char *meminfo_path = "";
const char *proc_cgroup_path = "";
const char *cgroup_root = "";

int64_t memory_available(std::string *source)
{
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status))
        return -1;
    int64_t bytes = static_cast<int64_t>(status.ullAvailPhys);
    if (source)
        *source = "the system's available physical memory";
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION job;
    if (QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation,
                                  &job, sizeof job, nullptr) &&
        (job.BasicLimitInformation.LimitFlags & JOB_OBJECT_LIMIT_PROCESS_MEMORY) &&
        static_cast<int64_t>(job.ProcessMemoryLimit) < bytes) {
        bytes = static_cast<int64_t>(job.ProcessMemoryLimit);
        if (source)
            *source = "the job object's process memory limit";
    }
    return bytes;
}

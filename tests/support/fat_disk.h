// A FAT or exFAT image mounted on a folder, for the tests of output on
// file systems of fixed owner and mode.
#ifndef TESTS_SUPPORT_FAT_DISK_H
#define TESTS_SUPPORT_FAT_DISK_H

#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "test_support.h"

// A FAT or exFAT image mounted on a folder: FAT through the kernel's
// loop mount, else exFAT through the kernel or exfat-fuse on a loop
// device. Both give every file one owner and mode.
class FatDisk {
public:
    std::string path, kind, error;
    FatDisk(const std::string &where, const std::string &image,
            const std::string &size = "16M")
        : path(where)
    {
        mkdir(path.c_str(), 0755);
        const std::string q = "'" + image + "' '" + path + "'";
        if (shell("truncate -s " + size + " '" + image + "'") &&
            shell("mkfs.vfat '" + image + "'") && shell("mount -o loop " + q)) {
            kind = "FAT (kernel)";
        } else if (shell("mkfs.exfat '" + image + "'") &&
                   shell("mount -t exfat -o loop " + q)) {
            kind = "exFAT (kernel)";
        } else {
            loop = run_command("losetup -f --show '" + image + "' 2>&1");
            if (!loop.empty() && loop.back() == '\n')
                loop.pop_back();
            if (loop.compare(0, 5, "/dev/") != 0 ||
                !shell("mount.exfat-fuse '" + loop + "' '" + path + "'")) {
                error = "no vfat or exfat in the kernel, and " +
                        (loop.compare(0, 5, "/dev/") != 0
                             ? "no loop device (" + loop + ")"
                             : "exfat-fuse cannot mount " + loop);
                return;
            }
            kind = "exFAT (exfat-fuse on " + loop + ")";
        }
        mounted = true;
    }
    ~FatDisk()
    {
        if (mounted && !shell("umount '" + path + "'"))
            std::fprintf(stderr, "cannot unmount %s\n", path.c_str());
        if (loop.compare(0, 5, "/dev/") == 0)
            shell("losetup -d '" + loop + "'");
    }

private:
    bool mounted = false;
    std::string loop;
    static bool shell(const std::string &command)
    {
        int status = -1;
        run_command(command + " >/dev/null 2>&1", &status);
        return status == 0;
    }
};

#endif

// The private-output unit on its own: publication over an older tree
// that cannot be removed, the sweep's return of a whole older tree that a
// killed run left aside, and whole-buffer writes that write nothing.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fat_disk.h"
#include "file_io.h"
#include "private_output.h"
#include "test_support.h"
#include "traced_child.h"

namespace {

const char TREE[] = "tree";
const char MARKER[] = "whole";

bool has_marker(int fd)
{
    struct stat st;
    return fstatat(fd, MARKER, &st, AT_SYMLINK_NOFOLLOW) == 0;
}

const FolderPublication TREE_PUBLICATION = {TREE, "tree", has_marker, nullptr};

// Makes a private tree in parent_fd: the marker holding text, and a
// sub-folder with a file.
bool make_tree(int parent_fd, PrivateFolder *f, const std::string &text,
               std::string *why)
{
    if (!make_private_folder(parent_fd, TREE, f, why, has_marker))
        return false;
    const int fd = openat(f->fd, MARKER, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    const bool written = fd >= 0 && write_all(fd, text.data(), text.size());
    if (fd >= 0)
        close(fd);
    return written && mkdirat(f->fd, "sub", 0755) == 0 &&
           close(openat(f->fd, "sub/file", O_WRONLY | O_CREAT | O_CLOEXEC, 0644)) == 0;
}

class PrivateOutputTest : public ::testing::Test {
protected:
    std::string dir;
    int dir_fd = -1;
    void SetUp() override
    {
        dir = make_temp_dir();
        dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(dir_fd, 0);
    }
    void TearDown() override
    {
        close(dir_fd);
        run_command("chmod -R u+w '" + dir + "'");
        remove_tree(dir);
    }
    std::string listing() const { return run_command("ls -A '" + dir + "'"); }
};

// An older tree with a read-only sub-folder: the new tree is published
// all the same, and the publication says that the older one stayed and
// why, as do later ones while it stays. As a user other than root, whom
// no mode stops.
TEST_F(PrivateOutputTest, AnOlderTreeThatCannotBeRemovedIsSaid)
{
    const struct passwd *nobody = getpwnam("nobody");
    if (geteuid() == 0) {
        ASSERT_TRUE(nobody && chown(dir.c_str(), nobody->pw_uid, nobody->pw_gid) == 0);
    }
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (geteuid() == 0 && (setgroups(0, nullptr) != 0 ||
                               setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0))
            _exit(2);
        PrivateFolder first, second;
        std::string why;
        if (!make_tree(dir_fd, &first, "1", &why) ||
            !publish_folder(&first, TREE_PUBLICATION, &why))
            _exit(3);
        if (chmod((dir + "/tree/sub").c_str(), 0555) != 0 ||
            !make_tree(dir_fd, &second, "2", &why))
            _exit(4);
        // Said by the run that left it, and by each later one.
        PrivateFolder third;
        for (PrivateFolder *f : {&second, &third}) {
            if (f == &third && !make_tree(dir_fd, &third, "3", &why))
                _exit(4);
            if (publish_folder(f, TREE_PUBLICATION, &why))
                _exit(5);
            std::fprintf(stderr, "%s\n", why.c_str());
            if (why.find("the new tree is in place, but an older one could not be "
                         "removed: tree.old-") != 0 ||
                why.find(": Permission denied") == std::string::npos)
                _exit(6);
        }
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(read_file(dir + "/tree/whole"), "3");
    EXPECT_EQ(run_command("ls -A '" + dir + "' | grep -c '^tree\\.old-'"), "1\n");
}

// A run killed between the two renames of a publication (no exchange on
// FAT) leaves the older tree and the new one aside and nothing at the
// name: the next run puts one of them back and removes the other, with
// what runs that were killed earlier left.
TEST_F(PrivateOutputTest, TheSweepPutsBackAWholeTreeLeftAside)
{
    const std::string part = dir + "/tree.part-00112233445566aa";
    for (const char *old : {"tree.old-0123456789abcdef", "tree.old-fedcba9876543210"}) {
        ASSERT_EQ(mkdir((dir + "/" + old).c_str(), 0755), 0);
        write_file(dir + "/" + old + "/" + MARKER, old);
    }
    // Killed while it wrote: a free lock.
    ASSERT_EQ(mkdir(part.c_str(), 0700), 0);
    write_file(part + "/lock", "");
    write_file(part + "/half", "");
    PrivateFolder f;
    std::string why;
    ASSERT_TRUE(make_private_folder(dir_fd, TREE, &f, &why, has_marker)) << why;
    EXPECT_EQ(listing(), "tree\n" + f.name + "\n");
    EXPECT_EQ(read_file(dir + "/tree/whole").compare(0, 9, "tree.old-"), 0);
    EXPECT_TRUE(discard_private_folder(&f));
    EXPECT_EQ(listing(), "tree\n");
}

// A folder made in the private folder takes the place of an older one in
// a folder below the parent: by exchange, or where the file system has
// none (FAT, exFAT; root mounts one) in two renames. The older one is
// removed, and the private folder holds nothing more.
TEST_F(PrivateOutputTest, AFolderMadeInsideReplacesAnOlderOneBelow)
{
    std::vector<std::string> places = {dir};
    std::unique_ptr<FatDisk> fat;
    if (geteuid() == 0) {
        fat.reset(new FatDisk(dir + "/fat", dir + "/fat.img"));
        if (fat->kind.empty())
            ADD_FAILURE() << fat->error;
        else
            places.push_back(fat->path);
    }
    for (const std::string &place : places) {
        const std::string web = place + "/web";
        ASSERT_EQ(mkdir(web.c_str(), 0755), 0);
        ASSERT_EQ(mkdir((web + "/z0").c_str(), 0755), 0);
        write_file(web + "/z0/older", "");
        const int web_fd = open(web.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        PrivateFolder f;
        std::string why;
        ASSERT_TRUE(make_private_folder(web_fd, "live", &f, &why)) << why;
        const std::string inside = web + "/" + f.name;
        const std::string holds = run_command("ls -A '" + inside + "'");
        ASSERT_EQ(mkdir((inside + "/z0").c_str(), 0755), 0);
        write_file(inside + "/z0/newer", "");
        EXPECT_TRUE(replace_folder_into(&f, "z0", web_fd, "z0", &why)) << why;
        EXPECT_EQ(run_command("ls -A '" + web + "/z0'"), "newer\n") << place;
        EXPECT_EQ(run_command("ls -A '" + inside + "'"), holds) << place;
        // A level with no older folder is put in place alone.
        ASSERT_EQ(mkdir((inside + "/z1").c_str(), 0755), 0);
        EXPECT_TRUE(replace_folder_into(&f, "z1", web_fd, "z1", &why)) << why << place;
        EXPECT_EQ(run_command("ls -A '" + inside + "'"), holds) << place;
        EXPECT_TRUE(discard_private_folder(&f));
        EXPECT_EQ(run_command("ls -A '" + web + "'"), "z0\nz1\n") << place;
        close(web_fd);
    }
}

#if defined(__x86_64__)
// A write that writes nothing and reports no error (a device or a FUSE
// file system out of room): write_all stops with a reason, EIO.
TEST(FileIoTest, WriteAllSaysWhyWhenAWriteWritesNothing)
{
    bool cut = false;
    const int status = traced_child(
        [] {
            const int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
            errno = 0;
            const bool ok = write_all(fd, "data", 4);
            return ok ? 2 : errno == EIO ? 0 : 3;
        },
        [&](pid_t pid, user_regs_struct &r, bool entering) {
            if (entering || cut || r.orig_rax != SYS_write)
                return;
            r.rax = 0;
            ptrace(PTRACE_SETREGS, pid, nullptr, &r);
            cut = true;
        });
    if (status == -1)
        GTEST_SKIP() << "cannot trace a child process here (ptrace refused)";
    EXPECT_TRUE(cut);
    EXPECT_EQ(status, 0) << "2: it said it wrote all; 3: errno was not EIO";
}
#endif

}  // namespace

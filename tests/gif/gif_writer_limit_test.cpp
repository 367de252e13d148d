// The GIF writer on a full disk: a file-size limit in a child process
// (fork and RLIMIT_FSIZE, which Windows lacks).
#include <gtest/gtest.h>

#include <allegro.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "gif_writer_test_util.h"
#include "test_support.h"

namespace {

class GifWriterLimitTest : public ::testing::Test {
protected:
    std::string dir;
    void SetUp() override
    {
        start_allegro_headless();
        dir = make_temp_dir();
    }
    void TearDown() override { remove_tree(dir); }
    std::string path(const std::string &name) const { return dir + "/" + name; }
};

// Saves bmp in a child process whose files may not grow past limit bytes,
// as on a full disk; returns the saver's result, or 99 if the child died.
int save_with_file_limit(const std::string &name, BITMAP *bmp, rlim_t limit)
{
    const pid_t pid = fork();
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl;
        rl.rlim_cur = rl.rlim_max = limit;
        setrlimit(RLIMIT_FSIZE, &rl);
        _exit(gif_bitmap_saver(name.c_str(), bmp, nullptr) == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status))
        return 99;
    return WEXITSTATUS(status) == 0 ? 0 : -1;
}

TEST_F(GifWriterLimitTest, WriteFailuresReturnMinusOneAndLeaveNoFile)
{
    // The small file fails in the last flush, on close; the large one
    // while its image data are written.
    BITMAP *small = make_noise(8, 8, 4, 15);
    EXPECT_EQ(save_with_file_limit(path("small.gif"), small, 600), -1);
    EXPECT_FALSE(file_exists(path("small.gif")));
    BITMAP *large = make_noise(500, 500, 256, 16);
    EXPECT_EQ(save_with_file_limit(path("large.gif"), large, 50000), -1);
    EXPECT_FALSE(file_exists(path("large.gif")));
    // With room enough both succeed.
    EXPECT_EQ(save_with_file_limit(path("small.gif"), small, 1 << 20), 0);
    EXPECT_EQ(save_with_file_limit(path("large.gif"), large, 1 << 20), 0);
    destroy_bitmap(small);
    destroy_bitmap(large);
}

}  // namespace

// A refresh thread rewrites the tables while the handlers answer requests:
// no data race, and every answer belongs to one of the reports.
#include "disk_test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <sched.h>
#include <sys/mount.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::string disk_line(const std::string &name, int num)
{
    return "DISK0  o  1 " + name + " " + std::to_string(num) + " (C) 1 h 0 SER: 1) M-" + name +
           " S F 1 TB\n";
}

std::string report(const std::string &prefix, int disks, int volumes)
{
    std::string text = "====  DEV\n";
    for (int i = 0; i < disks; i++)
        text += disk_line(prefix + std::to_string(i), disks * 100 + i);
    text += "==========\n";
    for (int i = 0; i < volumes; i++)
        text += "RAID1 " + prefix + "md" + std::to_string(i) + " (sda1) ++++ OK\n";
    return text + "==========\n";
}

// Requests from the main thread while a refresh runs; every answer must
// come from report a (3 disks, 2 volumes) or b (5 disks, 1 volume).
long serve_requests(const std::atomic<bool> &done, const std::atomic<int> &passes)
{
    long rows_seen = 0;
    for (int round = 0; round < 1000; round++) {
        long disks = disk_get({10, 1}, 0).integer;
        long volumes = disk_get({20, 1}, 0).integer;
        EXPECT_TRUE((disks == 3 || disks == 5) && (volumes == 2 || volumes == 1))
            << disks << " " << volumes;
        for (oid row = 1; row <= 6; row++) {
            Answer name = disk_get({10, 2, 1, 3}, row);
            Answer num1 = disk_get({10, 2, 1, 10}, row);
            if (row == 6) {
                EXPECT_FALSE(name.has);
                continue;
            }
            int i = static_cast<int>(row) - 1;
            if (name.has) {
                rows_seen++;
                EXPECT_TRUE(name.text == "a" + std::to_string(i) || name.text == "b" + std::to_string(i))
                    << name.text;
                EXPECT_FALSE(row > 3 && name.text[0] == 'a') << row;
            }
            if (num1.has) {
                EXPECT_TRUE(num1.integer == 300 + i || num1.integer == 500 + i) << num1.integer;
            }
            Answer volume = disk_get({20, 2, 1, 3}, row);
            if (volume.has) {
                EXPECT_TRUE(volume.text == "1 amd" + std::to_string(i) ||
                            volume.text == "1 bmd" + std::to_string(i))
                    << volume.text;
            }
        }
        // A value stays readable until the next request, whatever the
        // refresh swapped meanwhile.
        auto vp = disk_entry({10, 2, 1, 6});
        oid name[MAX_OID_LEN];
        size_t length = vp->namelen;
        memcpy(name, vp->name, length * sizeof(oid));
        name[length++] = 1;
        size_t var_len = 0;
        WriteMethod *write = nullptr;
        u_char *model = vp->findVar(&*vp, name, &length, 1, &var_len, &write);
        int seen = passes;
        while (!done && passes < seen + 2)
            std::this_thread::yield();
        if (model) {
            std::string text(reinterpret_cast<char *>(model), var_len);
            EXPECT_TRUE(text == "M-a0" || text == "M-b0") << text;
        }
    }
    return rows_seen;
}

class DiskConcurrency : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset_settings();
        snprintf(g_log_file, sizeof g_log_file, "%s", "/dev/null");
        reset_disk_group();
        g_disk_detail_level = 4;
    }
    void TearDown() override
    {
        reset_disk_group();
        reset_settings();
    }
};

TEST_F(DiskConcurrency, HandlersSeeWholeTablesWhileARefreshSwapsThem)
{
    // 3 disks and 2 volumes, then 5 disks and 1 volume, alternately.
    const std::string a = report("a", 3, 2), b = report("b", 5, 1);
    ASSERT_EQ(parse_text(a), 0);

    std::atomic<bool> done{false};
    std::atomic<int> passes{0};
    std::thread refresh([&] {
        for (int i = 0; !done; i++) {
            parse_text(i % 2 ? a : b);
            passes++;
        }
    });

    long rows_seen = serve_requests(done, passes);
    done = true;
    refresh.join();
    EXPECT_GT(rows_seen, 0);

    // Shut down as the agent does: the refresh is over, then the tables go.
    close_diskGroup();
    EXPECT_FALSE(disk_get({10, 2, 1, 3}, 1).has);
    EXPECT_FALSE(disk_get({20, 2, 1, 3}, 1).has);
}

TEST_F(DiskConcurrency, DiscoverDisksRereadsTheReportWhileHandlersAnswer)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a private /var/tmp";
    // The report at its fixed path, in a mount namespace of this process.
    ASSERT_EQ(unshare(CLONE_NEWNS), 0) << errno;
    ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << errno;
    ASSERT_EQ(mount("tmpfs", "/var/tmp", "tmpfs", 0, nullptr), 0) << errno;

    const std::string a = report("a", 3, 2), b = report("b", 5, 1);
    auto lay = [](const std::string &text) {
        FILE *file = fopen("/var/tmp/.disk_mon.new", "w");
        fwrite(text.data(), 1, text.size(), file);
        fclose(file);
        rename("/var/tmp/.disk_mon.new", DISK_MON_REPORT);
    };
    lay(a);
    ASSERT_EQ(discover_disks(), 0);
    g_disk_intf_found = 1;

    std::atomic<bool> done{false};
    std::atomic<int> passes{0};
    std::thread refresh([&] {
        for (int i = 0; !done; i++) {
            lay(i % 2 ? a : b);
            discover_disks();
            passes++;
        }
    });
    long rows_seen = serve_requests(done, passes);
    done = true;
    refresh.join();
    EXPECT_GT(rows_seen, 0);
    EXPECT_GT(passes, 2);
    // Read in place and kept.
    EXPECT_EQ(access(DISK_MON_REPORT, F_OK), 0);
    umount("/var/tmp");
}

} // namespace

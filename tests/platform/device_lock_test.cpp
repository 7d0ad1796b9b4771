#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "lock_holder.h"
#include "platform/device_lock.h"

namespace kv {
namespace {

const std::string kPath = "/dev/hidraw-virtual0";

TEST(DeviceLock, ASecondProgramIsRefusedAndToldWhoHoldsItUntilTheHolderLetsGo)
{
    test::LockFolder folder;
    const std::string record = DeviceLockRecord(kPath);
    ASSERT_EQ(record.rfind(folder.path() + "/", 0), 0u) << record;

    test::LockHolder holder("tower-holder", [] {
        static DeviceLock lock;  // kept until the child ends
        return lock.Acquire(kPath) && lock.held();
    });
    ASSERT_TRUE(holder.holds());
    EXPECT_TRUE(std::filesystem::exists(record));

    DeviceLock mine;
    EXPECT_FALSE(mine.Acquire(kPath));
    EXPECT_FALSE(mine.held());
    EXPECT_EQ(mine.holder(), "tower-holder (pid " + std::to_string(holder.pid()) + ")");
    // Another device is not held by it.
    DeviceLock other;
    EXPECT_TRUE(other.Acquire("/dev/hidraw-virtual1"));
    EXPECT_TRUE(other.held());

    // A program that ends gives the lock back, however it ends.
    holder.Release();
    EXPECT_TRUE(mine.Acquire(kPath));
    EXPECT_TRUE(mine.held());
    std::ifstream in(record);
    std::string pid;
    std::string name;
    in >> pid >> name;
    EXPECT_EQ(pid, std::to_string(getpid()));
    mine.Release();
    EXPECT_FALSE(std::filesystem::exists(record));
}

TEST(DeviceLock, OneProgramHoldsATowerOnceAndAStaleRecordNamesNobody)
{
    test::LockFolder folder;
    // Two locks in one program are two holders too: a second link in the
    // same program does not open the tower under the first.
    DeviceLock first;
    ASSERT_TRUE(first.Acquire(kPath));
    SetDeviceLockProgramName("");
    DeviceLock second;
    EXPECT_FALSE(second.Acquire(kPath));
    EXPECT_NE(second.holder().find("(pid " + std::to_string(getpid()) + ")"), std::string::npos);
    first.Release();

    // Someone else holds the lock file without a record, and a record is
    // left by a program long gone: the holder is "another program".
    const int fd = open(DeviceLockFile(kPath).c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    {
        std::ofstream stale(DeviceLockRecord(kPath));
        stale << "999999999 gone-program\n";
    }
    EXPECT_FALSE(second.Acquire(kPath));
    EXPECT_EQ(second.holder(), "another program");
    close(fd);
    EXPECT_TRUE(second.Acquire(kPath));
}

TEST(DeviceLock, APathThatIsNoFileIsNotLockedWithoutALockFolder)
{
    unsetenv("KESTRIVANE_LOCK_DIR");
    EXPECT_EQ(DeviceLockFile("DevSrvsID:4294969462"), "");
    DeviceLock lock;
    EXPECT_TRUE(lock.Acquire("DevSrvsID:4294969462"));
    EXPECT_FALSE(lock.held());
    // A device node is locked as itself; one that is not there is not locked.
    EXPECT_EQ(DeviceLockFile("/dev/hidraw3"), "/dev/hidraw3");
    EXPECT_TRUE(lock.Acquire("/nonexistent/hidraw9"));
    EXPECT_FALSE(lock.held());
}

}  // namespace
}  // namespace kv

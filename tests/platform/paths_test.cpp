#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/paths.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

TEST(Paths, ResolveBesideTheExecutableNotTheCurrentDirectory)
{
    const fs::path exeDir = fs::canonical("/proc/self/exe").parent_path();
    EXPECT_EQ(ExecutableDirectory(), exeDir.string());

    const fs::path before = fs::current_path();
    fs::current_path(fs::temp_directory_path());
    EXPECT_EQ(ExeRelativePath("firmware\\basis_firmware.hex"),
              (exeDir / "firmware" / "basis_firmware.hex").string());
    EXPECT_EQ(ExeRelativePath("Release_Notes.pdf"), (exeDir / "Release_Notes.pdf").string());
    fs::current_path(before);
}

TEST(Paths, FileExistsOnlyForFilesThatAreNotDirectories)
{
    const fs::path dir = fs::temp_directory_path() / ("kv_paths_" + std::to_string(getpid()));
    fs::create_directories(dir / "sub");
    std::ofstream(dir / "file.txt") << "x";
    EXPECT_TRUE(FileExists((dir / "file.txt").string()));
    EXPECT_FALSE(FileExists((dir / "sub").string()));
    EXPECT_FALSE(FileExists((dir / "missing").string()));
    EXPECT_FALSE(FileExists(""));
    fs::remove_all(dir);
}

}  // namespace
}  // namespace kv

#include "decision_support.h"

#include <filesystem>
#include <fstream>

#include "assets/demo/demo_assets.h"
#include "platform/paths.h"

namespace kv::test {

FileBesideProgram::FileBesideProgram(const std::string& relativePath, const std::string& content)
    : path_(ExeRelativePath(relativePath))
{
    const std::filesystem::path folder = std::filesystem::path(path_).parent_path();
    std::error_code ec;
    if (!std::filesystem::exists(folder, ec) && std::filesystem::create_directories(folder, ec))
        createdFolder_ = folder.string();
    std::ofstream(path_, std::ios::binary | std::ios::trunc) << content;
}

FileBesideProgram::~FileBesideProgram()
{
    std::error_code ec;
    std::filesystem::remove(path_, ec);
    if (!createdFolder_.empty())
        std::filesystem::remove(createdFolder_, ec);
}

std::string FirmwareHexOfVersion(uint8_t version)
{
    return demo::IntelHexText(demo::MakeDemoFirmwareImage(version));
}

}  // namespace kv::test

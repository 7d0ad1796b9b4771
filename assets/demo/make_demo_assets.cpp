// Writes the demo's firmware and release notes:
//   make_demo_assets <firmware.hex> <Release_Notes.pdf>
#include <cstdio>

#include "assets/demo/demo_assets.h"
#include "device/version.h"

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <firmware.hex> <Release_Notes.pdf>\n", argv[0]);
        return 2;
    }
    const auto image = kv::demo::MakeDemoFirmwareImage(kv::ProgramVersion);
    if (!kv::demo::WriteFileCreatingFolders(argv[1], kv::demo::IntelHexText(image))) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    const std::string notes = kv::demo::DemoReleaseNotesPdf(kv::FormatVersion(kv::ProgramVersion));
    if (!kv::demo::WriteFileCreatingFolders(argv[2], notes)) {
        std::fprintf(stderr, "cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}

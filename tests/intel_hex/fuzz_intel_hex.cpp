// Feeds arbitrary bytes to the HEX reader as the contents of a file, then
// prepares and validates whatever image came out. Two memory shapes: 4 kB
// with 128-byte pages (so that the usual 32 kB addresses also run past the
// end), and a small odd-sized memory whose last page is cut short.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "platform/update_trace.h"
#include "src/intel_hex.h"

namespace {

void ReadInto(const uint8_t* data, size_t size, uint32_t memory, uint32_t page)
{
    intel_buffer_out bout;
    if (intel_init_buffer_out(&bout, memory, page) != 0)
        std::abort();
    // fmemopen cannot open an empty buffer; the zero byte after the input is
    // never read when the size excludes it.
    FILE* fp = fmemopen(const_cast<uint8_t*>(data), size, "r");
    int rc = -4;
    if (fp != nullptr) {
        rc = intel_hex_stream_to_buffer(fp, &bout, 0);
        std::fclose(fp);
    }
    if (rc < -5)
        std::abort();
    if (rc >= 0) {
        intel_flash_prep_buffer(&bout);
        // A walked page that holds data has no unset cell left.
        for (uint32_t first = 0; first < memory && first < bout.valid_end; first += page) {
            bool data = false, unset = false;
            for (uint32_t b = first; b < first + page && b < memory; ++b)
                (intel_cell_has_data(bout.cells[b]) ? data : unset) = true;
            if (data && unset)
                std::abort();
        }
        intel_buffer_in bin;
        if (intel_init_buffer_in(&bin, memory, page) != 0)
            std::abort();
        if (intel_validate_buffer(&bin, &bout, 0) > 0)
            std::abort();  // an erased read-back never has bytes outside the program
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool silenced = [] {
        kv::SetErrSink([](const std::string&) {});
        return true;
    }();
    (void)silenced;
    if (size == 0)
        return 0;
    ReadInto(data, size, 0x1000, 128);
    ReadInto(data, size, 200, 64);
    return 0;
}

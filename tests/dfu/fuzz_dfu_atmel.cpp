// Runs the DFU and Atmel layers against a boot loader whose every answer comes
// from the input: the result of each OUT request, the bytes of each GETSTATUS
// answer and the bytes of each UPLOAD. One input is one whole update of a
// 4 kB memory: search, erase, blank check, program, read back, validate and
// both starts. Every call must end with one of its own codes, nothing may be
// left open, and a read-back that validates must hold exactly the image.
//
// Input, consumed transfer by transfer (an exhausted input answers
// LIBUSB_ERROR_NO_DEVICE, as a device that has gone):
//   OUT request: one byte; 0..4 the whole request is taken, 5 a stall,
//     6 a short answer (the next byte modulo wLength + 1), 7 a libusb error
//     (the next byte picks it); bits above the low three are ignored.
//   GETSTATUS: one byte, below 0xE0 a full answer of the next six bytes, else
//     a short answer of (byte & 7) bytes (at most 6) or, for 7, a stall.
//   UPLOAD: two bytes n (high first, 0xFFFF: a stall), then min(n, wLength)
//     bytes, fewer when the input ends.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <libusb.h>

#include "platform/clock.h"
#include "platform/update_trace.h"
#include "sim/virtual_bootloader.h"
#include "sim/virtual_tower.h"
#include "src/atmel.h"
#include "src/dfu.h"
#include "src/intel_hex.h"

namespace {

constexpr uint32_t kMemory = 0x1000;
constexpr uint32_t kPage = 128;

class Answers {
public:
    Answers(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    int Transfer(uint8_t requestType, uint8_t request, unsigned char* data, uint16_t length)
    {
        if (at_ >= size_)
            return LIBUSB_ERROR_NO_DEVICE;
        if ((requestType & 0x80) == 0)
            return Out(length);
        if (request == DFU_GETSTATUS)
            return Status(data, length);
        return Upload(data, length);
    }

private:
    uint8_t Next() { return at_ < size_ ? data_[at_++] : 0; }

    int Error()
    {
        static const int kErrors[] = {LIBUSB_ERROR_IO,      LIBUSB_ERROR_NO_DEVICE,
                                      LIBUSB_ERROR_TIMEOUT, LIBUSB_ERROR_PIPE,
                                      LIBUSB_ERROR_OVERFLOW, LIBUSB_ERROR_OTHER};
        return kErrors[Next() % std::size(kErrors)];
    }

    int Out(uint16_t length)
    {
        switch (Next() & 7) {
        case 5:
            return LIBUSB_ERROR_PIPE;
        case 6:
            return Next() % (length + 1);
        case 7:
            return Error();
        default:
            return length;
        }
    }

    int Status(unsigned char* data, uint16_t length)
    {
        const uint8_t mode = Next();
        size_t n = 6;
        if (mode >= 0xE0) {
            if ((mode & 7) == 7)
                return LIBUSB_ERROR_PIPE;
            n = mode & 7;
        }
        n = std::min<size_t>(n, length);
        for (size_t i = 0; i < n; ++i)
            data[i] = Next();
        return static_cast<int>(n);
    }

    int Upload(unsigned char* data, uint16_t length)
    {
        const unsigned wanted = static_cast<unsigned>(Next()) << 8 | Next();
        if (wanted == 0xFFFF)
            return LIBUSB_ERROR_PIPE;
        size_t n = std::min<size_t>({wanted, length, size_ - at_});
        for (size_t i = 0; i < n; ++i)
            data[i] = Next();
        return static_cast<int>(n);
    }

    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

void Require(bool condition)
{
    if (!condition)
        std::abort();
}

bool OneOf(int value, std::initializer_list<int> codes)
{
    return std::find(codes.begin(), codes.end(), value) != codes.end();
}

// The image: two pages of code, a gap, one page near the end.
void MakeImage(intel_buffer_out& bout)
{
    Require(intel_init_buffer_out(&bout, kMemory, kPage) == 0);
    bout.valid_start = 0;
    bout.valid_end = kMemory - 1;
    for (uint32_t a = 0; a < 0x100; ++a)
        bout.cells[a] = static_cast<uint16_t>((a * 7 + 3) & 0xFF);
    for (uint32_t a = 0xF00; a < 0xF40; ++a)
        bout.cells[a] = static_cast<uint16_t>(a & 0xFF);
}

void UpdateOnce(libusb_context* ctx)
{
    dfu_device device;
    if (dfu_device_init(ctx, kv::sim::kBootloaderVendorId, kv::sim::kBootloaderProductId, &device,
                        true) == nullptr) {
        Require(device.handle == nullptr);
        return;
    }
    Require(device.handle != nullptr);

    const int erased = atmel_erase_flash(&device, true);
    Require(erased >= -3 && erased != -1 && erased <= 255);

    const int blank = atmel_blank_check(&device, 0, kMemory - 1, true);
    Require(blank >= -4);

    intel_buffer_out image;
    MakeImage(image);
    const int programmed = atmel_flash(&device, &image, true);
    Require(OneOf(programmed, {0, -2, -3, -4}));

    intel_buffer_in readback;
    Require(intel_init_buffer_in(&readback, kMemory, kPage) == 0);
    readback.data_start = readback.valid_start = 0;
    readback.data_end = readback.valid_end = kMemory - 1;
    const int read = atmel_read_flash(&device, &readback, true);
    Require(OneOf(read, {0, -3, -5}));
    if (read == 0 && intel_validate_buffer(&readback, &image, 1) == 0) {
        // Validated: every byte is the image's, 0xFF where it has none.
        for (uint32_t a = 0; a < kMemory; ++a) {
            const uint8_t expected =
                intel_cell_has_data(image.cells[a]) ? static_cast<uint8_t>(image.cells[a]) : 0xFF;
            Require(readback.bytes[a] == expected);
        }
    }
    intel_free_buffer_in(&readback);
    intel_free_buffer_out(&image);

    dfu_status status;
    Require(OneOf(dfu_get_status(&device, &status), {0, -2}));
    Require(OneOf(atmel_start_app_reset(&device), {0, -1}));
    Require(OneOf(atmel_start_app_noreset(&device), {0, -4, -5}));

    libusb_release_interface(device.handle, device.interface);
    libusb_close(device.handle);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool silenced = [] {
        kv::SetErrSink([](const std::string&) {});
        return true;
    }();
    (void)silenced;

    kv::ScopedVirtualClock clock;
    kv::sim::TheVirtualTower().Clear();
    kv::sim::VirtualUsb& usb = kv::sim::TheVirtualUsb();
    usb.Reset();
    usb.AddBootloader(0);
    Answers answers(data, size);
    usb.SetTransferScript([&answers](uint8_t requestType, uint8_t request, uint16_t, uint16_t,
                                     unsigned char* buffer, uint16_t length, unsigned) {
        return answers.Transfer(requestType, request, buffer, length);
    });

    libusb_context* ctx = nullptr;
    Require(libusb_init(&ctx) == 0);
    UpdateOnce(ctx);
    libusb_exit(ctx);
    usb.SetTransferScript(nullptr);

    const kv::sim::LibusbUse& use = usb.libusbUse();
    Require(use.liveContexts == 0 && use.liveHandles == 0 && use.liveDevices == 0 &&
            use.liveDeviceLists == 0 && use.liveConfigDescriptors == 0);
    return 0;
}

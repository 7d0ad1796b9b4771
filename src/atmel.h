// The commands of Atmel's USB DFU boot loader, sent as the data of DFU_DNLOAD
// and answered through DFU_GETSTATUS (and DFU_UPLOAD for reads), and the
// operations of a firmware update built on them: erase, blank check, program,
// read back and start of the application.
//
// Plain functions over the images of intel_hex and the requests of dfu. Every
// function returns an int code (0 success; negative failure; in places a
// positive DFU status code or address + 1) and never throws. Messages for the
// user go to the standard error stream unless `quiet`; the update trace is
// written whatever `quiet` says.
#pragma once

#include <cstddef>
#include <cstdint>

#include "src/dfu.h"
#include "src/intel_hex.h"

// Device family flags, as found in dfu_device::type.
enum : int {
    ATMEL_FAMILY_8051 = 0x1,   // page selection does nothing
    ATMEL_FAMILY_AVR = 0x2,    // exactly this value: 4-byte page selection
    ATMEL_FAMILY_AVR32 = 0x4,  // only memory units 0, 2..6
    ATMEL_FAMILY_XMEGA = 0x8,  // byte 1 of the program header forced to 0
    GRP_AVR32 = 0xC,           // memory units by command, 5-byte page selection, long header
};

// Memory units of the select-memory-unit command.
enum : int {
    ATMEL_MEMORY_UNIT_FLASH = 0,
    ATMEL_MEMORY_UNIT_EEPROM = 1,
    ATMEL_MEMORY_UNIT_SECURITY = 2,
    ATMEL_MEMORY_UNIT_CONFIG = 3,
    ATMEL_MEMORY_UNIT_BOOTLOADER = 4,
    ATMEL_MEMORY_UNIT_SIGNATURE = 5,
    ATMEL_MEMORY_UNIT_USER = 6,
    ATMEL_MEMORY_UNIT_INT_RAM = 7,
    ATMEL_MEMORY_UNIT_EXT_CS0 = 8,
    ATMEL_MEMORY_UNIT_EXT_CS7 = 15,
    ATMEL_MEMORY_UNIT_EXT_DF = 16,
};

// Name of a memory unit ("flash", "eeprom", ... "ext_df"); "unknown" outside 0..16.
const char* atmel_memory_unit_name(int unit);

// The largest block of one read or program command.
constexpr uint32_t ATMEL_MAX_TRANSFER_SIZE = 0x400;
// Program message: header, at most ATMEL_MAX_TRANSFER_SIZE data bytes, footer.
constexpr size_t ATMEL_HEADER_SIZE = 32;           // families without GRP_AVR32
constexpr size_t ATMEL_AVR32_HEADER_BASE = 64;     // GRP_AVR32: 64 + (start mod 64)
constexpr size_t ATMEL_FOOTER_SIZE = 16;
constexpr size_t ATMEL_MAX_FLASH_BUFFER_SIZE = 1168;
// Addresses in commands are 16 bits; the rest selects a 64 kB page.
constexpr uint32_t ATMEL_64KB_PAGE = 0x10000;
// Erase: busy poll interval, failed status requests and time limit.
constexpr uint64_t ATMEL_ERASE_POLL_US = 100000;
constexpr int ATMEL_ERASE_MAX_FAILURES = 10;
constexpr int64_t ATMEL_ERASE_TIME_LIMIT_S = 20;
// The erase mode shown in the trace: the whole flash.
constexpr int ATMEL_ERASE_ALL = 4;

// Erases the whole flash and polls until the boot loader is done.
// 0 erased; positive: the DFU status that ended the erase; -2 command not
// sent; -3 no status obtainable (10 failures) or the 20 s limit was reached.
int atmel_erase_flash(dfu_device* device, bool quiet);

// Checks that start..end (inclusive) is blank, 64 kB page by page.
// 0 blank; positive: first non-blank address + 1; -1 bad arguments; -2 memory
// unit; -3 page selection; other negative: from __atmel_blank_page_check.
int atmel_blank_check(dfu_device* device, uint32_t start, uint32_t end, bool quiet);

// Blank check of start..end within the selected 64 kB page (end < 0x10000).
// 0 blank; positive: first non-blank address + 1; -1 bad arguments; -2
// command not sent; -3 no status; -4 status not OK or upload failed.
int __atmel_blank_page_check(dfu_device* device, uint32_t start, uint32_t end);

// 0; -1 no device or invalid unit; -2 command not sent; -3 no status; -4 not OK.
int atmel_select_memory_unit(dfu_device* device, int unit);

// 0; -2 no device; -1 command not sent; -3 no status; -4 not OK.
int atmel_select_page(dfu_device* device, uint16_t page);

// Programs the data of `bout` (within valid_start..valid_end) in blocks of
// whole pages of at most ATMEL_MAX_TRANSFER_SIZE bytes.
// 0; -1 bad arguments or bad image; -2 memory unit; -3 page selection; -4 a
// block failed.
int atmel_flash(dfu_device* device, intel_buffer_out* bout, bool quiet);

// Sends bout->block_start..block_end as one program message.
// 0; -1 bad block; -2 message not fully sent; -3 no status; positive: the DFU
// status of a failed write.
int __atmel_flash_block(dfu_device* device, intel_buffer_out* bout, bool eeprom);

// Writes the 6 command bytes of the program header into `header`.
void atmel_flash_populate_header(uint8_t* header, uint32_t start, uint32_t end, bool eeprom,
                                 int family);

// Writes the 16-byte footer into `footer`.
void atmel_flash_populate_footer(uint8_t* footer, uint16_t vendorId, uint16_t productId,
                                 uint16_t bcdFirmware);

// Reads bin->data_start..data_end into bin at the same addresses.
// 0; -1 bad arguments; -3 memory unit or first page selection; -5 a block failed.
int atmel_read_flash(dfu_device* device, intel_buffer_in* bin, bool quiet);

// Reads bin->block_start..block_end (at most ATMEL_MAX_TRANSFER_SIZE bytes).
// 0; -1 bad block or command not sent; negative libusb result of the upload.
int __atmel_read_block(dfu_device* device, intel_buffer_in* bin, bool eeprom);

// Starts the application with a reset: 0 (also when the device left before
// the closing zero-length DNLOAD); -1 command not sent.
int atmel_start_app_reset(dfu_device* device);

// Starts the application without reset: 0; -4 command not sent; -5 the
// zero-length DNLOAD failed.
int atmel_start_app_noreset(dfu_device* device);

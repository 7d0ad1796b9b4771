// Intel HEX reader: reads the firmware file into a memory image of the
// target's flash, prepares that image page by page for programming, and
// compares a memory image read back from the device with it.
//
// Plain functions over plain records. All results are return codes; the
// diagnostics go to the update trace (path "src/intel_hex") and to the
// standard error stream of platform/update_trace.h.
#pragma once

#include <cstdint>
#include <cstdio>

// One line of the file after parsing.
struct intel_record {
    uint8_t count = 0;      // number of data bytes, `count` of `data` are valid
    uint8_t type = 0;       // record type; only 0..5 are accepted
    uint16_t address = 0;   // load offset field, first hex pair is the high byte
    uint8_t checksum = 0;   // the checksum byte as read
    uint8_t data[255] = {};
};

// The geometry both images share.
struct intel_buffer_info {
    uint32_t memory_size = 0;   // number of cells = target memory size in bytes
    uint32_t page_size = 0;     // flash page size in bytes
    uint32_t block_start = 0;   // block the programmer is sending
    uint32_t block_end = 0;
    uint32_t data_start = 0;    // lowest and highest address holding data
    uint32_t data_end = 0;
    uint32_t valid_start = 0;   // region that may be programmed
    uint32_t valid_end = 0;
};

// The image to be programmed. A cell holds a data byte when its value is
// 0..0xFF and is unset above that; every cell starts as 0xFFFF. All sizes and
// addresses are byte addresses of the target memory counted from 0.
//
// The buffer owns its cells: intel_free_buffer_out releases them (and the
// destructor does, whatever path the owner leaves by). Not copyable.
struct intel_buffer_out : intel_buffer_info {
    uint16_t* cells = nullptr;  // memory_size cells

    intel_buffer_out() = default;
    ~intel_buffer_out();
    intel_buffer_out(intel_buffer_out&& other) noexcept;
    intel_buffer_out& operator=(intel_buffer_out&& other) noexcept;
    intel_buffer_out(const intel_buffer_out&) = delete;
    intel_buffer_out& operator=(const intel_buffer_out&) = delete;
};

// The image read back from the device: memory_size plain bytes, all 0xFF at
// creation. data_start..data_end is the range the reader fills. Owns its
// bytes like intel_buffer_out owns its cells.
struct intel_buffer_in : intel_buffer_info {
    uint8_t* bytes = nullptr;   // memory_size bytes

    intel_buffer_in() = default;
    ~intel_buffer_in();
    intel_buffer_in(intel_buffer_in&& other) noexcept;
    intel_buffer_in& operator=(intel_buffer_in&& other) noexcept;
    intel_buffer_in(const intel_buffer_in&) = delete;
    intel_buffer_in& operator=(const intel_buffer_in&) = delete;
};

// The value of an unset cell at creation, and the test for a data cell.
constexpr uint16_t kIntelUnsetCell = 0xFFFF;
inline bool intel_cell_has_data(uint16_t cell) { return cell <= 0xFF; }

// Creates the image: `size` cells of 0xFFFF, data_start 0xFFFFFFFF, data_end 0,
// valid_start 0, valid_end size - 1. Storage the buffer already held is
// released first. 0; -1 when size or page size is 0; -2 when the cells cannot
// be allocated. On failure the buffer holds no storage and memory_size is 0.
int intel_init_buffer_out(intel_buffer_out* bout, uint32_t size, uint32_t page_size);

// Creates the read-back image: `size` bytes of 0xFF, data_start = valid_start
// = 0, data_end = valid_end = size - 1. 0; -1 when size is 0 (no memory
// range can be described); -2 when the bytes cannot be allocated.
int intel_init_buffer_in(intel_buffer_in* bin, uint32_t size, uint32_t page_size);

// Release the storage and leave the buffer empty (memory_size 0). Safe to
// call on a buffer that holds nothing and to call twice.
void intel_free_buffer_out(intel_buffer_out* bout);
void intel_free_buffer_in(intel_buffer_in* bin);

// Reads the HEX file `filename` ("STDIN" for standard input) into `bout`.
// >= 0: number of data bytes whose address lay outside the buffer (dropped);
// -1 buffer without size, -2 no file name, -3 file cannot be opened, -4 a
// line cannot be read (also a missing end-of-file record or final line
// feed), -5 a record does not validate. `quiet` silences the progress and
// error messages, not the trace, the warnings or "Unsupported type".
int intel_hex_to_buffer(const char* filename, intel_buffer_out* bout, int quiet);

// The same over an already open stream, which is left open: the reading loop
// of intel_hex_to_buffer (its steps after the file is opened).
int intel_hex_stream_to_buffer(FILE* fp, intel_buffer_out* bout, int quiet);

// Fills every unset cell of each page that holds at least one data cell with
// 0xFF; pages without data stay unset. Always 0.
int intel_flash_prep_buffer(intel_buffer_out* bout);

// Compares the read-back image with the programmed one over valid_start ..
// valid_end of `bout`. 0 match; negative: minus the number of programmed
// bytes that differ; positive: number of bytes outside the programmed data
// that are not 0xFF (only when no programmed byte differs). Reports progress
// after every byte. A missing buffer or storage gives -1.
int intel_validate_buffer(const intel_buffer_in* bin, const intel_buffer_out* bout, int quiet);

// Internal steps, exposed for the tests.

// Reads one line from the current position of `fp`. 0; -1 end of file at the
// line's start; -2 bad line start; -3/-4 end of file / bad field in the data;
// -5/-6 the same in the checksum; -7 the line does not end in LF or CR LF.
int intel_read_data(FILE* fp, intel_record* record);

// Checks one record: 0; -1 checksum; -2 end-of-file record; -3 extended
// segment address; -4 extended linear address; -5 unsupported type; -6 start
// linear address.
int intel_validate_line(const intel_record* record);

// Stores one byte at `address` (masked to 31 bits). 0; -1 outside the buffer.
int intel_process_data(intel_buffer_out* bout, uint32_t address, uint8_t value);

// Reports the first out-of-range byte of a file.
void intel_invalid_addr_warning(unsigned int line, uint32_t address, uint32_t memory_size);

// Low 8 bits of the sum of count, both address bytes, type, the `count` data
// bytes and the checksum; 0 for a sound record.
uint8_t intel_record_checksum(const intel_record* record);

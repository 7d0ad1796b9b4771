#include "src/intel_hex.h"

#include <climits>
#include <cstring>
#include <new>
#include <utility>

#include "platform/progress.h"
#include "platform/update_trace.h"

#define KV_TRACE_PATH "src/intel_hex"

namespace {

constexpr int kTraceLevel = 50;
constexpr int kEntryTraceLevel = 55;

// The width of the fixed part of a line: ':' and four two-digit fields.
constexpr int kLineStartWidth = 9;

bool IsHexDigit(int c, uint8_t* value)
{
    if (c >= '0' && c <= '9') {
        *value = static_cast<uint8_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
        *value = static_cast<uint8_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
        *value = static_cast<uint8_t>(c - 'A' + 10);
    } else {
        return false;
    }
    return true;
}

// One two-character field read as a hexadecimal number. Blanks inside the
// field are passed over; at least one digit and nothing else must remain.
bool ParseHexPair(const char* field, uint8_t* out)
{
    unsigned value = 0;
    int digits = 0;
    for (int i = 0; i < 2; ++i) {
        const int c = static_cast<unsigned char>(field[i]);
        uint8_t nibble = 0;
        if (c == ' ' || c == '\t')
            continue;
        if (!IsHexDigit(c, &nibble))
            return false;
        value = value * 16 + nibble;
        ++digits;
    }
    if (digits == 0)
        return false;
    *out = static_cast<uint8_t>(value);
    return true;
}

// Reads the next two characters of a field; false at end of file.
bool ReadPair(FILE* fp, char* field)
{
    for (int i = 0; i < 2; ++i) {
        const int c = std::fgetc(fp);
        if (c == EOF)
            return false;
        field[i] = static_cast<char>(c);
    }
    return true;
}

int ClampToInt(unsigned long long n)
{
    return n > static_cast<unsigned long long>(INT_MAX) ? INT_MAX : static_cast<int>(n);
}

}  // namespace

// ---------------------------------------------------------------------------
// Buffers

intel_buffer_out::~intel_buffer_out() { intel_free_buffer_out(this); }

intel_buffer_out::intel_buffer_out(intel_buffer_out&& other) noexcept { *this = std::move(other); }

intel_buffer_out& intel_buffer_out::operator=(intel_buffer_out&& other) noexcept
{
    if (this != &other) {
        intel_free_buffer_out(this);
        static_cast<intel_buffer_info&>(*this) = other;
        cells = std::exchange(other.cells, nullptr);
        other.memory_size = 0;
    }
    return *this;
}

intel_buffer_in::~intel_buffer_in() { intel_free_buffer_in(this); }

intel_buffer_in::intel_buffer_in(intel_buffer_in&& other) noexcept { *this = std::move(other); }

intel_buffer_in& intel_buffer_in::operator=(intel_buffer_in&& other) noexcept
{
    if (this != &other) {
        intel_free_buffer_in(this);
        static_cast<intel_buffer_info&>(*this) = other;
        bytes = std::exchange(other.bytes, nullptr);
        other.memory_size = 0;
    }
    return *this;
}

void intel_free_buffer_out(intel_buffer_out* bout)
{
    if (bout == nullptr)
        return;
    delete[] bout->cells;
    bout->cells = nullptr;
    bout->memory_size = 0;
}

void intel_free_buffer_in(intel_buffer_in* bin)
{
    if (bin == nullptr)
        return;
    delete[] bin->bytes;
    bin->bytes = nullptr;
    bin->memory_size = 0;
}

int intel_init_buffer_out(intel_buffer_out* bout, uint32_t size, uint32_t page_size)
{
    if (bout == nullptr)
        return -1;
    intel_free_buffer_out(bout);
    if (size == 0 || page_size == 0) {
        KV_TRACE(kTraceLevel, "What are you thinking... size must be > 0.\n");
        return -1;
    }
    uint16_t* cells = new (std::nothrow) uint16_t[size];
    if (cells == nullptr) {
        KV_TRACE(kTraceLevel, "ERROR allocating 0x%llX bytes of memory.\n",
                 static_cast<unsigned long long>(size) * 2ULL);
        return -2;
    }
    for (uint32_t i = 0; i < size; ++i)
        cells[i] = kIntelUnsetCell;
    bout->cells = cells;
    bout->memory_size = size;
    bout->page_size = page_size;
    bout->block_start = 0;
    bout->block_end = 0;
    bout->data_start = 0xFFFFFFFFu;
    bout->data_end = 0;
    bout->valid_start = 0;
    bout->valid_end = size - 1;
    return 0;
}

int intel_init_buffer_in(intel_buffer_in* bin, uint32_t size, uint32_t page_size)
{
    if (bin == nullptr)
        return -1;
    intel_free_buffer_in(bin);
    if (size == 0) {
        KV_TRACE(kTraceLevel, "What are you thinking... size must be > 0.\n");
        return -1;
    }
    uint8_t* bytes = new (std::nothrow) uint8_t[size];
    if (bytes == nullptr) {
        KV_TRACE(kTraceLevel, "ERROR allocating 0x%X bytes of memory.\n", size);
        return -2;
    }
    std::memset(bytes, 0xFF, size);
    bin->bytes = bytes;
    bin->memory_size = size;
    bin->page_size = page_size;
    bin->block_start = 0;
    bin->block_end = 0;
    bin->data_start = 0;
    bin->data_end = size - 1;
    bin->valid_start = 0;
    bin->valid_end = size - 1;
    return 0;
}

// ---------------------------------------------------------------------------
// Records

uint8_t intel_record_checksum(const intel_record* record)
{
    unsigned sum = record->count;
    sum += static_cast<unsigned>(record->address >> 8);
    sum += static_cast<unsigned>(record->address & 0xFF);
    sum += record->type;
    for (unsigned i = 0; i < record->count; ++i)
        sum += record->data[i];
    sum += record->checksum;
    return static_cast<uint8_t>(sum & 0xFF);
}

int intel_read_data(FILE* fp, intel_record* record)
{
    // The fixed start of the line: at most 9 characters, up to and including
    // a line end.
    char start[kLineStartWidth];
    int got = 0;
    while (got < kLineStartWidth) {
        const int c = std::fgetc(fp);
        if (c == EOF)
            break;
        start[got++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    if (got == 0)
        return -1;
    if (start[0] != ':')
        return -2;
    uint8_t fields[4];
    for (int f = 0; f < 4; ++f) {
        const int at = 1 + 2 * f;
        if (at + 2 > got || !ParseHexPair(start + at, &fields[f]))
            return -2;
    }
    record->count = fields[0];
    record->address = static_cast<uint16_t>((fields[1] << 8) | fields[2]);
    record->type = fields[3];

    char field[2];
    for (unsigned i = 0; i < record->count; ++i) {
        if (!ReadPair(fp, field))
            return -3;
        if (!ParseHexPair(field, &record->data[i]))
            return -4;
    }

    uint8_t checksum = 0;
    if (!ReadPair(fp, field))
        return -5;
    if (!ParseHexPair(field, &checksum))
        return -6;

    int c = std::fgetc(fp);
    if (c == '\r')
        c = std::fgetc(fp);
    if (c != '\n') {
        KV_TRACE(kTraceLevel, "Error: end of line != \\n.\n");
        return -7;
    }

    record->checksum = checksum;
    return 0;
}

int intel_validate_line(const intel_record* record)
{
    if (intel_record_checksum(record) != 0) {
        KV_TRACE(kTraceLevel, "Checksum error.\n");
        return -1;
    }
    switch (record->type) {
    case 0:  // data
        return 0;
    case 1:  // end of file
        if (record->count != 0) {
            KV_TRACE(kTraceLevel, "EOF record error.\n");
            return -2;
        }
        return 0;
    case 2:  // extended segment address
        if (record->address != 0 || record->count != 2 || (record->data[1] & 0x07) != 0) {
            KV_TRACE(kTraceLevel, "Intel2 Format Error.\n");
            return -3;
        }
        return 0;
    case 3:  // start segment address: contents ignored
        return 0;
    case 4:  // extended linear address
        if (record->address != 0 || record->count != 2) {
            KV_TRACE(kTraceLevel, "Extended Linear Address Record Format Error");
            return -4;
        }
        return 0;
    case 5:  // start linear address
        if (record->address != 0 || record->count != 4)
            return -6;
        return 0;
    default:
        kv::ErrPrintf("Unsupported type. %d\n", record->type);
        return -5;
    }
}

// ---------------------------------------------------------------------------
// Image

int intel_process_data(intel_buffer_out* bout, uint32_t address, uint8_t value)
{
    address &= 0x7FFFFFFFu;
    const uint32_t size = (bout != nullptr && bout->cells != nullptr) ? bout->memory_size : 0;
    if (size == 0 || address > size - 1) {
        KV_TRACE(kTraceLevel, "Address 0x%X is outside valid range 0x%X to 0x%X.\n", address, 0u,
                 size - 1);
        return -1;
    }
    bout->cells[address] = value;
    if (address < bout->data_start)
        bout->data_start = address;
    if (address > bout->data_end)
        bout->data_end = address;
    return 0;
}

void intel_invalid_addr_warning(unsigned int line, uint32_t address, uint32_t memory_size)
{
    KV_TRACE(kTraceLevel, "Valid address region from 0x%X to 0x%X.\n", 0u, memory_size - 1);
    kv::ErrPrintf("WARNING (line %u): 0x%02x address outside valid region,\n", line, address);
    kv::ErrPrintf(" suppressing additional address error messages.\n");
}

int intel_hex_stream_to_buffer(FILE* fp, intel_buffer_out* bout, int quiet)
{
    if (bout == nullptr || bout->memory_size == 0 || bout->cells == nullptr) {
        KV_TRACE(kTraceLevel, "Must provide valid memory size in bout.\n");
        return -1;
    }
    if (fp == nullptr)
        return -3;

    intel_record record;
    unsigned int line = 1;
    uint32_t offset = 0;
    unsigned long long invalid = 0;
    for (;;) {
        if (intel_read_data(fp, &record) != 0) {
            if (!quiet)
                kv::ErrPrintf("Error reading line %u.\n", line);
            return -4;
        }
        if (intel_validate_line(&record) != 0) {
            if (!quiet)
                kv::ErrPrintf("Error: Line %u does not validate.\n", line);
            return -5;
        }
        switch (record.type) {
        case 0:
            for (unsigned i = 0; i < record.count; ++i) {
                const uint32_t address = record.address + offset + i;
                if (intel_process_data(bout, address, record.data[i]) != 0) {
                    if (invalid == 0)
                        intel_invalid_addr_warning(line, address, bout->memory_size);
                    ++invalid;
                }
            }
            break;
        case 2:
            offset = ((static_cast<uint32_t>(record.data[0]) << 8) | record.data[1]) * 16u;
            KV_TRACE(kTraceLevel, "Address offset set to 0x%x.\n", offset);
            break;
        case 4:
            offset = (((static_cast<uint32_t>(record.data[0]) << 8) | record.data[1]) & 0x7FFFu)
                     << 16;
            KV_TRACE(kTraceLevel, "Address offset set to 0x%x.\n", offset);
            break;
        case 5:
            offset = ((static_cast<uint32_t>(record.data[0]) << 24)
                      | (static_cast<uint32_t>(record.data[1]) << 16)
                      | (static_cast<uint32_t>(record.data[2]) << 8) | record.data[3])
                     & 0x7FFFFFFFu;
            KV_TRACE(kTraceLevel, "Address offset set to 0x%x.\n", offset);
            break;
        default:  // 1 ends the file below, 3 changes nothing
            break;
        }
        ++line;
        if (record.type == 1)
            break;
    }
    if (invalid > 0 && !quiet)
        kv::ErrPrintf("Total of 0x%X bytes in invalid addressed.\n",
                      static_cast<unsigned>(ClampToInt(invalid)));
    return ClampToInt(invalid);
}

int intel_hex_to_buffer(const char* filename, intel_buffer_out* bout, int quiet)
{
    if (bout == nullptr || bout->memory_size == 0 || bout->cells == nullptr) {
        KV_TRACE(kTraceLevel, "Must provide valid memory size in bout.\n");
        return -1;
    }
    if (filename == nullptr) {
        if (!quiet)
            kv::ErrPrintf("Invalid filename.\n");
        return -2;
    }
    const bool fromStdin = std::strcmp(filename, "STDIN") == 0;
    FILE* fp = fromStdin ? stdin : std::fopen(filename, "r");
    if (fp == nullptr) {
        if (!quiet)
            kv::ErrPrintf("Error opening %s\n", filename);
        return -3;
    }
    const int result = intel_hex_stream_to_buffer(fp, bout, quiet);
    if (!fromStdin)
        std::fclose(fp);
    return result;
}

int intel_flash_prep_buffer(intel_buffer_out* bout)
{
    KV_TRACE(kEntryTraceLevel, "%s( %p )\n", __func__, static_cast<void*>(bout));
    if (bout == nullptr || bout->cells == nullptr || bout->page_size == 0)
        return 0;
    const uint64_t size = bout->memory_size;
    const uint64_t page = bout->page_size;
    for (uint64_t first = 0; first < bout->valid_end && first < size; first += page) {
        const uint64_t end = (first + page < size) ? first + page : size;
        bool hasData = false;
        for (uint64_t a = first; a < end && !hasData; ++a)
            hasData = intel_cell_has_data(bout->cells[a]);
        if (!hasData)
            continue;
        for (uint64_t a = first; a < end; ++a) {
            if (!intel_cell_has_data(bout->cells[a]))
                bout->cells[a] = 0xFF;
        }
    }
    return 0;
}

int intel_validate_buffer(const intel_buffer_in* bin, const intel_buffer_out* bout, int quiet)
{
    if (bin == nullptr || bout == nullptr || bin->bytes == nullptr || bout->cells == nullptr) {
        KV_TRACE(kTraceLevel, "ERROR: Invalid arguments, buffer pointer is NULL.\n");
        return -1;
    }
    KV_TRACE(kTraceLevel, "Validating image from byte 0x%X to 0x%X.\n", bout->valid_start,
             bout->valid_end);
    if (!quiet)
        kv::ErrPrintf("Validating...");

    // Only addresses that both images hold can be compared.
    uint64_t last = bout->valid_end;
    const uint64_t smaller = bin->memory_size < bout->memory_size ? bin->memory_size : bout->memory_size;
    if (smaller == 0)
        last = 0;
    else if (last > smaller - 1)
        last = smaller - 1;
    const uint64_t first = bout->valid_start;
    const uint64_t span = last > first ? last - first : 0;

    unsigned long long inProgram = 0;
    unsigned long long outside = 0;
    for (uint64_t a = first; smaller > 0 && a <= last; ++a) {
        const uint16_t cell = bout->cells[a];
        const uint8_t read = bin->bytes[a];
        if (intel_cell_has_data(cell)) {
            if ((cell & 0xFF) != read) {
                if (inProgram == 0) {
                    if (!quiet)
                        kv::ErrPrintf("ERROR\n");
                    KV_TRACE(kTraceLevel, "Image did not validate at byte: 0x%X of 0x%X.\n",
                             static_cast<unsigned>(a),
                             bout->valid_end - bout->valid_start + 1);
                    KV_TRACE(kTraceLevel, "Wanted 0x%02x but read 0x%02x.\n", cell & 0xFF, read);
                    KV_TRACE(kTraceLevel, "suppressing additional warnings.\n");
                }
                ++inProgram;
            }
        } else if (read != 0xFF) {
            if (outside == 0 && inProgram == 0) {
                KV_TRACE(kTraceLevel, "Outside program region: byte 0x%X epected 0xFF.\n",
                         static_cast<unsigned>(a));
                KV_TRACE(kTraceLevel, "but read 0x%02X.  supressing additional warnings.\n", read);
            }
            ++outside;
        }
        // A one-byte range is complete after its byte.
        kv::report_progress(span == 0 ? 100 : static_cast<int>((a - first) * 100 / span));
    }
    kv::report_progress(100);

    if (!quiet) {
        if (inProgram == 0 && outside == 0)
            kv::ErrPrintf("Success\n");
        else
            kv::ErrPrintf("%d invalid bytes in program region, %d outside region.\n",
                          ClampToInt(inProgram), ClampToInt(outside));
    }
    return inProgram != 0 ? -ClampToInt(inProgram) : ClampToInt(outside);
}

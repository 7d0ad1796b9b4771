#include "src/atmel.h"

#include <algorithm>
#include <climits>

#include "platform/clock.h"
#include "platform/progress.h"
#include "platform/update_trace.h"

#define KV_TRACE_PATH "src/atmel"

using kv::ErrPrintf;

namespace {

constexpr int kTraceEntry = 55;
constexpr int kTrace = 50;

const char* TrueFalse(bool value) { return value ? "true" : "false"; }

const void* Ptr(const void* p) { return p; }

bool IsGrpAvr32(const dfu_device* device) { return (device->type & GRP_AVR32) != 0; }

// Percentage of `done` over a range whose last offset is `span`. A range of a
// single address has nothing left to do once it is reached: 100.
int SpanPercent(uint32_t done, uint32_t span)
{
    if (span == 0 || done >= span)
        return 100;
    return static_cast<int>((static_cast<uint64_t>(done) * 100U) / span);
}

// A status that came back but is not OK: trace it and leave dfuERROR.
void NotOk(dfu_device* device, const dfu_status& status)
{
    KV_TRACE(kTrace, "Error: status (%s) was not OK.\n", dfu_status_name(status.bStatus));
    if (status.bState == STATE_DFU_ERROR)
        dfu_clear_status(device);
}

// Addresses of the image that lie in its storage.
bool HasCell(const intel_buffer_out* bout, uint32_t address)
{
    return address < bout->memory_size;
}

bool IsData(const intel_buffer_out* bout, uint32_t address)
{
    return HasCell(bout, address) && bout->cells[address] <= 0xFF;
}

uint8_t High(uint32_t v) { return static_cast<uint8_t>((v >> 8) & 0xFF); }
uint8_t Low(uint32_t v) { return static_cast<uint8_t>(v & 0xFF); }

}  // namespace

const char* atmel_memory_unit_name(int unit)
{
    static const char* const kNames[] = {
        "flash",   "eeprom",  "security", "config",  "bootloader", "signature",
        "user",    "int_ram", "ext_cs0",  "ext_cs1", "ext_cs2",    "ext_cs3",
        "ext_cs4", "ext_cs5", "ext_cs6",  "ext_cs7", "ext_df",
    };
    if (unit < 0 || unit >= static_cast<int>(std::size(kNames)))
        return "unknown";
    return kNames[unit];
}

int atmel_erase_flash(dfu_device* device, bool quiet)
{
    KV_TRACE(kTraceEntry, "%s( %p, %d, %s )\n", __func__, Ptr(device), ATMEL_ERASE_ALL,
             TrueFalse(quiet));

    uint8_t command[3] = {0x04, 0x00, 0xFF};
    if (!quiet)
        ErrPrintf("Erasing flash...");
    if (dfu_download(device, sizeof command, command) != static_cast<int>(sizeof command)) {
        if (!quiet)
            ErrPrintf("ERROR\n");
        KV_TRACE(kTrace, "dfu_download failed\n");
        return -2;
    }

    const int64_t started = kv::WallSeconds();
    int failures = 0;
    for (;;) {
        dfu_status status;
        if (dfu_get_status(device, &status) != 0) {
            dfu_clear_status(device);
            ++failures;
            if (!quiet)
                ErrPrintf("ERROR\n");
            KV_TRACE(kTrace, "CMD_ERASE status check %d returned nonzero.\n", failures);
        } else if (status.bStatus == DFU_STATUS_ERROR_NOTDONE &&
                   status.bState == STATE_DFU_DOWNLOAD_BUSY) {
            kv::BusyWaitUs(ATMEL_ERASE_POLL_US);
        } else {
            if (!quiet)
                ErrPrintf("Success\n");
            KV_TRACE(kTrace, "CMD_ERASE status: Erase Done.\n");
            return status.bStatus;
        }

        if (failures >= ATMEL_ERASE_MAX_FAILURES)
            return -3;
        if (started < 0 || kv::WallSeconds() - started >= ATMEL_ERASE_TIME_LIMIT_S) {
            KV_TRACE(kTrace, "CMD_ERASE time limit %ds exceeded.\n",
                     static_cast<int>(ATMEL_ERASE_TIME_LIMIT_S));
            return -3;
        }
    }
}

int __atmel_blank_page_check(dfu_device* device, uint32_t start, uint32_t end)
{
    KV_TRACE(kTraceEntry, "%s( %p, 0x%08x, 0x%08x )\n", __func__, Ptr(device), start, end);

    if (device == nullptr) {
        KV_TRACE(kTrace, "ERROR: Invalid arguments, device pointer is NULL.\n");
        return -1;
    }
    if (start > end) {
        KV_TRACE(kTrace, "ERROR: End address 0x%X before start address 0x%X.\n", end, start);
        return -1;
    }
    if (end >= ATMEL_64KB_PAGE) {
        KV_TRACE(kTrace, "ERROR: Address out of 64kb (0x10000) byte page range.\n");
        return -1;
    }

    uint8_t command[6] = {0x03, 0x01, High(start), Low(start), High(end), Low(end)};
    if (dfu_download(device, sizeof command, command) != static_cast<int>(sizeof command)) {
        KV_TRACE(kTrace, "__atmel_blank_page_check DFU_DNLOAD failed.\n");
        return -2;
    }

    dfu_status status;
    if (dfu_get_status(device, &status) != 0) {
        KV_TRACE(kTrace, "__atmel_blank_page_check DFU_GETSTATUS failed.\n");
        return -3;
    }

    if (status.bStatus == DFU_STATUS_OK) {
        KV_TRACE(kTrace, "Flash region from 0x%X to 0x%X is blank.\n", start, end);
        return 0;
    }
    if (status.bStatus == DFU_STATUS_ERROR_CHECK_ERASED) {
        KV_TRACE(kTrace, "Region is NOT bank.\n");
        uint8_t answer[2] = {0, 0};
        if (dfu_upload(device, sizeof answer, answer) != static_cast<int>(sizeof answer)) {
            KV_TRACE(kTrace, "__atmel_blank_page_check DFU_UPLOAD failed.\n");
            return -4;
        }
        const int address = (answer[0] << 8) | answer[1];
        KV_TRACE(kTrace, " First non-blank address in region is 0x%X.\n", address);
        return address + 1;
    }

    NotOk(device, status);
    return -4;
}

int atmel_blank_check(dfu_device* device, uint32_t start, uint32_t end, bool quiet)
{
    KV_TRACE(kTraceEntry, "%s( %p, 0x%08X, 0x%08X )\n", __func__, Ptr(device), start, end);

    if (device == nullptr) {
        KV_TRACE(kTrace, "ERROR: Invalid arguments, device pointer is NULL.\n");
        return -1;
    }
    if (start > end) {
        KV_TRACE(kTrace, "ERROR: End address 0x%X before start address 0x%X.\n", end, start);
        return -1;
    }

    if (atmel_select_memory_unit(device, ATMEL_MEMORY_UNIT_FLASH) != 0)
        return -2;

    if (!quiet)
        ErrPrintf("Checking memory from 0x%X to 0x%X...\n", start, end);

    uint32_t partStart = start;
    for (;;) {
        const uint32_t page = partStart >> 16;
        const uint32_t pageLast = (page << 16) | 0xFFFFU;
        const uint32_t partEnd = std::min(pageLast, end);

        if (atmel_select_page(device, static_cast<uint16_t>(page)) != 0) {
            KV_TRACE(kTrace, "page select error.\n");
            if (!quiet)
                ErrPrintf("ERROR.\n");
            return -3;
        }

        const int rv = __atmel_blank_page_check(device, partStart & 0xFFFFU, partEnd & 0xFFFFU);
        if (rv == 0) {
            KV_TRACE(kTrace, "Flash blank from 0x%X to 0x%X.\n", start, partEnd);
            if (partEnd >= end)
                break;
            partStart = partEnd + 1;
            continue;
        }
        if (rv > 0) {
            // rv is at most 0x10000, so the address stays within this page.
            const uint32_t address = (page << 16) + static_cast<uint32_t>(rv) - 1;
            KV_TRACE(kTrace, "Flash NOT blank beginning at 0x%X.\n", address);
            if (!quiet)
                ErrPrintf("Not blank at 0x%X.\n", address);
            // The result is an int: an address beyond its range still reads
            // as "not blank" rather than wrapping to a negative code.
            if (address >= static_cast<uint32_t>(INT_MAX))
                return INT_MAX;
            return static_cast<int>(address) + 1;
        }
        KV_TRACE(kTrace, "Blank check fail err %d. Flash status unknown.\n", rv);
        if (!quiet)
            ErrPrintf("ERROR.\n");
        return rv;
    }

    if (!quiet)
        ErrPrintf("Empty.\n");
    return 0;
}

int atmel_select_memory_unit(dfu_device* device, int unit)
{
    KV_TRACE(kTraceEntry, "%s( %p, %d )\n", __func__, Ptr(device), unit);

    if (device == nullptr) {
        KV_TRACE(kTrace, "ERROR: Device pointer is NULL.\n");
        return -1;
    }
    if (!IsGrpAvr32(device)) {
        KV_TRACE(kTrace, "Ignore Select Memory Unit for non GRP_AVR32 device.\n");
        return 0;
    }

    const bool avr32Invalid = (device->type & ATMEL_FAMILY_AVR32) != 0 &&
                              !(unit == ATMEL_MEMORY_UNIT_FLASH ||
                                (unit >= ATMEL_MEMORY_UNIT_SECURITY && unit <= ATMEL_MEMORY_UNIT_USER));
    const bool outOfRange = unit < 0 || unit > ATMEL_MEMORY_UNIT_EXT_DF;
    if (avr32Invalid || outOfRange) {
        if (avr32Invalid)
            KV_TRACE(kTrace, "%d is not a valid memory unit for AVR32 devices.\n", unit);
        else
            KV_TRACE(kTrace, "Valid Memory Units 0 to 0x%X, not 0x%X.\n", ATMEL_MEMORY_UNIT_EXT_DF,
                     static_cast<unsigned>(unit));
        ErrPrintf("Invalid Memory Unit Selection.\n");
        return -1;
    }

    KV_TRACE(kTrace, "Selecting %s memory unit.\n", atmel_memory_unit_name(unit));
    uint8_t command[4] = {0x06, 0x03, 0x00, static_cast<uint8_t>(unit)};
    if (dfu_download(device, sizeof command, command) != static_cast<int>(sizeof command)) {
        KV_TRACE(kTrace, "atmel_select_memory_unit 0x%02X dfu_download failed.\n",
                 static_cast<unsigned>(unit));
        return -2;
    }

    dfu_status status;
    if (dfu_get_status(device, &status) != 0) {
        KV_TRACE(kTrace, "DFU_GETSTATUS failed after atmel_select_memory_unit.\n");
        return -3;
    }
    if (status.bStatus != DFU_STATUS_OK) {
        NotOk(device, status);
        return -4;
    }
    return 0;
}

int atmel_select_page(dfu_device* device, uint16_t page)
{
    KV_TRACE(kTraceEntry, "%s( %p, %u )\n", __func__, Ptr(device), static_cast<unsigned>(page));

    if (device == nullptr) {
        KV_TRACE(kTrace, "ERROR: Device pointer is NULL.\n");
        return -2;
    }
    if ((device->type & ATMEL_FAMILY_8051) != 0) {
        KV_TRACE(kTrace, "Select page not implemented for 8051 device, ignoring.\n");
        return 0;
    }

    KV_TRACE(kTrace, "Selecting page %d, address 0x%X.\n", static_cast<int>(page),
             static_cast<unsigned>(page) * ATMEL_64KB_PAGE);

    int sent = 0;
    int wanted = 0;
    if (IsGrpAvr32(device)) {
        uint8_t command[5] = {0x06, 0x03, 0x01, High(page), Low(page)};
        wanted = sizeof command;
        sent = dfu_download(device, sizeof command, command);
    } else if (device->type == ATMEL_FAMILY_AVR) {
        uint8_t command[4] = {0x06, 0x03, 0x00, Low(page)};
        wanted = sizeof command;
        sent = dfu_download(device, sizeof command, command);
    }
    if (sent != wanted) {
        KV_TRACE(kTrace, "atmel_select_page DFU_DNLOAD failed.\n");
        return -1;
    }

    dfu_status status;
    if (dfu_get_status(device, &status) != 0) {
        KV_TRACE(kTrace, "atmel_select_page DFU_GETSTATUS failed.\n");
        return -3;
    }
    if (status.bStatus != DFU_STATUS_OK) {
        NotOk(device, status);
        return -4;
    }
    return 0;
}

void atmel_flash_populate_header(uint8_t* header, uint32_t start, uint32_t end, bool eeprom,
                                 int family)
{
    header[0] = 0x01;
    header[1] = (eeprom && (family & ATMEL_FAMILY_XMEGA) == 0) ? 0x01 : 0x00;
    header[2] = High(start);
    header[3] = Low(start);
    header[4] = High(end);
    header[5] = Low(end);
}

void atmel_flash_populate_footer(uint8_t* footer, uint16_t vendorId, uint16_t productId,
                                 uint16_t bcdFirmware)
{
    // A DFU file suffix, field by field in reverse order: CRC (0), length,
    // the signature "DFU", DFU version 1.1, vendor, product and release.
    const uint8_t suffix[ATMEL_FOOTER_SIZE] = {
        0x00, 0x00, 0x00, 0x00, 0x10, 'D', 'F', 'U', 0x01, 0x10,
        High(vendorId), Low(vendorId), High(productId), Low(productId),
        High(bcdFirmware), Low(bcdFirmware),
    };
    std::copy(std::begin(suffix), std::end(suffix), footer);
}

int __atmel_flash_block(dfu_device* device, intel_buffer_out* bout, bool eeprom)
{
    KV_TRACE(kTraceEntry, "%s( %p, %p, %s )\n", __func__, Ptr(device), Ptr(bout), TrueFalse(eeprom));

    if (device == nullptr || bout == nullptr || bout->cells == nullptr) {
        KV_TRACE(kTrace, "ERROR: Invalid arguments, device/buffer pointer is NULL.\n");
        return -1;
    }
    const uint32_t start = bout->block_start;
    const uint32_t end = bout->block_end;
    if (start > end) {
        KV_TRACE(kTrace, "ERROR: End address 0x%X before start address 0x%X.\n", end, start);
        return -1;
    }
    const uint32_t length = end - start + 1;  // 0 when the block is the whole 32-bit range
    if (length == 0 || length > ATMEL_MAX_TRANSFER_SIZE) {
        KV_TRACE(kTrace, "ERROR: 0x%X byte message > MAX TRANSFER SIZE (0x%X).\n", end - start + 1,
                 ATMEL_MAX_TRANSFER_SIZE);
        return -1;
    }
    if (!HasCell(bout, end)) {
        KV_TRACE(kTrace, "ERROR: Block 0x%X to 0x%X lies outside the image of 0x%X bytes.\n", start,
                 end, bout->memory_size);
        return -1;
    }

    uint8_t message[ATMEL_MAX_FLASH_BUFFER_SIZE] = {};
    const size_t headerSize =
        IsGrpAvr32(device) ? ATMEL_AVR32_HEADER_BASE + (start % 64) : ATMEL_HEADER_SIZE;
    atmel_flash_populate_header(message, start, end, eeprom, device->type);
    for (uint32_t i = 0; i < length; ++i)
        message[headerSize + i] = static_cast<uint8_t>(bout->cells[start + i] & 0xFF);
    atmel_flash_populate_footer(message + headerSize + length, 0xFFFF, 0xFFFF, 0xFFFF);
    const size_t messageSize = headerSize + length + ATMEL_FOOTER_SIZE;

    const int sent = dfu_download(device, messageSize, message);
    if (sent != static_cast<int>(messageSize)) {
        KV_TRACE(kTrace, "atmel_flash: flash data dfu_download failed.\n");
        KV_TRACE(kTrace, "Expected message length of %d, got %d.\n", static_cast<int>(messageSize),
                 sent);
        return -2;
    }

    dfu_status status;
    if (dfu_get_status(device, &status) != 0) {
        KV_TRACE(kTrace, "dfu_get_status failed.\n");
        return -3;
    }
    if (status.bStatus == DFU_STATUS_OK) {
        KV_TRACE(kTrace, "Page write success.\n");
        return 0;
    }
    KV_TRACE(kTrace, "Page write not unsuccessful (err %s).\n", dfu_status_name(status.bStatus));
    if (status.bState == STATE_DFU_ERROR)
        dfu_clear_status(device);
    return status.bStatus;
}

int atmel_flash(dfu_device* device, intel_buffer_out* bout, bool quiet)
{
    KV_TRACE(kTraceEntry, "%s( %p, %p, %s, %s )\n", __func__, Ptr(device), Ptr(bout), "false",
             TrueFalse(quiet));

    if (device == nullptr || bout == nullptr || bout->cells == nullptr || bout->page_size == 0) {
        KV_TRACE(kTrace, "ERROR: Invalid arguments, device/buffer pointer is NULL.\n");
        if (!quiet)
            ErrPrintf("Program Error, use debug for more info.\n");
        return -1;
    }
    if (bout->valid_start > bout->valid_end) {
        KV_TRACE(kTrace, "ERROR: No valid target memory, end 0x%X before start 0x%X.\n",
                 bout->valid_end, bout->valid_start);
        if (!quiet)
            ErrPrintf("Program Error, use debug for more info.\n");
        return -1;
    }

    intel_flash_prep_buffer(bout);

    bout->data_start = 0xFFFFFFFFU;
    for (uint32_t a = 0; a < bout->memory_size; ++a) {
        if (IsData(bout, a)) {
            if (bout->data_start == 0xFFFFFFFFU)
                bout->data_start = a;
            bout->data_end = a;
        }
    }
    const bool hasData = bout->data_start != 0xFFFFFFFFU;

    const uint32_t page = bout->page_size;
    KV_TRACE(kTrace, "Flash available from 0x%X to 0x%X (64kB p. %u to %u), 0x%X bytes.\n",
             bout->valid_start, bout->valid_end, bout->valid_start >> 16, bout->valid_end >> 16,
             bout->valid_end - bout->valid_start + 1);
    KV_TRACE(kTrace, "Data start @ 0x%X: 64kB p %u; %uB p 0x%X + 0x%X offset.\n", bout->data_start,
             bout->data_start >> 16, page, bout->data_start / page, bout->data_start % page);
    KV_TRACE(kTrace, "Data end @ 0x%X: 64kB p %u; %uB p 0x%X + 0x%X offset.\n", bout->data_end,
             bout->data_end >> 16, page, bout->data_end / page, bout->data_end % page);
    KV_TRACE(kTrace, "Totals: 0x%X bytes, %u %uB pages, %u 64kB byte pages.\n",
             bout->data_end - bout->data_start + 1, bout->data_end / page - bout->data_start / page + 1,
             page, (bout->data_end >> 16) - (bout->data_start >> 16) + 1);

    // An image without data is reported as such even when data_end was left
    // behind from earlier use.
    if (!hasData) {
        KV_TRACE(kTrace, "ERROR: No valid data to flash.\n");
        if (!quiet)
            ErrPrintf("Hex file error, use debug for more info.\n");
        return -1;
    }
    if (bout->data_start < bout->valid_start || bout->data_end > bout->valid_end) {
        KV_TRACE(kTrace, "ERROR: Data exists outside of the valid target flash region.\n");
        if (!quiet)
            ErrPrintf("Hex file error, use debug for more info.\n");
        return -1;
    }

    if (atmel_select_memory_unit(device, ATMEL_MEMORY_UNIT_FLASH) != 0) {
        KV_TRACE(kTrace, "Error selecting memory unit.\n");
        if (!quiet)
            ErrPrintf("Memory access error, use debug for more info.\n");
        return -2;
    }

    if (!quiet)
        ErrPrintf("Programming 0x%X bytes...\n", bout->data_end - bout->data_start + 1);

    int result = 0;
    bout->block_start = bout->data_start;
    uint32_t selected = bout->block_start >> 16;
    if (atmel_select_page(device, static_cast<uint16_t>(selected)) != 0) {
        KV_TRACE(kTrace, "ERROR selecting 64kB page %d.\n", static_cast<int>(selected));
        result = -3;
    }

    while (result == 0 && bout->block_start <= bout->data_end) {
        const uint32_t blockPage = bout->block_start >> 16;
        if (blockPage != selected) {
            if (atmel_select_page(device, static_cast<uint16_t>(blockPage)) != 0) {
                KV_TRACE(kTrace, "ERROR selecting 64kB page %d.\n", static_cast<int>(blockPage));
                result = -3;
                break;
            }
            selected = blockPage;
        }

        // Grow the block over consecutive data cells, within the transfer
        // size, the data and the 64 kB page.
        bout->block_end = bout->block_start;
        for (;;) {
            const uint32_t next = bout->block_end + 1;
            if (next > bout->data_end || next - bout->block_start >= ATMEL_MAX_TRANSFER_SIZE ||
                (next >> 16) != blockPage || !IsData(bout, next))
                break;
            bout->block_end = next;
        }

        KV_TRACE(kTrace, "Program data block: 0x%X to 0x%X (p. %u), 0x%X bytes.\n", bout->block_start,
                 bout->block_end, blockPage, bout->block_end - bout->block_start + 1);

        const int rv = __atmel_flash_block(device, bout, false);
        if (rv != 0) {
            KV_TRACE(kTrace, "Error flashing the block: err %d.\n", rv);
            result = -4;
            break;
        }

        kv::report_progress(
            SpanPercent(bout->block_start - bout->data_start, bout->data_end - bout->data_start));

        bout->block_start = bout->block_end + 1;
        while (bout->block_start <= bout->data_end && !IsData(bout, bout->block_start))
            ++bout->block_start;
    }

    if (!quiet) {
        if (result == 0) {
            ErrPrintf("Success\n");
        } else {
            ErrPrintf("ERROR\n");
            if (result == -3)
                ErrPrintf("Memory access error, use debug for more info.\n");
            else if (result == -4)
                ErrPrintf("Memory write error, use debug for more info.\n");
        }
    }
    return result;
}

int __atmel_read_block(dfu_device* device, intel_buffer_in* bin, bool eeprom)
{
    if (device == nullptr || bin == nullptr || bin->bytes == nullptr) {
        KV_TRACE(kTrace, "ERROR: Invalid arguments, device/buffer pointer is NULL.\n");
        return -1;
    }
    const uint32_t start = bin->block_start;
    const uint32_t end = bin->block_end;
    if (end < start) {
        KV_TRACE(kTrace, "ERROR: start address is after end address.\n");
        return -1;
    }
    const uint32_t length = end - start + 1;  // 0 when the block is the whole 32-bit range
    if (length == 0 || length > ATMEL_MAX_TRANSFER_SIZE) {
        KV_TRACE(kTrace, "ERROR: transfer size must not exceed %d.\n",
                 static_cast<int>(ATMEL_MAX_TRANSFER_SIZE));
        return -1;
    }
    if (end >= bin->memory_size) {
        KV_TRACE(kTrace, "ERROR: Block 0x%X to 0x%X lies outside the image of 0x%X bytes.\n", start,
                 end, bin->memory_size);
        return -1;
    }

    const bool eepromCommand =
        eeprom && (device->type & (ATMEL_FAMILY_8051 | ATMEL_FAMILY_AVR)) != 0;
    uint8_t command[6] = {0x03, static_cast<uint8_t>(eepromCommand ? 0x02 : 0x00),
                          High(start), Low(start), High(end), Low(end)};
    if (dfu_download(device, sizeof command, command) != static_cast<int>(sizeof command)) {
        KV_TRACE(kTrace, "dfu_download failed\n");
        return -1;
    }

    const int rv = dfu_upload(device, length, bin->bytes + start);
    if (rv < 0) {
        KV_TRACE(kTrace, "dfu_upload result: %d\n", rv);
        dfu_status status;
        if (dfu_get_status(device, &status) == 0) {
            if (status.bStatus == DFU_STATUS_ERROR_FILE)
                ErrPrintf("The device is read protected.\n");
            else
                ErrPrintf("Unknown error. Try enabling debug.\n");
        } else {
            ErrPrintf("Device is unresponsive.\n");
        }
        dfu_clear_status(device);
        return rv;
    }
    return 0;
}

int atmel_read_flash(dfu_device* device, intel_buffer_in* bin, bool quiet)
{
    KV_TRACE(kTraceEntry, "%s( %p, %p, %u, %s )\n", __func__, Ptr(device), Ptr(bin), 0U,
             TrueFalse(quiet));

    // The read range must lie inside the buffer's storage: the upload writes
    // straight into it.
    if (device == nullptr || bin == nullptr || bin->bytes == nullptr ||
        (bin->data_start <= bin->data_end && bin->data_end >= bin->memory_size)) {
        KV_TRACE(kTrace, "invalid arguments.\n");
        if (!quiet)
            ErrPrintf("Program Error, use debug for more info.\n");
        return -1;
    }

    if (atmel_select_memory_unit(device, ATMEL_MEMORY_UNIT_FLASH) != 0) {
        KV_TRACE(kTrace, "Error selecting memory unit.\n");
        if (!quiet)
            ErrPrintf("Memory access error, use debug for more info.\n");
        return -3;
    }

    if (!quiet)
        ErrPrintf("Reading 0x%X bytes...\n", bin->data_end - bin->data_start + 1);

    int result = 0;
    bin->block_start = bin->data_start;
    uint32_t selected = bin->block_start >> 16;
    if (atmel_select_page(device, static_cast<uint16_t>(selected)) != 0) {
        KV_TRACE(kTrace, "ERROR selecting 64kB page %d.\n", static_cast<int>(selected));
        result = -3;
    }

    while (result == 0 && bin->block_start <= bin->data_end) {
        const uint32_t blockPage = bin->block_start >> 16;
        if (blockPage != selected) {
            // Reading goes on: a wrong page shows up in the validation.
            if (atmel_select_page(device, static_cast<uint16_t>(blockPage)) != 0)
                KV_TRACE(kTrace, "ERROR selecting 64kB page %d.\n", static_cast<int>(blockPage));
            selected = blockPage;
        }

        const uint32_t pageLast = (blockPage << 16) | 0xFFFFU;
        bin->block_end = std::min({bin->block_start + (ATMEL_MAX_TRANSFER_SIZE - 1), pageLast,
                                   bin->data_end});

        const int rv = __atmel_read_block(device, bin, false);
        if (rv != 0) {
            KV_TRACE(kTrace, "Error reading block 0x%X to 0x%X: err %d.\n", bin->block_start,
                     bin->block_end, rv);
            result = -5;
            break;
        }

        kv::report_progress(
            SpanPercent(bin->block_start - bin->data_start, bin->data_end - bin->data_start));

        bin->block_start = bin->block_end + 1;
    }

    if (!quiet) {
        if (result == 0) {
            ErrPrintf("Success\n");
        } else {
            ErrPrintf("ERROR\n");
            if (result == -3)
                ErrPrintf("Memory access error, use debug for more info.\n");
            else if (result == -5)
                ErrPrintf("Memory read error, use debug for more info.\n");
        }
    }
    return result;
}

int atmel_start_app_reset(dfu_device* device)
{
    KV_TRACE(kTraceEntry, "%s( %p )\n", __func__, Ptr(device));

    uint8_t command[3] = {0x04, 0x03, 0x00};
    if (dfu_download(device, sizeof command, command) != static_cast<int>(sizeof command)) {
        KV_TRACE(kTrace, "dfu_download failed.\n");
        return -1;
    }
    // The boot loader resets on this and may not answer any more.
    const int rv = dfu_download(device, 0, nullptr);
    if (rv != 0)
        KV_TRACE(kTrace, "dfu_download failed (rv=%d).\n", rv);
    return 0;
}

int atmel_start_app_noreset(dfu_device* device)
{
    KV_TRACE(kTraceEntry, "%s( %p )\n", __func__, Ptr(device));

    uint8_t command[5] = {0x04, 0x03, 0x01, 0x00, 0x00};
    if (dfu_download(device, sizeof command, command) != static_cast<int>(sizeof command)) {
        KV_TRACE(kTrace, "dfu_download failed.\n");
        return -4;
    }
    const int rv = dfu_download(device, 0, nullptr);
    if (rv != 0) {
        KV_TRACE(kTrace, "dfu_download failed (rv=%d).\n", rv);
        return -5;
    }
    return 0;
}

// The virtual boot loader: the Base Controller's Atmel USB DFU boot loader as
// a USB device (03EB:2FF4, one configuration, a DFU interface) for tests and
// the demo, and the USB side of the virtual tower behind the libusb stand-in.
//
// The boot loader is a DFU 1.1 device: it answers DETACH, DNLOAD, UPLOAD,
// GETSTATUS, CLRSTATUS, GETSTATE and ABORT in the DFU states, stalls what a
// state does not allow (and then sits in dfuERROR with errSTALLEDPKT), and
// takes the Atmel commands as DNLOAD data: erase (busy for a while, answered
// errNOTDONE in dfuDNBUSY), blank check (errCHECK_ERASED and the first
// non-blank address through UPLOAD), read memory (through UPLOAD), program
// (32-byte header, data, 16-byte footer; flash bits can only be cleared, so
// programming over an unerased page shows) and start of the application.
//
// It is as strict as the class requires where the update relies on it: a
// program block must be followed by a GETSTATUS before the next DNLOAD (a
// DNLOAD in dfuDNLOAD-SYNC after a block stalls); CLRSTATUS outside dfuERROR
// stalls; a program command must cover whole flash pages of the application
// area (else errADDRESS); DETACH's wValue is the time the device waits in
// appDETACH for the reset before it falls back to appIDLE. Answers to a
// command's GETSTATUS carry a non-zero bwPollTimeout, and a program block
// takes device time: a transfer whose device-side work outlasts the host's
// time-out fails with LIBUSB_ERROR_TIMEOUT.
//
// The USB list (VirtualUsb) is derived from the tower: every Base Controller
// on the HID list is also on the USB list with its own ids, and every Base
// Controller that took the bootloader report has a boot loader that appears a
// configurable time later (on the clock). After the start command the boot
// loader leaves the list and, after another delay, its Base Controller comes
// back on the HID list running the firmware version found in the flash
// (sim/firmware_image.h). Time-driven changes are applied whenever the libusb
// stand-in is called, so a rediscovery loop sees them.
//
// Single-threaded like the program.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "sim/firmware_image.h"
#include "sim/virtual_base_controller.h"

namespace kv::sim {

constexpr uint16_t kBootloaderVendorId = 0x03EB;
constexpr uint16_t kBootloaderProductId = 0x2FF4;

// One control transfer as the device received it.
struct LoggedTransfer {
    uint64_t timeUs = 0;
    uint8_t requestType = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;        // wLength as asked
    unsigned timeoutMs = 0;     // the host's time-out (0: none given)
    std::vector<uint8_t> data;  // OUT: the bytes sent; IN: the bytes answered
    int result = 0;             // what the transfer returned
};

struct BootloaderConfig {
    // From the bootloader report to the boot loader on the USB list.
    uint64_t appearDelayUs = 2000000;
    // How long an erase keeps the device busy.
    uint64_t eraseBusyUs = 1200000;
    // From the start command to the Base Controller back on the HID list.
    uint64_t returnDelayUs = 2000000;
    // State the boot loader is in when it appears (appIDLE to test the way
    // through DETACH and reset).
    uint8_t initialState = 2;  // dfuIDLE
    // Program commands must cover whole pages of this size.
    uint32_t flashPageSize = kFlashPageSize;
    // Device time a program block's DNLOAD takes per flash page.
    uint64_t programPageUs = 4000;
    // bwPollTimeout of the GETSTATUS answers after a command (ms).
    uint32_t commandPollMs = 5;
    // The ids it enumerates with (another chip's DFU boot loader has the
    // same vendor).
    uint16_t vendorId = kBootloaderVendorId;
    uint16_t productId = kBootloaderProductId;
};

// Faults to inject. The defaults are a healthy boot loader.
struct BootloaderFaults {
    // Leaves the USB list once this many control transfers were answered
    // since it appeared (-1: never; see VirtualBootloader::answered()).
    // Later requests on its handles fail with NO_DEVICE.
    int64_t vanishAfterTransfers = -1;
    // Stalls requests with this bRequest (kAnyRequest: every request), the
    // next stallCount times (-1: for ever).
    static constexpr int kAnyRequest = 256;
    int stallRequest = -1;
    int stallCount = 0;
    // GETSTATUS answers only this many bytes (0..5), shortStatusCount times
    // (-1: for ever).
    int shortStatusLength = 0;
    int shortStatusCount = 0;
    // Reports this state (1 appDETACH or 8 dfuMANIFEST-WAIT-RESET) for ever;
    // a reset does not help. -1: off.
    int stuckState = -1;
    // The erase ends with errERASE in dfuERROR, the flash unchanged.
    bool eraseFails = false;
    // The erase never ends: errNOTDONE in dfuDNBUSY for ever.
    bool busyForever = false;
    // A flash cell at this address no longer erases: the erase ends OK but
    // leaves it as it was (-1: off).
    int64_t unerasedAddress = -1;
    // Reading memory is refused: UPLOAD stalls with errFILE.
    bool readProtected = false;
    // After the start command the boot loader leaves the list and the Base
    // Controller never comes back.
    bool neverReturns = false;
    // The configuration's first interface has no alternate setting; the DFU
    // interface is the second one (number 1).
    bool firstInterfaceWithoutSetting = false;
    // The program block that covers this address fails: its GETSTATUS
    // answers programFailStatus (errWRITE 3, errPROG 6 or errVERIFY 7) in
    // dfuERROR; errVERIFY leaves the block written with one bit wrong, the
    // others leave the flash unchanged (-1: off).
    int64_t failProgramAddress = -1;
    uint8_t programFailStatus = 3;
    // The program block that covers this address takes this long on the
    // device (-1: off).
    int64_t slowProgramAddress = -1;
    uint64_t slowProgramUs = 0;
};

class VirtualBootloader {
public:
    explicit VirtualBootloader(BootloaderConfig config = {}, BootloaderFaults faults = {});

    BootloaderConfig& config() { return config_; }
    BootloaderFaults& faults() { return faults_; }

    // ---- Flash ----------------------------------------------------------------
    std::array<uint8_t, kFlashSize>& flash() { return flash_; }
    // Fills the application area with a firmware of the given version
    // (signature and version byte at the end) and the boot loader area with
    // boot loader code.
    void LoadFirmware(uint8_t version);
    uint8_t flashedVersion() const { return FirmwareVersionOf(flash_.data(), flash_.size()); }
    int erases() const { return erases_; }

    // ---- On the USB list ------------------------------------------------------
    // On the list now (given the clock).
    bool attached() const;
    // Appears after the delay (a fresh enumeration: new address, state
    // initialState, status OK). The flash stays as it is.
    void AttachIn(uint64_t delayUs);
    // Leaves the list; handles opened before fail from now on.
    void Detach();
    // Changes on every enumeration, so a stale handle can tell.
    uint64_t session() const { return session_; }
    uint8_t address() const { return address_; }
    // Number of the DFU interface (0, or 1 with firstInterfaceWithoutSetting).
    int dfuInterface() const { return faults_.firstInterfaceWithoutSetting ? 1 : 0; }

    uint8_t state() const { return state_; }
    uint8_t status() const { return status_; }

    // ---- Used by the libusb stand-in --------------------------------------------
    // One control transfer on the default pipe. Returns the bytes moved or a
    // negative libusb error code.
    int ControlTransfer(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                        unsigned char* data, uint16_t length);
    // The same with the host's time-out in ms (0: wait for ever). The
    // device-side work of the transfer passes on the clock; when it takes
    // longer than the time-out the host gives up after the time-out with
    // LIBUSB_ERROR_TIMEOUT (the device still finishes the work).
    int ControlTransfer(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                        unsigned char* data, uint16_t length, unsigned timeoutMs);
    // A USB reset. A device in appDETACH or dfuMANIFEST-WAIT-RESET
    // re-enumerates (LIBUSB_ERROR_NOT_FOUND: the handle is stale); a stuck
    // one stays as it is (0).
    int Reset();
    // In a state that waits for a USB reset (appDETACH, dfuMANIFEST-WAIT-RESET).
    bool WaitsForReset() const;
    int resets() const { return resets_; }
    // Control transfers answered since it appeared.
    int64_t answered() const { return answered_; }

    // ---- What it received -------------------------------------------------------
    const std::vector<LoggedTransfer>& transfers() const { return log_; }
    void ClearTransfers() { log_.clear(); }
    // Transfers with this bRequest.
    size_t CountRequests(uint8_t request) const;
    // DNLOAD transfers whose data starts with these bytes (Atmel commands).
    size_t CountCommands(const std::vector<uint8_t>& prefix) const;

    // Called after the start command's zero-length DNLOAD, once the boot
    // loader has left the list: the version of the firmware it starts.
    std::function<void(uint8_t firmwareVersion)> onStartApplication;

private:
    int Transfer(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, unsigned char* data,
                 uint16_t length);
    int Answer(LoggedTransfer& entry, int result);
    int Stall(LoggedTransfer& entry, uint8_t status = 15);
    int Download(LoggedTransfer& entry, const unsigned char* data, uint16_t length);
    int Upload(LoggedTransfer& entry, unsigned char* data, uint16_t length);
    int GetStatus(LoggedTransfer& entry, unsigned char* data, uint16_t length);
    void RunCommand(const unsigned char* data, uint16_t length);
    void Program(const unsigned char* d, uint16_t length);
    void ExpireDetach();
    void FinishErase();
    void Enumerate();

    BootloaderConfig config_;
    BootloaderFaults faults_;
    std::array<uint8_t, kFlashSize> flash_{};

    bool attached_ = false;
    uint64_t appearAtUs_ = 0;
    uint64_t session_ = 0;
    uint8_t address_ = 0;
    int64_t answered_ = 0;

    uint8_t state_ = 2;
    uint8_t status_ = 0;
    bool erasing_ = false;
    uint64_t eraseDoneUs_ = 0;
    int erases_ = 0;
    int resets_ = 0;
    std::vector<uint8_t> upload_;  // what the next UPLOADs return
    bool uploadProtected_ = false;
    int launch_ = 0;               // 1 start with reset, 2 without reset
    bool blockPending_ = false;    // a program block waits for its GETSTATUS
    uint32_t pollMs_ = 0;          // bwPollTimeout of the next status answer
    uint64_t workUs_ = 0;          // device time of the transfer being answered
    uint64_t detachUntilUs_ = 0;   // appDETACH falls back to appIDLE then
    std::vector<LoggedTransfer> log_;
};

// A device on the virtual USB list, as the libusb stand-in sees it.
struct UsbListEntry {
    uint64_t key = 0;      // stable identity of the device
    uint64_t session = 0;  // changes on every enumeration
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint8_t bus = 1;
    uint8_t address = 0;
    VirtualBootloader* bootloader = nullptr;  // null for a device in its application
};

// How the libusb stand-in has been used, for tests (leaks, log level).
struct LibusbUse {
    int liveContexts = 0;
    int liveDevices = 0;
    int liveHandles = 0;
    int liveConfigDescriptors = 0;
    int liveDeviceLists = 0;
    int lastLogLevel = -1;
    uint64_t calls = 0;  // libusb calls that can fail, since the last Reset
};

class VirtualUsb {
public:
    VirtualUsb() = default;

    // A fresh USB side for the current tower: boot loaders of the earlier
    // world are gone, the faults cleared, the counters of the stand-in (but
    // not its live objects) restarted.
    void Reset();

    // The boot loader of the tower's i-th Base Controller (created on first
    // use; its flash holds the controller's firmware).
    VirtualBootloader& bootloaderOf(size_t controllerIndex = 0);
    // A further boot loader with the same ids that belongs to no Base
    // Controller; it is on the list after `delayUs`, after the others.
    VirtualBootloader& AddBootloader(uint64_t delayUs = 0, BootloaderConfig config = {},
                                     BootloaderFaults faults = {});

    // The devices on the USB list now, in list order: the boot loaders, then
    // the HID devices in their application.
    std::vector<UsbListEntry> List();
    // The entry with this key, if it is still on the list in that session.
    bool Find(uint64_t key, uint64_t session, UsbListEntry* entry);

    // Applies what the clock made due (boot loaders appearing, Base
    // Controllers coming back). The stand-in calls it on every call.
    void Update();

    // ---- Failure injection on the libusb stand-in ---------------------------------
    // The k-th (1 = the next) libusb call that can fail returns `code`.
    void FailCall(uint64_t k, int code);
    // Counts a call that can fail; returns 0 or the injected error code.
    int CountCall();
    LibusbUse& libusbUse() { return use_; }

    // Scripted answers: while set, every control transfer to a boot loader
    // on the list is answered by this function instead of the boot loader
    // (its result: bytes moved or a negative libusb code). For fuzzing the
    // host side with arbitrary device answers.
    using TransferScript = std::function<int(uint8_t requestType, uint8_t request, uint16_t value,
                                             uint16_t index, unsigned char* data, uint16_t length,
                                             unsigned timeoutMs)>;
    void SetTransferScript(TransferScript script) { script_ = std::move(script); }
    const TransferScript& transferScript() const { return script_; }

private:
    struct Link {
        std::weak_ptr<VirtualBaseController> controller;
        std::unique_ptr<VirtualBootloader> bootloader;
        uint64_t key = 0;
        bool standalone = false;  // a boot loader of no Base Controller
        bool seenInBootloader = false;
        bool returnPending = false;
        uint64_t returnAtUs = 0;
        uint8_t returnVersion = 0;
    };
    void Sync();
    Link& LinkFor(const std::shared_ptr<VirtualBaseController>& controller);
    void Wire(Link& link);

    std::vector<std::unique_ptr<Link>> links_;
    uint64_t nextKey_ = 1;
    std::map<uint64_t, int> failures_;
    LibusbUse use_;
    TransferScript script_;
};

// The USB side of the one virtual world. Never destroyed.
VirtualUsb& TheVirtualUsb();

}  // namespace kv::sim

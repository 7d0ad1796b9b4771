// The tower gadget: the sim/ models of the Base Controller and its boot
// loader, served on real time to the kernel's USB gadget drivers.
//
// One loop, one thread. The bus follows the models: while the Base
// Controller model is plugged in, a HID gadget with its ids is bound to the
// device controller; when it takes the bootloader report the HID gadget goes
// (the host sees an unplug) and, after the boot loader's appear delay, a
// FunctionFS gadget with the boot loader's ids comes; after the start command
// that goes too and, after the return delay, the Base Controller comes back
// running the version it was given. Control commands (gadget/control.h)
// arrive through a FIFO in the run folder; the gadget's state is written to
// the run folder's "state" file after every change, one "key=value" a line.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "gadget/configfs_gadget.h"
#include "gadget/control.h"
#include "gadget/dfu_function.h"
#include "gadget/hid_bridge.h"
#include "sim/virtual_base_controller.h"
#include "sim/virtual_bootloader.h"

namespace kv::gadget {

struct TowerGadgetOptions {
    std::string configfsRoot = "/sys/kernel/config/usb_gadget";
    std::string udc = "dummy_udc.0";
    // The run folder: control FIFO, state file, received log, the hidg node
    // and the FunctionFS mount.
    std::string runDir = "/run/kv-gadget";
    // A second HID gadget with the vendor's id and another product id, which
    // the program must pass over (empty udc: none).
    std::string decoyUdc;
    uint16_t decoyProductId = 0x0012;
    sim::BaseControllerConfig controller{};
    sim::BootloaderConfig bootloader{};
    // Owner of the control FIFO and readable files (-1: root only).
    int controlUid = -1;
    int controlGid = -1;
};

class TowerGadget {
public:
    explicit TowerGadget(TowerGadgetOptions options);
    ~TowerGadget();
    TowerGadget(const TowerGadget&) = delete;
    TowerGadget& operator=(const TowerGadget&) = delete;

    // Sets up the run folder and the gadgets and plugs the tower in. Returns
    // 0 or a negative errno (with a message on stderr).
    int Start();
    // Runs until *stop becomes non-zero (a signal handler sets it). Returns 0,
    // or a negative errno when the bus could not be made to follow.
    int Run(const volatile int* stop);
    // Applies one command line now (as if read from the FIFO).
    bool Command(const std::string& line);
    // Unbinds and removes everything.
    void Shutdown();

    sim::VirtualBaseController& controller() { return controller_; }
    sim::VirtualBootloader& bootloader() { return bootloader_; }

private:
    enum class Mode { Controller, BootloaderPending, Bootloader, Returning, Gone };

    int Step(int timeoutMs);
    int Follow();
    int PlugController();
    void UnplugController();
    int EnterBootloader();
    int BindBootloader();
    void LeaveBootloader();
    void ReadControl();
    void WriteState();
    int TimeoutMs();
    static const char* ModeName(Mode mode);

    TowerGadgetOptions options_;
    sim::VirtualBaseController controller_;
    sim::VirtualBootloader bootloader_;
    HidBridge bridge_;
    ConfigfsGadget tower_;
    std::unique_ptr<ConfigfsGadget> decoy_;
    std::unique_ptr<DfuFunction> dfu_;
    Mode mode_ = Mode::Gone;
    bool controllerCreated_ = false;
    int hidFd_ = -1;
    int controlFd_ = -1;
    int logFd_ = -1;
    bool ffsMounted_ = false;
    uint64_t dueUs_ = 0;  // when a pending bind or return is due
    uint8_t returnVersion_ = 0;
    uint64_t commands_ = 0;
    uint64_t rejected_ = 0;
    LineSplitter control_;
    std::string lastState_;
};

}  // namespace kv::gadget

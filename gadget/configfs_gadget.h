// One USB gadget in the kernel's configfs: its identity, its one
// configuration with one function, and its binding to a device controller.
//
// The tower gadget is re-created whenever the tower changes what it is on the
// bus (the Base Controller with a HID function, the boot loader with a
// FunctionFS function); binding writes the controller's name to UDC (the host
// sees the device plugged in), unbinding writes an empty line (the host sees
// it unplugged). Every call returns 0 or a negative errno.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kv::gadget {

struct GadgetIdentity {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t bcdDevice = 0x0100;
    std::string manufacturer;
    std::string product;
    std::string serial;
};

// The HID function of the Base Controller: 8-byte reports in and out.
struct HidFunctionSetup {
    std::vector<uint8_t> reportDescriptor;
    unsigned reportLength = 8;
    unsigned subclass = 0;  // no boot interface
    unsigned protocol = 0;
};

// The vendor-defined report descriptor of the Base Controller: one 8-byte
// input and one 8-byte output report, no report IDs.
std::vector<uint8_t> BaseControllerReportDescriptor();

class ConfigfsGadget {
public:
    // configfsRoot: the usb_gadget folder of the mounted configfs; name: the
    // gadget's folder below it; udc: the device controller to bind to.
    ConfigfsGadget(std::string configfsRoot, std::string name, std::string udc);
    ~ConfigfsGadget();
    ConfigfsGadget(const ConfigfsGadget&) = delete;
    ConfigfsGadget& operator=(const ConfigfsGadget&) = delete;

    // Creates the gadget with a HID function (function folder hid.<name>).
    int CreateHid(const GadgetIdentity& id, const HidFunctionSetup& hid);
    // Creates the gadget with a FunctionFS function whose instance is
    // ffsInstance (mount it with that name as the device).
    int CreateFunctionFs(const GadgetIdentity& id, const std::string& ffsInstance);
    // Unbinds if bound and removes everything Create made. Safe to repeat.
    int Remove();

    int Bind();
    int Unbind();
    bool bound() const { return bound_; }
    bool created() const { return created_; }
    const std::string& udc() const { return udc_; }

    // The "major:minor" of the HID function's character device (/dev/hidgN).
    int HidDeviceNumber(unsigned* major, unsigned* minor) const;

private:
    int CreateCommon(const GadgetIdentity& id);
    int LinkFunction(const std::string& function);

    std::string root_;
    std::string name_;
    std::string udc_;
    std::string dir_;
    std::string function_;  // e.g. "hid.tower"
    bool created_ = false;
    bool bound_ = false;
};

// Small file helpers, exposed for the gadget's own use.
int WriteTextFile(const std::string& path, const std::string& text);
int WriteBinaryFile(const std::string& path, const std::vector<uint8_t>& bytes);
int ReadTextFile(const std::string& path, std::string* text);

}  // namespace kv::gadget

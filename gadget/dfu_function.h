// The boot loader side of the tower gadget: the Atmel DFU boot loader
// (03EB:2FF4) as a FunctionFS function.
//
// The function owns the FunctionFS instance's ep0 file. Start() writes the
// descriptors (full and high speed: one interface, class 0xFE, subclass 1,
// protocol 2, DFU functional descriptor, no endpoints besides ep0) and the
// strings, and brings the boot loader model onto the bus; the gadget may be
// bound to its UDC after that. Serve() then reads the events on ep0 and
// answers every class request to the DFU interface (DETACH, DNLOAD, UPLOAD,
// GETSTATUS, CLRSTATUS, GETSTATE, ABORT) through
// sim::VirtualBootloader::ControlTransfer on the real clock; what the model
// refuses is refused on the bus by halting ep0 (an OUT request with data
// before its data stage when the model refuses it whatever the data). A USB
// reset reaches the model when it waits for one (after DETACH). The model
// decides everything about DFU states, erase and programming times and
// faults; this class only carries its answers to the wire.
//
// Driven from the gadget's single loop: poll fd() for POLLIN and call
// Serve() when it is readable (Serve never waits for a next event). Serve
// tells the loop, through its result, when the host has started the
// application (unbind, come back as the Base Controller with
// startedVersion()) or when the model left the bus on its own (an injected
// unplug in the middle of an update: unbind). Single-threaded.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kv::sim {
class VirtualBootloader;
}

namespace kv::gadget {

// The ep0 file of a FunctionFS instance, as the function uses it. Reads and
// writes return the bytes moved or a negative errno. While a SETUP event is
// pending, a read or write in the request's direction is its data (or
// status) stage, and one against it halts ep0 (-EL2HLT).
class Ep0 {
public:
    virtual ~Ep0() = default;
    virtual int Open(const std::string& path) = 0;
    virtual void Close() = 0;
    virtual int fd() const = 0;
    virtual ssize_t Read(void* data, size_t length) = 0;
    virtual ssize_t Write(const void* data, size_t length) = 0;
    // True when a read would not block (an event or a data stage is there).
    virtual bool Readable() = 0;
};

// ep0 on the kernel's file.
std::unique_ptr<Ep0> MakeFileEp0();

class DfuFunction {
public:
    // What a Serve() call asks of the gadget's loop.
    enum class Event {
        None,              // nothing for the loop; keep polling
        StartApplication,  // the start command is done: unbind, come back as
                           // the Base Controller running startedVersion()
        Unplugged,         // the model left the bus (injected fault): unbind
        Failed,            // ep0 broke (read/write error other than a halt)
    };

    // One answered request, for the gadget's log.
    struct Served {
        uint64_t timeUs = 0;
        uint8_t requestType = 0;
        uint8_t request = 0;
        uint16_t value = 0;
        uint16_t index = 0;
        uint16_t length = 0;
        int result = 0;  // the model's result: bytes moved or a negative libusb code
        bool halted = false;  // ep0 was halted for it
        std::vector<uint8_t> head;  // the first bytes of its data (the Atmel command)
    };

    // functionFsDir: the mounted FunctionFS instance (the folder holding ep0).
    // The model must outlive the function.
    DfuFunction(std::string functionFsDir, sim::VirtualBootloader& bootloader);
    // The same on another ep0 (tests).
    DfuFunction(std::string functionFsDir, sim::VirtualBootloader& bootloader, std::unique_ptr<Ep0> ep0);
    ~DfuFunction();
    DfuFunction(const DfuFunction&) = delete;
    DfuFunction& operator=(const DfuFunction&) = delete;

    // Opens ep0, writes descriptors and strings, and enumerates the model
    // (fresh DFU state, flash kept). A kernel that refuses the DFU functional
    // descriptor gets the interface without it. Returns 0 or a negative
    // errno; on failure nothing stays open. Call before writing the UDC name.
    int Start();
    // Whether the kernel took the DFU functional descriptor.
    bool functionalDescriptor() const { return functionalDescriptor_; }
    // Closes ep0 (the FunctionFS function is gone for the gadget). Call after
    // unbinding the UDC. Safe to call twice.
    void Stop();
    bool started() const { return started_; }

    // ep0, to poll for POLLIN; -1 when not started.
    int fd() const;

    // Handles every event ep0 has now and returns what the loop must do.
    Event Serve();

    // True between the host enabling the configuration and disabling it.
    bool enabled() const { return enabled_; }
    // The firmware version the model started (valid after StartApplication).
    uint8_t startedVersion() const { return startedVersion_; }
    // Every request answered since Start(), oldest first.
    const std::vector<Served>& served() const { return served_; }

    // Writes one line per answered request to fd (-1: none; not owned):
    //   dfu TIME_US bmRequestType bRequest wValue wIndex wLength RESULT HEAD [halted]
    // numbers in decimal, bmRequestType and HEAD (the first bytes of the
    // data, "-" for none) in hexadecimal.
    void SetLog(int fd) { logFd_ = fd; }
    static std::string LogLine(const Served& served);

    // The descriptor and string blobs written to ep0, with or without the
    // DFU functional descriptor.
    static std::vector<uint8_t> DescriptorBlob(bool functional = true);
    static std::vector<uint8_t> StringBlob();

private:
    Event HandleSetup(const uint8_t* setup);
    bool Halt(bool in);
    void Record(Served served);
    int WriteDescriptors(bool functional);

    std::string dir_;
    sim::VirtualBootloader& bootloader_;
    std::unique_ptr<Ep0> ep0_;
    bool started_ = false;
    bool functionalDescriptor_ = true;
    bool enabled_ = false;
    bool applicationStarted_ = false;
    uint8_t startedVersion_ = 0;
    std::vector<Served> served_;
    int logFd_ = -1;
};

}  // namespace kv::gadget

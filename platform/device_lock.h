// DeviceLock: a tower is held by one program at a time.
//
// The lock is an exclusive flock on the device node the HID link opens
// (/dev/hidrawN), taken before the node is opened for the link and held until
// it is closed. Beside it a small record file names the holding program and
// its pid, so a second program can say who holds the tower instead of
// opening it under it. Both go away with the holder: flock ends with the
// process, and a record whose pid is gone or whose lock is free is ignored.
//
// With KESTRIVANE_LOCK_DIR set (tests, the virtual tower, whose device paths
// are not files) the lock is a file in that folder named after the device
// path, and the record lies beside it. A device path that is no file and has
// no lock folder (hidapi's paths on Windows and macOS) is not locked.
#pragma once

#include <string>

namespace kv {

class DeviceLock {
public:
    DeviceLock() = default;
    ~DeviceLock() { Release(); }
    DeviceLock(const DeviceLock&) = delete;
    DeviceLock& operator=(const DeviceLock&) = delete;

    // Takes the lock for the device at `devicePath`. True when this program
    // holds it now (or the path cannot be locked at all); false when another
    // program holds it: holder() then names it.
    bool Acquire(const std::string& devicePath);
    // Gives the lock back and removes the record; nothing when none is held.
    void Release();
    bool held() const { return fd_ >= 0; }
    // Who holds the device after a failed Acquire: "kestrivaned (pid 812)",
    // or "another program" when it left no record.
    const std::string& holder() const { return holder_; }

private:
    int fd_ = -1;
    std::string recordPath_;
    std::string holder_;
};

// The name the record gives this program; default: the executable's name.
void SetDeviceLockProgramName(const std::string& name);

// The file flocked for a device path, and the record beside it ("" when the
// path is not locked).
std::string DeviceLockFile(const std::string& devicePath);
std::string DeviceLockRecord(const std::string& devicePath);

}  // namespace kv

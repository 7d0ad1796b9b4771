// SessionHost: what a TowerSession needs from the front end that holds it.
//
// The session decides everything about the tower; the host only owns what is
// its own: the tick that drives the poll cycle (a window timer, a loop), the
// screen the session's model is drawn on, the firmware update entry with its
// dialogs, and the end of the program.
#pragma once

namespace kv {

class SessionHost {
public:
    virtual ~SessionHost() = default;

    // The poll tick (30 ms) starts or stops. A host whose loop calls
    // TowerSession::Tick anyway may ignore these: Tick does nothing while the
    // tick is stopped.
    virtual void StartTick() {}
    virtual void StopTick() {}
    // The model changed: draw it. Called once at the end of each operation
    // that changed it, and where the session shows its state on purpose.
    virtual void Repaint() {}
    // The firmware update entry (the menu entry and the poll cycle's version
    // check). Returns false when this host runs no update: the session then
    // counts the update as declined.
    virtual bool RunFirmwareUpdate() { return false; }
    // The session has ended (Exit, or the version check ending the program)
    // with this result.
    virtual void SessionEnded(int result) { (void)result; }
};

}  // namespace kv

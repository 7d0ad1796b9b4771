// PollCycle: one step per tick of timer 101 keeps the window in step with the
// tower while the link is open.
#pragma once

#include "device/device_state.h"
#include "device/hid_link.h"
#include "device/pattern_tables.h"
#include "sync/main_view.h"
#include "sync/send_path.h"

namespace kv {

class PollCycle {
public:
    PollCycle(DeviceState& state, HidLink& link, MainView& view, SendPath& send,
              PatternTables& patterns);

    void Tick();
    void ResetShownCopies();
    void UpdateRowControls();

private:
    DeviceState& state_;
    HidLink& link_;
    MainView& view_;
    SendPath& send_;
    PatternTables& patterns_;
    // The shown copies (combo, slider and panel groups) live here.
};

}  // namespace kv

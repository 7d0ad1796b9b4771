// SendPath: turns the rows the window shows into paced output reports, and
// sends the connection and state reports.
#pragma once

#include <cstdint>

#include "device/device_state.h"
#include "device/hid_link.h"
#include "device/pattern_tables.h"
#include "sync/main_view.h"

namespace kv {

class SendPath {
public:
    SendPath(DeviceState& state, HidLink& link, MainView& view, PatternTables& patterns);

    // Fills rowCommand[row] and rowChecksum[row]; sends nothing.
    void ComposeRow(uint8_t address, uint16_t level, uint8_t code, int row);
    // outputReport := 0, b1..b8; lastWriteFailed := the write's result.
    int SendReport(uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4, uint8_t b5, uint8_t b6,
                   uint8_t b7, uint8_t b8);
    void SendRowPattern(int row);
    void ShowSendResult(int n);
    void SendRow(int row);
    void SendPendingRows();
    void SendConnectionReports();
    void SendStateReport(uint8_t on, int row);
    // The Send button: timer stopped and reads suspended around the rows.
    void OnSend();

private:
    DeviceState& state_;
    HidLink& link_;
    MainView& view_;
    PatternTables& patterns_;
};

}  // namespace kv

// SendPath: turns the rows the window shows into paced output reports, and
// sends the connection and state reports.
//
// A row is first composed into rowCommand/rowChecksum (by the output panel when
// the user changes it, by the poll cycle when the device reports it); nothing
// goes out then. The Send button sends every pending row whose command differs
// from what was last sent, each as one paced sequence: switch off, the two
// pattern reports, the result text, switch back to the row's on/off state.
#pragma once

#include <cstdint>

#include "device/device_state.h"
#include "device/hid_link.h"
#include "device/pattern_tables.h"
#include "device/report_protocol.h"
#include "sync/main_view.h"

namespace kv {

// Texts of the message line.
inline constexpr const char* kSendSucceededText = "Successfull send to segment(s)";
inline constexpr const char* kSendFailedText = "Warning: Failed send to device!";

// Ticks a send result stays on the message line.
constexpr uint8_t kSendResultTicks = 70;

// Pauses of the send sequences, in milliseconds.
constexpr uint32_t kPauseAfterConnectionReportMs = 50;
constexpr uint32_t kPauseAfterStateReportMs = 25;
constexpr uint32_t kPauseBeforeRowMs = 50;
constexpr uint32_t kPauseAfterSwitchOffMs = 120;
constexpr uint32_t kPauseAfterPatternMs = 120;
constexpr uint32_t kPauseAfterSendMs = 150;

// How the last press of Send ended.
enum class SendOutcome {
    NothingSent,  // no pending row differed from what was last sent
    Sent,         // every row sequence went out
    Failed,       // a write of a row sequence failed (or no link was open)
};

class SendPath {
public:
    SendPath(DeviceState& state, HidLink& link, MainView& view, PatternTables& patterns);

    // Fills rowCommand[row] and rowChecksum[row]; sends nothing. Rows 0..4
    // take light pattern `code` with the level in param[2..3]; row 5 takes
    // beep pattern `code` as it stands (the level is not used). Rows outside
    // 0..5 are ignored.
    void ComposeRow(uint8_t address, uint16_t level, uint8_t code, int row);
    // outputReport := 0, b1..b8; lastWriteFailed := the write's result (0 ok,
    // 1 failed or no link). Returns that result.
    int SendReport(uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4, uint8_t b5, uint8_t b6,
                   uint8_t b7, uint8_t b8);
    // The same for a frame built by the report builders (byte 0 is forced 0).
    int SendFrame(const Report& frame);
    // The two pattern reports of rowCommand[row], without a pause between.
    void SendRowPattern(int row);
    // The send result of row number n (1..6) on the message line: the warning
    // when a write of the current row sequence (or, outside a sequence, the
    // last write) failed, else the success text for 70 ticks.
    void ShowSendResult(int n);
    // The paced sequence of one row.
    void SendRow(int row);
    // Every pending row whose checksum differs from the last sent one, in row
    // order; absent segments are marked sent without sending.
    void SendPendingRows();
    // Connection report to every present segment, 50 ms after each.
    void SendConnectionReports();
    // State report to the segment at the row, if any, then 25 ms.
    void SendStateReport(uint8_t on, int row);
    // The Send button: timer stopped and reads suspended around the rows,
    // 150 ms after them.
    void OnSend();
    // The outcome of the last OnSend; NothingSent before the first.
    SendOutcome lastSendOutcome() const { return lastOutcome_; }

    // Host report: 1 when the host connects, 0 when it disconnects.
    int SendHostReport(bool connected);

private:
    DeviceState& state_;
    HidLink& link_;
    MainView& view_;
    PatternTables& patterns_;
    // While a row sequence runs: 1 once any of its writes failed.
    bool inRowSequence_ = false;
    bool rowSequenceFailed_ = false;
    SendOutcome lastOutcome_ = SendOutcome::NothingSent;
};

}  // namespace kv

#include "sync/connection_control.h"

#include "platform/clock.h"

namespace kv {

std::string HeldByText(const std::string& holder)
{
    return "The tower is held by " + holder + ".";
}

ConnectionControl::ConnectionControl(DeviceState& state, HidLink& link, MainView& view, SendPath& send,
                                     PollCycle& poll)
    : state_(state), link_(link), view_(view), send_(send), poll_(poll)
{}

void ConnectionControl::OnOpenClose()
{
    view_.SetMessageLine("");
    bool open = link_.IsOpen() != 0;
    if (state_.forceClose != 0) {
        open = true;
        state_.forceClose = 0;
    }
    if (open)
        Close();
    else
        Open();
}

void ConnectionControl::Open()
{
    if (link_.Open() == nullptr) {
        // Another program holding the tower is named, so the user knows
        // which one to close.
        if (link_.heldBy().empty())
            view_.SetMessageLine(kUnableToOpenText);
        else
            view_.SetMessageLine(std::string(kUnableToOpenText) + " " + HeldByText(link_.heldBy()));
        view_.SetStatusLine(kStatusOffline);
    } else {
        ComeOnline(Reopen::NewConnection);
    }
    poll_.UpdateRowControls();
}

void ConnectionControl::ComeOnline(Reopen how)
{
    if (how == Reopen::NewConnection)
        state_.firmwareChecked = 0;
    else
        state_.firmwareUpdated = 1;
    view_.EnableToolMenu(true);
    view_.SetOpenCloseCaption(kCloseCaption);
    view_.SetMessageLine("");
    view_.SetStatusLine(kStatusOnline);
    view_.EnableSend(true);
    if (how == Reopen::AfterUpdate)
        view_.EnableOpenClose(true);
    view_.StartPollTimer();
    poll_.ResetShownCopies();
    ResetSwitchState(state_);
    state_.connectionReportPending = 1;
    send_.SendHostReport(true);
    // What was seen belongs to the link before; this one warms up from its
    // own reports, so the connection reports go to the segments it reports.
    state_.reportSeen.fill(0);
}

void ConnectionControl::GoOffDevice()
{
    send_.SendConnectionReports();
    ResetSwitchState(state_);
    send_.SendHostReport(false);
}

void ConnectionControl::Close()
{
    view_.EnableToolMenu(false);
    GoOffDevice();
    view_.StopPollTimer();
    state_.lastLinkResult = 0;
    link_.Close();
    view_.SetOpenCloseCaption(kOpenCaption);
    view_.EnableSend(false);
    view_.SetStatusLine(kStatusOffline);
    view_.ResetInputPanel();
    view_.ResetOutputPanel();
    view_.DisableAllRows();
    // segmentAddress is clear now, so every row stays disabled.
    poll_.UpdateRowControls();
}

void ConnectionControl::OnExit()
{
    GoOffDevice();
    SleepMs(kPauseAfterExitReportMs);
    view_.StopPollTimer();
    state_.lastLinkResult = 0;
    link_.Close();
    view_.EndMainWindow(0);
}

}  // namespace kv

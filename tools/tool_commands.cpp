#include "tools/tool_commands.h"

#include <QApplication>
#include <QPointer>

#include "device/hid_link.h"
#include "session/tower_session.h"
#include "tools/address_change_dialog.h"
#include "tools/port_mapping_dialog.h"
#include "tools/switching_threshold_dialog.h"

namespace kv {

namespace {

struct ToolDialogs {
    QPointer<CPort_Mapping> portMapping;
    QPointer<CChangeAddress> instructions;
    QPointer<CNEWSEGMENT> newColour;
    QPointer<CSwitchingThreshold> threshold;
};

ToolDialogs& Dialogs()
{
    static ToolDialogs dialogs;
    return dialogs;
}

}  // namespace

void CreateToolDialogs(TowerSession& session, QWidget* parent)
{
    // Without a parent the dialogs belong to the window the user works in
    // (the main window), so they go when it goes.
    if (parent == nullptr)
        parent = QApplication::activeWindow();
    ToolDialogs& d = Dialogs();
    DeviceState& s = session.state();
    if (!d.portMapping)
        d.portMapping = new CPort_Mapping(ThePortMappingState(), s, SessionToolLink(session), parent);
    if (!d.instructions)
        d.instructions = new CChangeAddress(TheAddressChangeState(), s, parent);
    if (!d.newColour)
        d.newColour =
            new CNEWSEGMENT(TheAddressChangeState(), s, SessionToolLink(session), parent);
    if (!d.threshold)
        d.threshold = new CSwitchingThreshold(TheSwitchingThresholdState(), s,
                                              SessionToolLink(session), parent);
}

void DestroyToolDialogs()
{
    ToolDialogs& d = Dialogs();
    delete d.portMapping.data();
    delete d.instructions.data();
    delete d.newColour.data();
    delete d.threshold.data();
}

void PresetPortCodes()
{
    PresetPortCodes(ThePortMappingState());
}

void RunPortMapping(TowerSession& session, QWidget* parent)
{
    if (!session.IsOpen())
        return;
    CreateToolDialogs(session, parent);
    Dialogs().portMapping->Run();
}

void RunChangeAddress(TowerSession& session, QWidget* parent)
{
    AddressChangeState& a = TheAddressChangeState();
    const ChangeAddressStep step = DecideChangeAddress(a, session.state(), session.IsOpen());
    if (step == ChangeAddressStep::Nothing)
        return;
    CreateToolDialogs(session, parent);
    ToolDialogs& d = Dialogs();
    switch (step) {
    case ChangeAddressStep::Instructions:
        if (d.instructions->Run() == CChangeAddress::kRunNewColour)
            d.newColour->Run();
        break;
    case ChangeAddressStep::AcousticRefused:
        ShowToolMessageBox(parent != nullptr ? parent : QApplication::activeWindow(),
                           ToolMessage{kAcousticRefusedText, kAcousticRefusedCaption});
        break;
    case ChangeAddressStep::NewColour:
        d.newColour->Run();
        break;
    case ChangeAddressStep::Nothing:
        break;
    }
    EndChangeAddress(a);
}

void RunSwitchingThreshold(TowerSession& session, QWidget* parent)
{
    CreateToolDialogs(session, parent);
    Dialogs().threshold->Run();
}

}  // namespace kv

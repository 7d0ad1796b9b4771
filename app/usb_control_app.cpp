#include "app/usb_control_app.h"

#include <QStyleFactory>

#include <memory>

#include "app/help/about_dialog.h"
#include "app/help/info_dialog.h"
#include "app/window_pictures.h"
#include "device/device_state.h"
#include "device/hid_link.h"
#include "device/pattern_tables.h"
#include "tools/tool_commands.h"
#include "update/firmware_update_path.h"
#include "update/update_dialogs_qt.h"

CUSBControlAppApp::CUSBControlAppApp(int& argc, char** argv) : app_(argc, argv)
{
    QApplication::setApplicationName("Kestrivane");
    QApplication::setWindowIcon(kv::ApplicationIcon());
    // The same look on every desktop.
    if (QStyle* style = QStyleFactory::create("Fusion"))
        QApplication::setStyle(style);
}

bool CUSBControlAppApp::InitInstance()
{
    CUSBControlAppDlg dlg(kv::TheDeviceState(), kv::TheHidLink(), kv::ThePatternTables());
    dlg.SetMenuCommands(menu_);
    if (windowReady_)
        windowReady_(dlg);
    dlg.DoModal();
    return false;
}

namespace kv {

int RunKestrivane(int argc, char** argv)
{
    CUSBControlAppApp app(argc, argv);
    CInfo info(TheDeviceState());
    CAbout about(MakerLogoPicture());
    MenuCommands menu;
    menu.info = [&info] { info.DoModal(); };
    menu.about = [&about] { about.DoModal(); };
    CreateToolDialogs(nullptr);
    PresetPortCodes();
    menu.portMapping = [] { RunPortMapping(nullptr); };
    menu.changeAddress = [] { RunChangeAddress(nullptr); };
    menu.switchingThreshold = [] { RunSwitchingThreshold(nullptr); };
    UpdateDialogsQt updateDialogs(TheHidLink());
    std::unique_ptr<FirmwareUpdatePath> firmwareUpdate;
    app.SetWindowReady([&](CUSBControlAppDlg& dlg) {
        firmwareUpdate = std::make_unique<FirmwareUpdatePath>(
            TheDeviceState(), TheHidLink(), dlg, dlg.sendPath(), dlg.pollCycle(), updateDialogs);
    });
    menu.firmwareUpdate = [&firmwareUpdate] {
        if (firmwareUpdate)
            firmwareUpdate->OnFirmwareUpdate();
    };
    app.SetMenuCommands(menu);
    app.InitInstance();
    firmwareUpdate.reset();
    DestroyToolDialogs();
    return 0;
}

}  // namespace kv

#include "app/usb_control_app.h"

#include "app/help/about_dialog.h"
#include "ui/dialog_style.h"
#include "app/help/info_dialog.h"
#include "app/window_pictures.h"
#include "device/device_state.h"
#include "device/hid_link.h"
#include "device/pattern_tables.h"
#include "tools/tool_commands.h"
#include "update/firmware_update_path.h"
#include "update/update_dialogs_qt.h"

namespace kv {

ProgramDialogs::ProgramDialogs(CUSBControlAppDlg& window)
    : window_(window),
      info_(std::make_unique<CInfo>(window.session().state(), &window)),
      about_(std::make_unique<CAbout>(MakerLogoPicture(window.devicePixelRatioF()), &window)),
      updateDialogs_(std::make_unique<UpdateDialogsQt>(window.session().link(), &window)),
      firmwareUpdate_(std::make_unique<FirmwareUpdatePath>(window.session(), *updateDialogs_))
{
    CreateToolDialogs(window.session(), &window);
}

ProgramDialogs::~ProgramDialogs()
{
    firmwareUpdate_.reset();
    DestroyToolDialogs();
}

MenuCommands ProgramDialogs::Commands()
{
    MenuCommands menu;
    menu.info = [this] { info_->DoModal(); };
    menu.about = [this] { about_->DoModal(); };
    menu.portMapping = [this] { RunPortMapping(window_.session(), &window_); };
    menu.changeAddress = [this] { RunChangeAddress(window_.session(), &window_); };
    menu.switchingThreshold = [this] { RunSwitchingThreshold(window_.session(), &window_); };
    menu.firmwareUpdate = [this] { firmwareUpdate_->OnFirmwareUpdate(); };
    return menu;
}

}  // namespace kv

CUSBControlAppApp::CUSBControlAppApp(int& argc, char** argv) : app_(argc, argv)
{
    QApplication::setApplicationName("Kestrivane");
    QApplication::setWindowIcon(kv::ApplicationIcon());
    // The same look and manners on every desktop.
    kv::ApplyProgramManners();
}

bool CUSBControlAppApp::InitInstance()
{
    CUSBControlAppDlg dlg(kv::TheDeviceState(), kv::TheHidLink(), kv::ThePatternTables());
    // Made after the window, so they go before it.
    kv::ProgramDialogs dialogs(dlg);
    dlg.SetMenuCommands(dialogs.Commands());
    dlg.DoModal();
    return false;
}

namespace kv {

int RunKestrivane(int argc, char** argv)
{
    CUSBControlAppApp app(argc, argv);
    PresetPortCodes();
    app.InitInstance();
    return 0;
}

}  // namespace kv

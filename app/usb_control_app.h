// CUSBControlAppApp: the application object. It runs the main window as a
// modal dialog and ends the program when the window closes.
#pragma once

#include <QApplication>

#include <functional>

#include "app/usb_control_app_dlg.h"

class CUSBControlAppApp {
public:
    CUSBControlAppApp(int& argc, char** argv);

    // The program's dialogs, created before the window starts and kept for the
    // whole run; the menu commands run them again each time.
    void SetMenuCommands(kv::MenuCommands commands) { menu_ = std::move(commands); }
    // Called with the main window once it exists, before it runs (what needs
    // the window itself, such as the firmware update path, is built here).
    void SetWindowReady(std::function<void(CUSBControlAppDlg&)> ready) { windowReady_ = std::move(ready); }

    // Runs the main window; always false, so no message loop of its own
    // follows.
    bool InitInstance();

    QApplication& application() { return app_; }

private:
    QApplication app_;
    kv::MenuCommands menu_;
    std::function<void(CUSBControlAppDlg&)> windowReady_;
};

namespace kv {

// The whole program after the HID and USB back ends are in place: the
// application object, the long-lived dialogs and the main window.
int RunKestrivane(int argc, char** argv);

}  // namespace kv

// CUSBControlAppApp: the application object. It runs the main window and
// ends the program when the window closes.
#pragma once

#include <QApplication>

#include <functional>
#include <memory>

#include "app/usb_control_app_dlg.h"

class CAbout;
class CInfo;

namespace kv {

class FirmwareUpdatePath;
class UpdateDialogsQt;

// The program's dialogs besides the main window: Info, About, the update
// dialogs and the tool dialogs. They are made once, as soon as the main
// window exists and before it runs, belong to it (each opens over it and
// goes with it) and are run again by each menu command.
class ProgramDialogs {
public:
    explicit ProgramDialogs(CUSBControlAppDlg& window);
    ~ProgramDialogs();
    ProgramDialogs(const ProgramDialogs&) = delete;
    ProgramDialogs& operator=(const ProgramDialogs&) = delete;

    // The menu commands that run them.
    MenuCommands Commands();

    CInfo& info() { return *info_; }
    CAbout& about() { return *about_; }
    UpdateDialogsQt& updateDialogs() { return *updateDialogs_; }

private:
    CUSBControlAppDlg& window_;
    std::unique_ptr<CInfo> info_;
    std::unique_ptr<CAbout> about_;
    std::unique_ptr<UpdateDialogsQt> updateDialogs_;
    std::unique_ptr<FirmwareUpdatePath> firmwareUpdate_;
};

}  // namespace kv

class CUSBControlAppApp {
public:
    CUSBControlAppApp(int& argc, char** argv);

    // Runs the main window with its dialogs; always false, so no message
    // loop of its own follows. `besideWindow` is given the window before it
    // runs (the demo adds its tower window there).
    bool InitInstance(const std::function<void(CUSBControlAppDlg&)>& besideWindow = {});

    QApplication& application() { return app_; }

private:
    QApplication app_;
};

namespace kv {

// The whole program after the HID and USB back ends are in place: the
// application object, the long-lived dialogs and the main window.
int RunKestrivane(int argc, char** argv, const std::function<void(CUSBControlAppDlg&)>& besideWindow = {});

}  // namespace kv

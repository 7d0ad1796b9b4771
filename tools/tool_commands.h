// What the main window's Tools menu calls. Each dialog exists once for the
// run: CreateToolDialogs makes them over the window's session (the main
// window calls it before it starts; the Run functions make them on first use
// otherwise) and they live until DestroyToolDialogs or until their parent
// goes. A null parent stands for the active window (the main window while it
// runs). The dialogs write through the session's link and read its state.
#pragma once

class QWidget;

namespace kv {

class TowerSession;

void CreateToolDialogs(TowerSession& session, QWidget* parent);
void DestroyToolDialogs();

// Start-up: Red 1, Yellow 1, Green 1, Blue 1, White 1 on input ports 1..5.
void PresetPortCodes();

// "&Port Mapping": runs the dialog modally while the HID link is open;
// nothing otherwise.
void RunPortMapping(TowerSession& session, QWidget* parent);
// "&Change Address": nothing while the link is closed; otherwise the
// instruction dialog, the acoustic message box or the New Colour dialog, as
// the connected segments decide.
void RunChangeAddress(TowerSession& session, QWidget* parent);
// "&Switching Threshold": runs the dialog modally.
void RunSwitchingThreshold(TowerSession& session, QWidget* parent);

}  // namespace kv

// What the main window's Tools menu calls. Each dialog exists once for the
// run: CreateToolDialogs makes them (the main window calls it before it
// starts; the Run functions make them on first use otherwise) and they live
// until DestroyToolDialogs or until their parent goes. A null parent stands
// for the active window (the main window while it runs).
#pragma once

class QWidget;

namespace kv {

void CreateToolDialogs(QWidget* parent);
void DestroyToolDialogs();

// Start-up: Red 1, Yellow 1, Green 1, Blue 1, White 1 on input ports 1..5.
void PresetPortCodes();

// "&Port Mapping": runs the dialog modally while the HID link is open;
// nothing otherwise.
void RunPortMapping(QWidget* parent);
// "&Change Address": nothing while the link is closed; otherwise the
// instruction dialog, the acoustic message box or the New Colour dialog, as
// the connected segments decide.
void RunChangeAddress(QWidget* parent);
// "&Switching Threshold": runs the dialog modally.
void RunSwitchingThreshold(QWidget* parent);

}  // namespace kv

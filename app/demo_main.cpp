// Kestrivane on the virtual tower: five colour segments and the sound segment
// at address 33 on a Base Controller running firmware 28, on the real clock,
// so the program can be tried without hardware. Beside the main window, the
// "Virtual Tower" window unplugs and plugs the tower, takes segments off and
// gives the Base Controller another firmware version.
#include <QTimer>

#include "app/demo_tower_window.h"
#include "app/usb_control_app.h"
#include "sim/virtual_tower.h"

int main(int argc, char** argv)
{
    kv::sim::TheVirtualTower().Reset();
    return kv::RunKestrivane(argc, argv, [](CUSBControlAppDlg& window) {
        auto* tower = new kv::DemoTowerWindow(&window);
        // Once the main window is on screen, beside it.
        QTimer::singleShot(0, tower, [tower, &window] {
            tower->move(window.frameGeometry().topRight() + QPoint(8, 0));
            tower->show();
        });
    });
}

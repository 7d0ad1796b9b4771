// Kestrivane on the virtual tower: five colour segments and the sound segment
// at address 33 on a Base Controller running firmware 28, on the real clock,
// so the program can be tried without hardware.
#include "app/usb_control_app.h"
#include "sim/virtual_tower.h"

int main(int argc, char** argv)
{
    kv::sim::TheVirtualTower().Reset();
    return kv::RunKestrivane(argc, argv);
}

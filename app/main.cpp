// Kestrivane on the real Base Controller: hidapi and libusb-1.0 as installed.
#include "app/usb_control_app.h"

int main(int argc, char** argv) { return kv::RunKestrivane(argc, argv); }

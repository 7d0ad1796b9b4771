// The demo's "Virtual Tower" window: a view of DemoTowerControl beside the
// main window. Its boxes follow the tower (an update changes the firmware,
// Change Address the addresses) twice a second.
#pragma once

#include <QTimer>
#include <QWidget>

#include <array>

#include "app/demo_tower_control.h"

class QCheckBox;
class QLabel;
class QLineEdit;

namespace kv {

class DemoTowerWindow : public QWidget {
    Q_OBJECT
public:
    explicit DemoTowerWindow(QWidget* owner);

private:
    void Refresh();

    sim::DemoTowerControl control_;
    QTimer refresh_;
    QCheckBox* plugged_ = nullptr;
    std::array<QCheckBox*, sim::kDemoPositions> segments_{};
    QLineEdit* firmware_ = nullptr;
    QLabel* firmwareNow_ = nullptr;
};

}  // namespace kv

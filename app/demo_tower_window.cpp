#include "app/demo_tower_window.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace kv {

DemoTowerWindow::DemoTowerWindow(QWidget* owner) : QWidget(owner, Qt::Tool)
{
    setWindowTitle("Virtual Tower (demo)");
    auto* layout = new QVBoxLayout(this);

    plugged_ = new QCheckBox("Base Controller plugged in", this);
    connect(plugged_, &QCheckBox::toggled, this, [this](bool on) {
        control_.SetPluggedIn(on);
        Refresh();
    });
    layout->addWidget(plugged_);

    auto* stack = new QGroupBox("Segments on the tower (top first)", this);
    auto* stackLayout = new QVBoxLayout(stack);
    for (int p = sim::kDemoPositions - 1; p >= 0; --p) {
        auto* box = new QCheckBox(stack);
        segments_[static_cast<size_t>(p)] = box;
        connect(box, &QCheckBox::toggled, this, [this, p](bool on) {
            control_.SetSegmentOn(p, on);
            Refresh();
        });
        stackLayout->addWidget(box);
    }
    layout->addWidget(stack);

    auto* firmware = new QGroupBox("Base Controller firmware", this);
    auto* form = new QFormLayout(firmware);
    firmwareNow_ = new QLabel(firmware);
    form->addRow("Runs:", firmwareNow_);
    auto* row = new QHBoxLayout;
    firmware_ = new QLineEdit(firmware);
    firmware_->setPlaceholderText("2.5");
    auto* set = new QPushButton("Set", firmware);
    row->addWidget(firmware_);
    row->addWidget(set);
    form->addRow("New version:", row);
    auto apply = [this] {
        if (control_.SetFirmwareText(firmware_->text().trimmed().toStdString()))
            firmware_->clear();
        Refresh();
    };
    connect(set, &QPushButton::clicked, this, apply);
    connect(firmware_, &QLineEdit::returnPressed, this, apply);
    layout->addWidget(firmware);
    layout->addWidget(new QLabel("A new version counts from the next \"Open\".", this));

    refresh_.setInterval(500);
    connect(&refresh_, &QTimer::timeout, this, [this] { Refresh(); });
    refresh_.start();
    Refresh();
}

void DemoTowerWindow::Refresh()
{
    {
        const QSignalBlocker block(plugged_);
        plugged_->setChecked(control_.pluggedIn());
        plugged_->setEnabled(control_.hasController());
    }
    for (int p = 0; p < sim::kDemoPositions; ++p) {
        QCheckBox* box = segments_[static_cast<size_t>(p)];
        const QSignalBlocker block(box);
        const QString what = p == sim::kDemoPositions - 1 ? QString("Sound segment")
                                                          : QString("Position %1").arg(p + 1);
        box->setText(QString("%1 (address %2)").arg(what).arg(control_.SegmentAddress(p)));
        box->setChecked(control_.SegmentOn(p));
        box->setEnabled(control_.hasController());
    }
    firmwareNow_->setText(QString::fromStdString(control_.FirmwareText()));
}

}  // namespace kv

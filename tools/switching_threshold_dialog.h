// CSwitchingThreshold, "Threshold": shows the input ports' switching
// threshold in volts and sends a new one. Decisions are in
// switching_threshold_logic.
#pragma once

#include <QDialog>
#include <array>

#include "device/device_state.h"
#include "tools/switching_threshold_logic.h"
#include "tools/tool_dialog_support.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;
class QTimer;

namespace kv {

// A yellow warning triangle with an exclamation mark.
class WarningPicture : public QWidget {
    Q_OBJECT
public:
    explicit WarningPicture(QWidget* parent = nullptr);
    QSize sizeHint() const override { return QSize(56, 50); }

protected:
    void paintEvent(QPaintEvent* event) override;
};

class CSwitchingThreshold : public QDialog {
    Q_OBJECT
public:
    CSwitchingThreshold(SwitchingThresholdState& state, DeviceState& device, ToolLink link,
                        QWidget* parent = nullptr);

    // The opening steps (with their 500 ms wait); Run() does them and then
    // runs the dialog modally.
    void Prepare();
    int Run();

    QLineEdit* voltageText() const { return voltage_; }
    QSlider* slider() const { return slider_; }
    QPushButton* presetButton(int i) const { return presets_[static_cast<size_t>(i)]; }
    QLabel* statusText() const { return status_; }
    QPushButton* sendButton() const { return send_; }
    QTimer* tickTimer() const { return timer_; }

public slots:
    void OnSliderMoved();
    void OnPreset(uint8_t raw);
    void OnSendThreshold();
    void OnThresholdTick();

protected:
    void done(int result) override;

private:
    void ShowState();

    SwitchingThresholdState& t_;
    DeviceState& s_;
    ToolLink link_;
    ToolIo io_;

    QLineEdit* voltage_ = nullptr;
    QSlider* slider_ = nullptr;
    std::array<QPushButton*, kThresholdPresets> presets_{};
    QLabel* explanation1_ = nullptr;
    QLabel* explanation2_ = nullptr;
    QLabel* status_ = nullptr;
    QPushButton* send_ = nullptr;
    QPushButton* exit_ = nullptr;
    QTimer* timer_ = nullptr;
};

}  // namespace kv

// CUSBControlAppDlg: the main window. It owns the connection to the Base
// Controller (Open/Close, Exit), runs the poll cycle on timer 101 while the
// link is open, and carries the status and message lines, the input panel
// (the tower picture with its on/off buttons), the output panel (pattern,
// brightness and volume per row), the Send, Open/Close and Exit buttons and
// the menu.
//
// What it shows lives in a WindowModel that the plain panel logic changes;
// the window pushes the model to its widgets and forwards what the user does.
#pragma once

#include <QDialog>
#include <QTimer>

#include <array>
#include <functional>
#include <memory>

#include "app/input_panel_logic.h"
#include "app/output_panel_logic.h"
#include "app/window_model.h"
#include "device/device_state.h"
#include "device/hid_link.h"
#include "device/pattern_tables.h"
#include "sync/connection_control.h"
#include "sync/main_view.h"
#include "sync/poll_cycle.h"
#include "sync/send_path.h"

class QAction;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;

namespace kv {

// The dialogs the menu opens. They belong to the program, not to the window;
// main() wires them in. An entry left empty makes its command do nothing.
struct MenuCommands {
    std::function<void()> firmwareUpdate;
    std::function<void()> portMapping;
    std::function<void()> changeAddress;
    std::function<void()> switchingThreshold;
    std::function<void()> info;
    std::function<void()> about;
};

// Identifier and period of the poll timer.
constexpr int kPollTimerId = 101;
constexpr int kPollTimerPeriodMs = 30;

}  // namespace kv

class CUSBControlAppDlg : public QDialog, public kv::MainView {
    Q_OBJECT

public:
    CUSBControlAppDlg(kv::DeviceState& state, kv::HidLink& link, kv::PatternTables& patterns,
                      QWidget* parent = nullptr);
    ~CUSBControlAppDlg() override;

    void SetMenuCommands(kv::MenuCommands commands) { menu_ = std::move(commands); }

    // Prepares the window, shows it as the program's ordinary top-level
    // window and runs it until it ends (Exit, the close box or the firmware
    // update); returns the end result.
    int DoModal();
    bool OnInitDialog();

    // Buttons and timer.
    void OnOpenClose() override;
    void OnExit();
    void OnTimer(int id);
    void OnSend();
    // Output panel.
    void InitOutputPanel();
    void OnPatternSelected(int row);
    void OnSoundPatternSelected();
    void OnHScroll(QSlider* slider);
    // Input panel.
    void OnRowSwitch(int row);
    void OnSoundSwitch();
    // Menu.
    void OnFirmwareUpdateCommand();
    void OnPortMapping();
    void OnChangeAddress();
    void OnSwitchingThreshold();
    void OnInfo();
    void OnAbout();

    // kv::MainView.
    void SelectPatterns(const std::array<uint8_t, 6>& codes) override;
    void ShowColourLevel(int row, uint16_t v, bool boosted) override;
    void ShowSoundLevel(bool melody, uint16_t position) override;
    void SetScaleLabel(int row, bool boosted) override;
    void RememberSliderValue(int row, uint16_t value) override;
    void EnableRow(int row, bool enabled) override;
    void DisableAllRows() override;
    void ResetOutputPanel() override;
    void ShowColourSegment(int row, uint8_t address, bool on) override;
    void ShowNoColourSegment(int row) override;
    void ShowSoundSegment(bool on) override;
    void ShowNoSoundSegment() override;
    void ResetInputPanel() override;
    void SetStatusLine(const std::string& text) override;
    void SetMessageLine(const std::string& text) override;
    void TransferTexts() override;
    void SetOpenCloseCaption(const std::string& text) override;
    void EnableSend(bool enabled) override;
    void EnableOpenClose(bool enabled) override;
    void EnableExit(bool enabled) override;
    void StartPollTimer() override;
    void StopPollTimer() override;
    void EnableToolMenu(bool enabled) override;
    void OnFirmwareUpdate() override;
    void EndMainWindow(int result) override;

    // Seen from outside (tests, the firmware update path).
    const kv::WindowModel& model() const { return model_; }
    bool pollTimerRunning() const { return pollTimer_.isActive(); }
    int pollTimerInterval() const { return pollTimer_.interval(); }
    kv::SendPath& sendPath() { return send_; }
    kv::PollCycle& pollCycle() { return poll_; }
    kv::OutputPanelLogic& outputPanel() { return output_; }
    QComboBox* patternList(int row) const { return rows_[Index(row)].list; }
    QSlider* slider(int row) const { return rows_[Index(row)].slider; }
    QLineEdit* percentBox(int row) const { return rows_[Index(row)].box; }
    QLabel* scaleLabel(int row) const { return rows_[Index(row)].scale; }
    QPushButton* switchButton(int row) const { return rows_[Index(row)].button; }
    QLabel* towerPicture(int row) const { return rows_[Index(row)].picture; }
    QLabel* nameText(int row) const { return rows_[Index(row)].name; }
    QLabel* statusLine() const { return statusLine_; }
    QLabel* messageLine() const { return messageLine_; }
    QPushButton* sendButton() const { return send_button_; }
    QPushButton* openCloseButton() const { return openClose_; }
    QPushButton* exitButton() const { return exit_; }
    QAction* firmwareUpdateAction() const { return firmwareAction_; }
    QAction* portMappingAction() const { return portMappingAction_; }
    QAction* changeAddressAction() const { return changeAddressAction_; }
    QAction* switchingThresholdAction() const { return thresholdAction_; }
    QAction* infoAction() const { return infoAction_; }
    QAction* aboutAction() const { return aboutAction_; }

    // Enter and Escape do nothing; the window closes only through "Exit" or
    // the close box.
    void OnOK() {}
    void OnCancel() {}

public slots:
    void accept() override { OnOK(); }
    void reject() override { OnCancel(); }

    // The size of one tower picture, which grows with the window's font.
    QSize pictureSize() const { return pictureSize_; }

protected:
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    struct RowWidgets {
        QLabel* caption = nullptr;
        QComboBox* list = nullptr;
        QLabel* sliderCaption = nullptr;
        QSlider* slider = nullptr;
        QLabel* scaleLeft = nullptr;
        QLabel* scale = nullptr;
        QLineEdit* box = nullptr;
        QLabel* percentSign = nullptr;
        QPushButton* button = nullptr;
        QLabel* picture = nullptr;
        QLabel* name = nullptr;
    };

    static size_t Index(int row);
    void BuildWindow();
    void BuildMenu();
    // Places every control in dialog units of the window's font.
    void LayOutWindow();
    // Pushes what changed in the model to the widgets.
    void PushToScreen();
    // A handler that changes rows: timer stopped and reads suspended around it.
    void Suspended(const std::function<void()>& work);

    kv::DeviceState& state_;
    kv::HidLink& link_;
    kv::PatternTables& patterns_;
    kv::WindowModel model_;
    kv::WindowModel shown_;
    bool shownValid_ = false;
    kv::SendPath send_;
    kv::PollCycle poll_;
    kv::ConnectionControl connection_;
    kv::OutputPanelLogic output_;
    kv::InputPanelLogic input_;
    kv::MenuCommands menu_;
    QTimer pollTimer_;
    bool ending_ = false;

    std::array<RowWidgets, kv::kRows> rows_{};
    QSize pictureSize_;
    QWidget* client_ = nullptr;
    QGroupBox* inputGroup_ = nullptr;
    QGroupBox* outputGroup_ = nullptr;
    QFrame* frame_ = nullptr;
    QLabel* statusLine_ = nullptr;
    QLabel* messageLine_ = nullptr;
    QLabel* title_ = nullptr;
    QLabel* logo_ = nullptr;
    QLabel* base_ = nullptr;
    QPushButton* send_button_ = nullptr;
    QPushButton* openClose_ = nullptr;
    QPushButton* exit_ = nullptr;
    QAction* firmwareAction_ = nullptr;
    QAction* portMappingAction_ = nullptr;
    QAction* changeAddressAction_ = nullptr;
    QAction* thresholdAction_ = nullptr;
    QAction* infoAction_ = nullptr;
    QAction* aboutAction_ = nullptr;
};

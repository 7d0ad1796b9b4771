// CUSBControlAppDlg: the main window. It owns the connection to the Base
// Controller (Open/Close, Exit), runs the poll cycle on timer 101 while the
// link is open, and carries the status and message lines, the input panel
// (the tower picture with its on/off buttons), the output panel (pattern,
// brightness and volume per row), the Send, Open/Close and Exit buttons and
// the menu.
//
// It is a view of a TowerSession: the session decides and keeps what the
// window shows in its model; the window forwards what the user does to the
// session, runs its tick on the timer and pushes the model to its widgets
// once after each event.
#pragma once

#include <QDialog>
#include <QTimer>

#include <array>
#include <functional>
#include <memory>

#include "device/device_state.h"
#include "device/hid_link.h"
#include "device/pattern_tables.h"
#include "session/session_host.h"
#include "session/tower_session.h"
#include "session/window_model.h"

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

class CUSBControlAppDlg : public QDialog, public kv::SessionHost {
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
    void OnOpenClose();
    void OnExit();
    void OnTimer(int id);
    void OnSend();
    // Output panel.
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

    // kv::SessionHost.
    void StartTick() override;
    void StopTick() override;
    void Repaint() override { PushToScreen(); }
    bool RunFirmwareUpdate() override;
    void SessionEnded(int result) override;

    // Seen from outside (tests, the firmware update path).
    kv::TowerSession& session() { return session_; }
    const kv::WindowModel& model() const { return session_.model(); }
    bool pollTimerRunning() const { return pollTimer_.isActive(); }
    int pollTimerInterval() const { return pollTimer_.interval(); }
    kv::SendPath& sendPath() { return session_.sendPath(); }
    kv::PollCycle& pollCycle() { return session_.pollCycle(); }
    kv::OutputPanelLogic& outputPanel() { return session_.outputPanel(); }
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

    kv::HidLink& link_;
    QTimer pollTimer_;
    bool ending_ = false;
    kv::WindowModel shown_;
    bool shownValid_ = false;
    kv::MenuCommands menu_;

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
    // Last: the session calls its host from its first moment on, so every
    // member the host uses is there before it.
    kv::TowerSession session_;
};

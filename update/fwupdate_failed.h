// "Nelo Firmware Update Failed": asked after a failed update. "OK" ends it
// with 1 (try again), "Exit" with 2 (give up).
#pragma once

#include <QDialog>
#include <functional>

#include "update/update_dialogs.h"

class QLabel;
class QPushButton;

namespace kv {

class CFWUPDATE_FAILED : public QDialog {
    Q_OBJECT
public:
    static constexpr int kTryAgain = kFailedTryAgain;
    static constexpr int kExit = kFailedGiveUp;

    explicit CFWUPDATE_FAILED(QWidget* parent = nullptr);

    // Shows the dialog modally; 1 or 2.
    int run();

    // Called once the dialog is on screen and waits for an answer (a test
    // may click a button here).
    std::function<void(CFWUPDATE_FAILED&)> onShown;

    QLabel* messageText() const { return message_; }
    QLabel* questionText() const { return question_; }
    QPushButton* okButton() const { return ok_; }
    QPushButton* exitButton() const { return exit_; }

protected:
    void showEvent(QShowEvent* event) override;
    // Escape or closing the window answers like "Exit".
    void reject() override;

private:
    QLabel* message_ = nullptr;
    QLabel* question_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* exit_ = nullptr;
};

}  // namespace kv

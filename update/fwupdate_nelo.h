// "Firmware Update": asks before an update. Three texts above each other (the
// middle one bold) and three buttons in a row: left (caption per face),
// centre "EXIT", right "OK". Which texts and buttons it shows, and whether
// leaving it closes the program, come from VersionDialogContent.
#pragma once

#include <QDialog>
#include <functional>

#include "update/update_decision.h"

class QLabel;
class QPushButton;

namespace kv {

class CFWUPDATE_NELO : public QDialog {
    Q_OBJECT
public:
    explicit CFWUPDATE_NELO(QWidget* parent = nullptr);

    // Shows the face modally; 1 OK, 2 cancel, 3 close the program.
    int run(const VersionDialogContent& content);

    // Called once the dialog is on screen and waits for an answer (a test
    // may click a button here).
    std::function<void(CFWUPDATE_NELO&)> onShown;

    bool exitOnClose() const { return exitOnClose_; }
    QLabel* topText() const { return top_; }
    QLabel* middleText() const { return middle_; }
    QLabel* bottomText() const { return bottom_; }
    QPushButton* leftButton() const { return left_; }
    QPushButton* centreButton() const { return centre_; }
    QPushButton* okButton() const { return ok_; }

protected:
    void showEvent(QShowEvent* event) override;
    // Escape and the close box leave like the left button.
    void reject() override;

private:
    void Leave(VersionButton button);

    bool exitOnClose_ = false;
    QLabel* top_ = nullptr;
    QLabel* middle_ = nullptr;
    QLabel* bottom_ = nullptr;
    QPushButton* left_ = nullptr;
    QPushButton* centre_ = nullptr;
    QPushButton* ok_ = nullptr;
};

}  // namespace kv

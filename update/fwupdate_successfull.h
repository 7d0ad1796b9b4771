// "Firmware Update Successful": shown after an update and the link's return.
// Tells the version just programmed and offers the release notes installed
// beside the program; "OK" closes it.
#pragma once

#include <QDialog>
#include <functional>
#include <string>

class QLabel;
class QPushButton;

namespace kv {

class CFWUPDATE_SUCCESSFULL : public QDialog {
    Q_OBJECT
public:
    explicit CFWUPDATE_SUCCESSFULL(QWidget* parent = nullptr);

    // Shows the dialog modally; its end code is not used.
    int run();

    // "SHOW RELEASE NOTES": hands Release_Notes.pdf beside the program to the
    // desktop and closes, or tells that the file is missing, or that no
    // program opens PDF files, and stays open.
    void OnShowReleaseNotes();

    // Shows an error message box; replaceable so a test can answer it.
    std::function<void(const std::string& text, const std::string& caption)> showError;
    // Called once the dialog is on screen and waits for an answer.
    std::function<void(CFWUPDATE_SUCCESSFULL&)> onShown;

    QLabel* messageText() const { return message_; }
    QLabel* versionLabel() const { return versionLabel_; }
    QLabel* versionText() const { return version_; }
    QPushButton* releaseNotesButton() const { return notes_; }
    QPushButton* okButton() const { return ok_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    QLabel* message_ = nullptr;
    QLabel* versionLabel_ = nullptr;
    QLabel* version_ = nullptr;
    QPushButton* notes_ = nullptr;
    QPushButton* ok_ = nullptr;
};

}  // namespace kv

// CAbout: the program's version, the notices of the open-source projects it
// uses, the disclaimer, the written offer, and three links.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QPixmap>

#include <array>
#include <memory>
#include <string>

class QFont;

namespace kv {

// A text that opens its address in the user's browser when clicked.
class LinkLabel : public QLabel {
    Q_OBJECT

public:
    LinkLabel(const QString& address, QWidget* parent);

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};

}  // namespace kv

class CAbout : public QDialog {
    Q_OBJECT

public:
    explicit CAbout(const QPixmap& makerLogo, QWidget* parent = nullptr);
    ~CAbout() override;

    int DoModal();
    bool OnInitDialog();

    void OnOpenMakerPage();
    void OnOpenDfuProgrammerPage();
    void OnOpenLibusbPage();

    // For tests.
    QString versionText() const;
    const QFont* versionFont() const { return versionFont_.get(); }
    const QFont* linkFont() const { return linkFont_.get(); }
    const QFont* headingFont() const { return headingFont_.get(); }
    kv::LinkLabel* link(int index) const;

private:
    std::unique_ptr<QFont> versionFont_;
    std::unique_ptr<QFont> linkFont_;
    std::unique_ptr<QFont> headingFont_;
    QLabel* versionCaption_ = nullptr;
    QLabel* version_ = nullptr;
    std::array<kv::LinkLabel*, 3> links_{};
    std::array<QLabel*, 2> headings_{};
};

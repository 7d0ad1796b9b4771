#include "app/help/about_dialog.h"

#include <QFont>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPalette>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/dialog_style.h"
#include "app/help/maker_info.h"
#include "device/version.h"
#include "platform/qt/desktop.h"

namespace kv {

LinkLabel::LinkLabel(const QString& address, QWidget* parent) : QLabel(address, parent)
{
    QPalette p = palette();
    p.setColor(QPalette::WindowText, QColor(0x00, 0x00, 0xC8));
    setPalette(p);
    setCursor(Qt::PointingHandCursor);
    setAlignment(Qt::AlignCenter);
}

void LinkLabel::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit clicked();
    QLabel::mouseReleaseEvent(event);
}

}  // namespace kv

namespace {

QLabel* Centred(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setAlignment(Qt::AlignCenter);
    label->setWordWrap(true);
    return label;
}

std::unique_ptr<QFont> ArialFont(int pixels, QFont::Weight weight, bool underline)
{
    auto font = std::make_unique<QFont>("Arial");
    font->setPixelSize(pixels);
    font->setWeight(weight);
    font->setItalic(false);
    font->setUnderline(underline);
    return font;
}

}  // namespace

CAbout::CAbout(const QPixmap& makerLogo, QWidget* parent) : QDialog(parent)
{
    setWindowTitle("About");
    kv::ApplyDialogColours(this);
    auto* layout = new QVBoxLayout(this);

    auto* versionRow = new QHBoxLayout;
    versionCaption_ = new QLabel("Kestrivane Version", this);
    versionCaption_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    version_ = new QLabel("xx.yy", this);
    versionRow->addWidget(versionCaption_, 1);
    versionRow->addWidget(version_, 1);
    layout->addLayout(versionRow);

    layout->addWidget(Centred("Nelo management software powered by", this));
    auto* logo = new QLabel(this);
    logo->setPixmap(makerLogo);
    logo->setAlignment(Qt::AlignCenter);
    layout->addWidget(logo);

    links_[0] = new kv::LinkLabel(kv::maker::kWebAddress, this);
    links_[1] = new kv::LinkLabel(kv::maker::kDfuProgrammerPage, this);
    links_[2] = new kv::LinkLabel(kv::maker::kLibusbPage, this);
    connect(links_[0], &kv::LinkLabel::clicked, this, &CAbout::OnOpenMakerPage);
    connect(links_[1], &kv::LinkLabel::clicked, this, &CAbout::OnOpenDfuProgrammerPage);
    connect(links_[2], &kv::LinkLabel::clicked, this, &CAbout::OnOpenLibusbPage);

    layout->addWidget(links_[0]);
    layout->addWidget(Centred("This Software contains parts of the Open Source Software project "
                              "'dfu-programmer' which is distributed under GPLv2 License.",
                              this));
    layout->addWidget(links_[1]);
    layout->addWidget(Centred("This Software makes use of the Open Source Software project 'libusb' "
                              "which is distributed under LGPLv2.1 License.",
                              this));
    layout->addWidget(links_[2]);

    headings_[0] = Centred("DISCLAIMER", this);
    layout->addWidget(headings_[0]);
    layout->addWidget(Centred(QString::fromUtf8(
                                  "The Software is distributed \u201CAS IS\u201D in the hope that it will be "
                                  "useful, but WITHOUT ANY WARRANTY; without even the implied warranty of "
                                  "MERCHANTABILITY or FITNESS FOR A PARTICULAR PURPOSE."),
                              this));
    headings_[1] = Centred("WRITTEN OFFER", this);
    layout->addWidget(headings_[1]);
    layout->addWidget(Centred("You may request to obtain the complete corresponding Source Code from us "
                              "for a period of three years after the last shipment of this product.",
                              this));
    layout->addWidget(Centred(QString("In order to obtain the source code write an e-mail to: ") +
                                  kv::maker::kEmail +
                                  ". We may charge you a nominal fee to cover the cost of the media and "
                                  "the distribution.",
                              this));

    auto* bottom = new QHBoxLayout;
    bottom->addWidget(new QLabel(kv::maker::kCompanyAndAddress, this), 1);
    auto* ok = new QPushButton("OK", this);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    bottom->addWidget(ok);
    layout->addLayout(bottom);

    setFixedSize(kv::DialogUnits(this, 421, 332));
}

CAbout::~CAbout() = default;

int CAbout::DoModal()
{
    OnInitDialog();
    return exec();
}

bool CAbout::OnInitDialog()
{
    if (!versionFont_) {
        versionFont_ = ArialFont(20, QFont::Bold, false);
        linkFont_ = ArialFont(16, QFont::Normal, true);
        headingFont_ = ArialFont(16, QFont::Bold, false);
    }
    versionCaption_->setFont(*versionFont_);
    version_->setFont(*versionFont_);
    for (kv::LinkLabel* link : links_)
        link->setFont(*linkFont_);
    for (QLabel* heading : headings_)
        heading->setFont(*headingFont_);
    version_->setText(QString::fromStdString(kv::FormatVersion(kv::ProgramVersion)));
    return true;
}

// The result of opening a page is not looked at: without a browser nothing
// visible happens.
void CAbout::OnOpenMakerPage() { kv::OpenUrl(kv::maker::kWebAddress); }
void CAbout::OnOpenDfuProgrammerPage() { kv::OpenUrl(kv::maker::kDfuProgrammerPage); }
void CAbout::OnOpenLibusbPage() { kv::OpenUrl(kv::maker::kLibusbPage); }

QString CAbout::versionText() const { return version_->text(); }

kv::LinkLabel* CAbout::link(int index) const
{
    return index >= 0 && index < 3 ? links_[static_cast<size_t>(index)] : nullptr;
}

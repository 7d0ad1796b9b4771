#include "tools/address_change_dialog.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTimer>
#include <QVBoxLayout>

#include "ui/dialog_style.h"

namespace kv {

CChangeAddress::CChangeAddress(AddressChangeState& state, DeviceState& device, QWidget* parent)
    : QDialog(parent), a_(state), s_(device)
{
    setWindowTitle(QStringLiteral("Address Change"));
    ApplyToolPalette(this);
    auto* outer = new QVBoxLayout(this);
    text_ = new QLabel(this);
    text_->setTextFormat(Qt::PlainText);
    text_->setWordWrap(true);
    text_->setAlignment(Qt::AlignCenter);
    // In pixels, like the pixel-sized bold font of the instructions (their
    // blanks were laid out for this width).
    text_->setFixedWidth(380);
    text_->setMinimumHeight(130);
    outer->addWidget(text_);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    ok_ = new QPushButton(QStringLiteral("OK"), this);
    exit_ = new QPushButton(QStringLiteral("Exit"), this);
    exit_->setAutoDefault(false);
    buttons->addWidget(ok_);
    buttons->addWidget(exit_);
    buttons->addStretch(1);
    outer->addLayout(buttons);
    connect(ok_, &QPushButton::clicked, this, &CChangeAddress::OnOk);
    connect(exit_, &QPushButton::clicked, this, [this] { done(QDialog::Rejected); });
}

void CChangeAddress::Prepare()
{
    text_->setFont(ToolBoldFont());
    OpenInstructions(a_, s_);
    SetColouredText(text_, a_.instructionText, QColor(223, 0, 0));
}

int CChangeAddress::Run()
{
    Prepare();
    return exec();
}

void CChangeAddress::OnOk()
{
    if (InstructionsOk(a_, s_)) {
        done(kRunNewColour);
        return;
    }
    SetColouredText(text_, a_.instructionText, QColor(223, 0, 0));
}

CNEWSEGMENT::CNEWSEGMENT(AddressChangeState& state, DeviceState& device, ToolLink link,
                         QWidget* parent)
    : QDialog(parent), a_(state), s_(device), link_(std::move(link))
{
    setWindowTitle(QStringLiteral("Address Change"));
    ApplyToolPalette(this);
    showMessage = [this](const ToolMessage& msg) { ShowToolMessageBox(this, msg); };
    io_.write = link_.write;
    io_.flush = [this] {
        ShowState();
        status_->repaint();
    };

    auto* outer = new QVBoxLayout(this);
    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel(QStringLiteral("Current Colour:"), this), 0, 0);
    current_ = new QLabel(this);
    current_->setTextFormat(Qt::PlainText);
    current_->setMinimumWidth(DialogUnits(this, 80, 0).width());
    grid->addWidget(current_, 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("New Colour:"), this), 1, 0);
    list_ = new QComboBox(this);
    list_->setMinimumWidth(DialogUnits(this, 80, 0).width());
    list_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    grid->addWidget(list_, 1, 1);
    outer->addLayout(grid);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    submit_ = new QPushButton(QStringLiteral("Submit"), this);
    exit_ = new QPushButton(QStringLiteral("Exit"), this);
    submit_->setAutoDefault(false);
    exit_->setAutoDefault(false);
    buttons->addWidget(submit_);
    buttons->addWidget(exit_);
    outer->addLayout(buttons);

    status_ = new QLabel(this);
    status_->setTextFormat(Qt::PlainText);
    status_->setFont(ToolBoldFont());
    FitStatusField(status_, {kAddressChangedText, kSameAddressText, kTransmisionFailedText,
                             kNoNewAddressText});
    outer->addWidget(status_);

    connect(list_, &QComboBox::activated, this, &CNEWSEGMENT::OnSelectNewColour);
    connect(submit_, &QPushButton::clicked, this, &CNEWSEGMENT::OnSubmit);
    connect(exit_, &QPushButton::clicked, this, [this] { done(QDialog::Rejected); });

    timer_ = new QTimer(this);
    timer_->setInterval(kNewColourTickMs);
    connect(timer_, &QTimer::timeout, this, &CNEWSEGMENT::OnVerifyTick);
}

void CNEWSEGMENT::Prepare()
{
    status_->setFont(ToolBoldFont());
    OpenNewColour(a_, s_, io_, link_.isOpen && link_.isOpen());
    ShowState();
    timer_->start();
}

int CNEWSEGMENT::Run()
{
    Prepare();
    return exec();
}

void CNEWSEGMENT::ShowState()
{
    bool same = list_->count() == kNewColourItems;
    for (int i = 0; same && i < kNewColourItems; ++i)
        same = list_->itemText(i) == ToQ(a_.listItems[static_cast<size_t>(i)]);
    const QSignalBlocker block(list_);
    if (!same) {
        list_->clear();
        for (const std::string& item : a_.listItems)
            list_->addItem(ToQ(item));
    }
    list_->setCurrentIndex(a_.listIndex);
    current_->setText(ToQ(a_.currentColour));
    SetColouredText(status_, a_.statusText, ToneColour(a_.statusTone));
    submit_->setEnabled(a_.submitEnabled);
}

void CNEWSEGMENT::OnSelectNewColour(int index)
{
    SelectNewColour(a_, index);
    ShowState();
}

void CNEWSEGMENT::OnSubmit()
{
    const std::optional<ToolMessage> message = SubmitNewColour(a_, s_, io_);
    ShowState();
    if (message && showMessage)
        showMessage(*message);
}

void CNEWSEGMENT::OnVerifyTick()
{
    const std::optional<ToolMessage> message = NewColourTick(a_, s_, io_);
    ShowState();
    if (message && showMessage)
        showMessage(*message);
}

void CNEWSEGMENT::done(int result)
{
    timer_->stop();
    CloseNewColour(a_);
    QDialog::done(result);
}

}  // namespace kv

#include "app/help/info_dialog.h"

#include <QFont>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/dialog_style.h"
#include "session/info_values.h"

namespace {

const char* const kLeftLabels[7] = {
    "Firmware Version Color Segment 1:", "Firmware Version Color Segment 2:",
    "Firmware Version Color Segment 3:", "Firmware Version Color Segment 4:",
    "Firmware Version Color Segment 5:", "Firmware Version Sound Segment:",
    "Firmware Version Base Controller:",
};

const char* const kRightLabels[7] = {
    "Hardware Version Color Segment 1:", "Hardware Version Color Segment 2:",
    "Hardware Version Color Segment 3:", "Hardware Version Color Segment 4:",
    "Hardware Version Color Segment 5:", "Hardware Version Sound Segment:",
    "Kestrivane Version:",
};

}  // namespace

CInfo::CInfo(kv::DeviceState& state, QWidget* parent) : QDialog(parent), state_(state)
{
    setWindowTitle("Info");
    kv::ApplyDialogColours(this);

    auto* layout = new QVBoxLayout(this);
    title_ = new QLabel("Overview of Devices", this);
    title_->setAlignment(Qt::AlignCenter);
    layout->addWidget(title_);

    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(12);
    for (int row = 0; row < 7; ++row) {
        grid->addWidget(new QLabel(kLeftLabels[row], this), row, 0);
        left_[static_cast<size_t>(row)] = new QLabel(this);
        grid->addWidget(left_[static_cast<size_t>(row)], row, 1);
        grid->addWidget(new QLabel(kRightLabels[row], this), row, 2);
        right_[static_cast<size_t>(row)] = new QLabel(this);
        grid->addWidget(right_[static_cast<size_t>(row)], row, 3);
    }
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(3, 1);
    layout->addLayout(grid);

    auto* ok = new QPushButton("OK", this);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addStretch();
    layout->addLayout(buttons);

    setFixedSize(kv::DialogUnits(this, 375, 195));
}

CInfo::~CInfo() = default;

int CInfo::DoModal()
{
    OnInitDialog();
    return exec();
}

bool CInfo::OnInitDialog()
{
    const kv::InfoValues v = kv::CollectInfoValues(state_);
    for (size_t row = 0; row < 6; ++row) {
        left_[row]->setText(QString::fromStdString(v.firmware[row]));
        right_[row]->setText(QString::fromStdString(v.hardware[row]));
    }
    left_[6]->setText(QString::fromStdString(v.baseFirmware));
    right_[6]->setText(QString::fromStdString(v.programVersion));

    if (!titleFont_) {
        titleFont_ = std::make_unique<QFont>("Arial");
        titleFont_->setPixelSize(16);
        titleFont_->setWeight(QFont::Bold);
        titleFont_->setItalic(false);
        titleFont_->setUnderline(false);
    }
    title_->setFont(*titleFont_);
    title_->setText("Overview of devices.");
    return true;
}

QString CInfo::titleText() const { return title_->text(); }

QString CInfo::leftValue(int row) const
{
    return row >= 0 && row < 7 ? left_[static_cast<size_t>(row)]->text() : QString();
}

QString CInfo::rightValue(int row) const
{
    return row >= 0 && row < 7 ? right_[static_cast<size_t>(row)]->text() : QString();
}

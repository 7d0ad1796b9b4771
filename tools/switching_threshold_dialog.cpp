#include "tools/switching_threshold_dialog.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QTimer>
#include <QVBoxLayout>

#include "ui/dialog_style.h"

namespace kv {

WarningPicture::WarningPicture(QWidget* parent) : QWidget(parent)
{
    setFixedSize(sizeHint());
}

void WarningPicture::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const double w = width();
    const double h = height();
    QPainterPath triangle;
    triangle.moveTo(w / 2, 3);
    triangle.lineTo(w - 3, h - 3);
    triangle.lineTo(3, h - 3);
    triangle.closeSubpath();
    p.setPen(QPen(QColor(0, 0, 0), 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(QColor(255, 210, 0));
    p.drawPath(triangle);
    // The exclamation mark: a tapered bar and a dot.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0));
    QPainterPath bar;
    bar.moveTo(w / 2 - 3.5, h * 0.32);
    bar.lineTo(w / 2 + 3.5, h * 0.32);
    bar.lineTo(w / 2 + 1.8, h * 0.68);
    bar.lineTo(w / 2 - 1.8, h * 0.68);
    bar.closeSubpath();
    p.drawPath(bar);
    p.drawEllipse(QPointF(w / 2, h * 0.80), 3.2, 3.2);
}

CSwitchingThreshold::CSwitchingThreshold(SwitchingThresholdState& state, DeviceState& device,
                                         ToolLink link, QWidget* parent)
    : QDialog(parent), t_(state), s_(device), link_(std::move(link))
{
    setWindowTitle(QStringLiteral("Threshold"));
    ApplyToolPalette(this);
    io_.write = link_.write;
    io_.flush = [this] {
        ShowState();
        status_->repaint();
    };

    auto* outer = new QVBoxLayout(this);

    auto* valueRow = new QHBoxLayout;
    valueRow->addStretch(1);
    valueRow->addWidget(new QLabel(QStringLiteral("Threshold"), this));
    voltage_ = new QLineEdit(this);
    voltage_->setReadOnly(true);
    voltage_->setAlignment(Qt::AlignCenter);
    voltage_->setFixedWidth(DialogUnits(this, 46, 0).width());
    valueRow->addWidget(voltage_);
    valueRow->addWidget(new QLabel(QStringLiteral("V"), this));
    valueRow->addStretch(1);
    outer->addLayout(valueRow);

    auto* sliderRow = new QHBoxLayout;
    sliderRow->addWidget(new QLabel(QStringLiteral("2.2 V"), this));
    slider_ = new QSlider(Qt::Horizontal, this);
    slider_->setRange(kThresholdMin, kThresholdMax);
    slider_->setSingleStep(1);
    slider_->setPageStep(10);
    slider_->setMinimumWidth(DialogUnits(this, 186, 0).width());
    sliderRow->addWidget(slider_, 1);
    sliderRow->addWidget(new QLabel(QStringLiteral("23.9 V"), this));
    outer->addLayout(sliderRow);

    auto* presetRow = new QHBoxLayout;
    for (int i = 0; i < kThresholdPresets; ++i) {
        auto* button = new QPushButton(this);
        button->setAutoDefault(false);
        presets_[static_cast<size_t>(i)] = button;
        presetRow->addWidget(button);
        const uint8_t raw = kThresholdPresetRaw[i];
        connect(button, &QPushButton::clicked, this, [this, raw] { OnPreset(raw); });
    }
    outer->addLayout(presetRow);

    auto* explanationRow = new QHBoxLayout;
    explanationRow->addWidget(new WarningPicture(this), 0, Qt::AlignTop);
    auto* texts = new QVBoxLayout;
    explanation1_ = new QLabel(this);
    explanation2_ = new QLabel(this);
    for (QLabel* label : {explanation1_, explanation2_}) {
        label->setTextFormat(Qt::PlainText);
        label->setWordWrap(true);
        texts->addWidget(label);
    }
    explanationRow->addLayout(texts, 1);
    outer->addLayout(explanationRow);

    status_ = new QLabel(this);
    status_->setTextFormat(Qt::PlainText);
    status_->setFont(ToolBoldFont());
    FitStatusField(status_, {kThresholdPleaseWait, kThresholdSuccess, kThresholdFailed});
    outer->addWidget(status_, 0, Qt::AlignHCenter);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    send_ = new QPushButton(QStringLiteral("Send"), this);
    exit_ = new QPushButton(QStringLiteral("Exit"), this);
    send_->setAutoDefault(false);
    exit_->setAutoDefault(false);
    buttons->addWidget(send_);
    buttons->addWidget(exit_);
    outer->addLayout(buttons);

    // Only the user's moves count; positions set by the dialog itself are
    // made with the signals blocked.
    connect(slider_, &QSlider::valueChanged, this, [this](int) { OnSliderMoved(); });
    connect(send_, &QPushButton::clicked, this, &CSwitchingThreshold::OnSendThreshold);
    connect(exit_, &QPushButton::clicked, this, [this] { done(QDialog::Accepted); });

    timer_ = new QTimer(this);
    timer_->setInterval(kThresholdTickMs);
    connect(timer_, &QTimer::timeout, this, &CSwitchingThreshold::OnThresholdTick);
}

void CSwitchingThreshold::Prepare()
{
    status_->setFont(ToolBoldFont());
    explanation1_->setText(QLatin1String(kThresholdExplanation1));
    explanation2_->setText(QLatin1String(kThresholdExplanation2));
    for (int i = 0; i < kThresholdPresets; ++i)
        presets_[static_cast<size_t>(i)]->setText(QLatin1String(kThresholdPresetCaption[i]));
    timer_->start();
    OpenSwitchingThreshold(t_, s_, io_);
    ShowState();
}

int CSwitchingThreshold::Run()
{
    Prepare();
    return exec();
}

void CSwitchingThreshold::ShowState()
{
    {
        const QSignalBlocker block(slider_);
        slider_->setValue(t_.sliderPosition);
    }
    voltage_->setText(ToQ(t_.voltageText));
    const QColor colour = t_.statusTone == kToneFailure   ? QColor(255, 0, 0)
                          : t_.statusTone == kToneSuccess ? QColor(0, 128, 0)
                                                          : QColor(0, 0, 0);
    SetColouredText(status_, t_.statusText, colour);
    send_->setEnabled(t_.sendEnabled);
}

void CSwitchingThreshold::OnSliderMoved()
{
    ThresholdSliderMoved(t_, slider_->value());
    ShowState();
}

void CSwitchingThreshold::OnPreset(uint8_t raw)
{
    for (int i = 0; i < kThresholdPresets; ++i)
        presets_[static_cast<size_t>(i)]->setText(QLatin1String(kThresholdPresetCaption[i]));
    ThresholdPreset(t_, raw);
    ShowState();
}

void CSwitchingThreshold::OnSendThreshold()
{
    SendThreshold(t_, s_, io_);
    ShowState();
}

void CSwitchingThreshold::OnThresholdTick()
{
    SwitchingThresholdTick(t_, s_);
    ShowState();
}

void CSwitchingThreshold::done(int result)
{
    timer_->stop();
    QDialog::done(result);
}

}  // namespace kv

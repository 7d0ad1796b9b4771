#include "update/fwupdate_process.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFont>
#include <QHBoxLayout>
#include <QLabel>
#include <QPalette>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <cstdio>

#include "device/hid_link.h"
#include "platform/clock.h"
#include "update/update_outcome.h"
#include "update/update_run.h"

namespace kv {

namespace {

constexpr const char* kWarningText = "DO NOT TURN OFF WHILE UPDATE IS RUNNING !";

// Lets the window paint while the update holds the user-interface thread:
// pending layout and update requests are delivered, user input is not.
void DeliverPaintEvents()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateLater);
}

// Swallows user input for its lifetime (installed on the application).
class InputSwallower : public QObject {
protected:
    bool eventFilter(QObject* /*watched*/, QEvent* event) override
    {
        switch (event->type()) {
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::Shortcut:
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::Wheel:
            return true;
        default:
            return false;
        }
    }
};

// Input the user gave while the update held the user-interface thread waits
// in the queues; it was meant for a window that could not answer, so it is
// delivered into nothing instead of acting on the finished dialog.
void DiscardQueuedInput()
{
    InputSwallower swallower;
    QCoreApplication::instance()->installEventFilter(&swallower);
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    QCoreApplication::instance()->removeEventFilter(&swallower);
}

// Installs DeliverPaintEvents as the busy waits' idle hook for its lifetime.
class ScopedPaintDuringWaits {
public:
    ScopedPaintDuringWaits() { SetIdleHook(&DeliverPaintEvents); }
    ~ScopedPaintDuringWaits() { SetIdleHook({}); }
    ScopedPaintDuringWaits(const ScopedPaintDuringWaits&) = delete;
    ScopedPaintDuringWaits& operator=(const ScopedPaintDuringWaits&) = delete;
};

QFont BoldArial(int pixels)
{
    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(pixels);
    font.setWeight(QFont::Bold);
    return font;
}

}  // namespace

FWUPDATE_PROCESS::FWUPDATE_PROCESS(QWidget* parent) : FWUPDATE_PROCESS(TheHidLink(), parent) {}

FWUPDATE_PROCESS::FWUPDATE_PROCESS(HidLink& link, QWidget* parent)
    : QDialog(parent), updateFunction(&update_run), checkFunction(&update_check_file), link_(link)
{
    Build();
}

void FWUPDATE_PROCESS::Build()
{
    setWindowTitle(QStringLiteral("Firmware Update Process"));
    // No close box: the window can only be left through OK (or Escape) after the run.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);

    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor(0xF0, 0xF0, 0xF0));
    pal.setColor(QPalette::WindowText, Qt::black);
    setPalette(pal);
    setAutoFillBackground(true);

    stepText_ = new QLabel(this);
    stepText_->setFont(BoldArial(16));
    stepText_->setAlignment(Qt::AlignCenter);

    bar_ = new QProgressBar(this);
    bar_->setRange(0, UPDATE_STEP_COUNT - 1);
    bar_->setTextVisible(false);

    message_ = new QLabel(this);
    message_->setFont(BoldArial(14));
    message_->setAlignment(Qt::AlignCenter);

    ok_ = new QPushButton(QStringLiteral("OK"), this);
    ok_->setAutoDefault(false);
    connect(ok_, &QPushButton::clicked, this, &FWUPDATE_PROCESS::OnOk);

    timer_ = new QTimer(this);
    timer_->setSingleShot(true);
    timer_->setInterval(kStartDelayMs);
    connect(timer_, &QTimer::timeout, this, &FWUPDATE_PROCESS::OnStartTick);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(ok_);
    buttons->addStretch(1);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(stepText_);
    layout->addWidget(bar_);
    layout->addWidget(message_);
    layout->addLayout(buttons);
    setMinimumWidth(420);

    Prepare(std::string());
}

void FWUPDATE_PROCESS::Prepare(const std::string& path)
{
    UpdateAttempt attempt = MakeUpdateAttempt(link_, path, checkFunction, updateFunction);
    Prepare(attempt);
}

void FWUPDATE_PROCESS::Prepare(const UpdateAttempt& attempt)
{
    result_ = kNoResult;
    lastStep_ = kNoStep;
    attempt_ = attempt;
    running_ = false;
    finished_ = false;
    timer_->stop();

    stepText_->setText(QString::fromLatin1(update_step_text(UPDATE_STEP_PREPARING)));
    bar_->setValue(0);
    message_->clear();
    message_->hide();
    ok_->setEnabled(false);
}

int FWUPDATE_PROCESS::run(const std::string& path)
{
    Prepare(path);
    return exec();
}

int FWUPDATE_PROCESS::run(const UpdateAttempt& attempt)
{
    Prepare(attempt);
    return exec();
}

void FWUPDATE_PROCESS::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!running_ && !finished_)
        timer_->start();
}

void FWUPDATE_PROCESS::OnStartTick()
{
    timer_->stop();
    if (running_ || finished_)
        return;
    running_ = true;

    // The attempt refuses a file the run could not program before the Base
    // Controller leaves its firmware: then nothing is sent and the tower
    // keeps running.
    UpdateAttempt attempt = attempt_;
    bool left = false;
    attempt.onBootloader = [this, &left] {
        left = true;
        ShowWarning();
    };
    {
        ScopedPaintDuringWaits paint;
        result_ = attempt.Run(&ProgressHookOf, this);
    }
    // Still running: Escape and clicks given during the run end nothing.
    if (left)
        DiscardQueuedInput();

    message_->show();
    message_->setText(QString::fromStdString(UpdateOutcomeText(lastStep_, result_)));
    ok_->setEnabled(true);
    running_ = false;
    finished_ = true;
    if (onRunFinished)
        onRunFinished(*this);
}

void FWUPDATE_PROCESS::ShowWarning()
{
    message_->setText(QString::fromLatin1(kWarningText));
    message_->show();
    DeliverPaintEvents();
    repaint();
}

void FWUPDATE_PROCESS::ProgressHookOf(void* context, int step, int /*inStep*/, int /*percent*/)
{
    if (context != nullptr)
        static_cast<FWUPDATE_PROCESS*>(context)->ShowStep(step);
}

void FWUPDATE_PROCESS::ShowStep(int step)
{
    // Percentage reports come with an unchanged step: the bar moves in steps.
    if (step == lastStep_)
        return;
    lastStep_ = step;
    if (const char* text = update_step_text(step)) {
        stepText_->setText(QString::fromLatin1(text));
        bar_->setValue(step);
    }
    if (isVisible()) {
        DeliverPaintEvents();
        repaint();
    }
}

void FWUPDATE_PROCESS::OnOk()
{
    if (!finished_)
        return;
    done(result_ == UPDATE_SUCCESS ? kUpdated : kFailed);
}

void FWUPDATE_PROCESS::reject()
{
    if (finished_)
        done(kCancelled);
}

}  // namespace kv

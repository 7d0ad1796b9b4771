#include "app/usb_control_app_dlg.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPalette>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QVBoxLayout>

#include <algorithm>

#include "app/window_pictures.h"

using namespace kv;

namespace {

// Geometry of the window, in pixels.
constexpr int kClientWidth = 800;
constexpr int kClientHeight = 560;
constexpr int kGroupTop = 52;
constexpr int kGroupHeight = 410;
constexpr int kFirstLineTop = 24;  // inside a group box
constexpr int kLineHeight = 60;    // one tower segment

const QColor kBackground(0xF0, 0xF0, 0xF0);
const QColor kWhite(0xFF, 0xFF, 0xFF);

// Line of a row in both panels, counted from the top: the sound row first,
// "Color Segment 1" last.
int LineOfRow(int row) { return kRows - 1 - row; }

QString Text(const std::string& s) { return QString::fromStdString(s); }

// Dialog, buttons, statics and pictures on #F0F0F0 with black text; edit and
// list backgrounds white.
QPalette WindowPalette()
{
    QPalette p;
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        p.setColor(group, QPalette::Window, kBackground);
        p.setColor(group, QPalette::Button, kBackground);
        p.setColor(group, QPalette::Base, kWhite);
        p.setColor(group, QPalette::AlternateBase, kWhite);
        p.setColor(group, QPalette::WindowText, Qt::black);
        p.setColor(group, QPalette::Text, Qt::black);
        p.setColor(group, QPalette::ButtonText, Qt::black);
    }
    p.setColor(QPalette::Disabled, QPalette::Window, kBackground);
    p.setColor(QPalette::Disabled, QPalette::Button, kBackground);
    p.setColor(QPalette::Disabled, QPalette::Base, kBackground);
    return p;
}

QLabel* MakeLabel(QWidget* parent, const QString& text, const QRect& geometry,
                  Qt::Alignment align = Qt::AlignLeft | Qt::AlignVCenter)
{
    auto* label = new QLabel(text, parent);
    label->setGeometry(geometry);
    label->setAlignment(align);
    return label;
}

QPushButton* MakeButton(QWidget* parent, const QString& text, const QRect& geometry)
{
    auto* button = new QPushButton(text, parent);
    button->setGeometry(geometry);
    // Enter never presses a button of this window.
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

}  // namespace

CUSBControlAppDlg::CUSBControlAppDlg(DeviceState& state, HidLink& link, PatternTables& patterns,
                                     QWidget* parent)
    : QDialog(parent),
      state_(state),
      link_(link),
      patterns_(patterns),
      send_(state, link, *this, patterns),
      poll_(state, link, *this, send_, patterns),
      connection_(state, link, *this, send_, poll_),
      output_(state, patterns, model_,
              [this](uint8_t address, uint16_t level, uint8_t code, int row) {
                  send_.ComposeRow(address, level, code, row);
              }),
      input_(state, model_)
{
    setWindowTitle("Kestrivane");
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setWindowIcon(ApplicationIcon());
    setPalette(WindowPalette());
    setAutoFillBackground(true);

    pollTimer_.setInterval(kPollTimerPeriodMs);
    connect(&pollTimer_, &QTimer::timeout, this, [this] { OnTimer(kPollTimerId); });

    BuildWindow();
}

CUSBControlAppDlg::~CUSBControlAppDlg()
{
    pollTimer_.stop();
    link_.Close();
}

size_t CUSBControlAppDlg::Index(int row)
{
    return static_cast<size_t>(std::clamp(row, 0, kRows - 1));
}

void CUSBControlAppDlg::BuildMenu()
{
    auto* bar = new QMenuBar(this);
    QMenu* service = bar->addMenu("&Service");
    firmwareAction_ = service->addAction("Firmware Update &Nelo");
    QMenu* tools = bar->addMenu("&Tools");
    portMappingAction_ = tools->addAction("&Port Mapping");
    changeAddressAction_ = tools->addAction("&Change Address");
    thresholdAction_ = tools->addAction("&Switching Threshold");
    QMenu* help = bar->addMenu("&Help");
    infoAction_ = help->addAction("&Info");
    aboutAction_ = help->addAction("&About");

    connect(firmwareAction_, &QAction::triggered, this, [this] { OnFirmwareUpdateCommand(); });
    connect(portMappingAction_, &QAction::triggered, this, [this] { OnPortMapping(); });
    connect(changeAddressAction_, &QAction::triggered, this, [this] { OnChangeAddress(); });
    connect(thresholdAction_, &QAction::triggered, this, [this] { OnSwitchingThreshold(); });
    connect(infoAction_, &QAction::triggered, this, [this] { OnInfo(); });
    connect(aboutAction_, &QAction::triggered, this, [this] { OnAbout(); });

    layout()->setMenuBar(bar);
}

void CUSBControlAppDlg::BuildWindow()
{
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSizeConstraint(QLayout::SetFixedSize);  // not resizable
    auto* client = new QWidget(this);
    client->setFixedSize(kClientWidth, kClientHeight);
    outer->addWidget(client);
    BuildMenu();

    statusLine_ = MakeLabel(client, kStatusOffline, QRect(14, 8, 290, 18));
    messageLine_ = MakeLabel(client, QString(), QRect(14, 28, 290, 18));
    title_ = MakeLabel(client, QString(), QRect((kClientWidth - kTitleWidth) / 2, 8, kTitleWidth,
                                                kTitleHeight));

    // Group boxes on the dialog's own background, the caption in the frame
    // line.
    const QString groupStyle =
        "QGroupBox { background-color: #F0F0F0; border: 1px solid #A0A0A0; "
        "border-radius: 2px; margin-top: 7px; }"
        "QGroupBox::title { subcontrol-origin: margin; left: 8px; padding: 0 3px; }";
    auto* inputGroup = new QGroupBox("Input", client);
    inputGroup->setGeometry(10, kGroupTop, 260, kGroupHeight);
    auto* outputGroup = new QGroupBox("Output", client);
    outputGroup->setGeometry(280, kGroupTop, 510, kGroupHeight);
    inputGroup->setStyleSheet(groupStyle);
    outputGroup->setStyleSheet(groupStyle);

    for (int r = 0; r < kRows; ++r) {
        RowWidgets& w = rows_[Index(r)];
        const int y = kFirstLineTop + LineOfRow(r) * kLineHeight;
        const bool sound = r == kSoundRow;

        // Input panel line: button, picture, name.
        w.button = MakeButton(inputGroup, "On", QRect(12, y + 18, 50, 24));
        w.picture = MakeLabel(inputGroup, QString(), QRect(72, y, kSegmentWidth, kSegmentHeight));
        if (!sound)
            w.name = MakeLabel(inputGroup, QString(), QRect(180, y + 22, 72, 16));

        // Output panel row.
        w.caption = MakeLabel(outputGroup,
                              sound ? QString("Sound Segment")
                                    : QString("Color Segment %1").arg(r + 1),
                              QRect(12, y + 6, 200, 16));
        w.list = new QComboBox(outputGroup);
        w.list->setGeometry(12, y + 26, 210, 24);
        w.list->setMaxVisibleItems(14);
        w.sliderCaption = MakeLabel(outputGroup, sound ? "Volume" : "Brightness",
                                    QRect(236, y + 4, 170, 16));
        w.slider = new QSlider(Qt::Horizontal, outputGroup);
        w.slider->setGeometry(236, y + 20, 170, 22);
        w.slider->setTracking(true);
        w.scaleLeft = MakeLabel(outputGroup, "0 %", QRect(236, y + 42, 50, 14));
        w.scale = MakeLabel(outputGroup, "100 %", QRect(346, y + 42, 60, 14),
                            Qt::AlignRight | Qt::AlignVCenter);
        w.box = new QLineEdit(outputGroup);
        w.box->setGeometry(416, y + 20, 44, 22);
        w.box->setReadOnly(true);
        w.box->setAlignment(Qt::AlignCenter);
        w.box->setFocusPolicy(Qt::NoFocus);
        // A read-only box sits on the dialog's background.
        QPalette boxPalette = w.box->palette();
        boxPalette.setColor(QPalette::Base, kBackground);
        w.box->setPalette(boxPalette);
        w.percentSign = MakeLabel(outputGroup, " %", QRect(462, y + 22, 24, 18));

        if (sound) {
            connect(w.button, &QPushButton::clicked, this, [this] { OnSoundSwitch(); });
            connect(w.list, &QComboBox::currentIndexChanged, this,
                    [this] { OnSoundPatternSelected(); });
        } else {
            connect(w.button, &QPushButton::clicked, this, [this, r] { OnRowSwitch(r); });
            connect(w.list, &QComboBox::currentIndexChanged, this,
                    [this, r] { OnPatternSelected(r); });
        }
        QSlider* slider = w.slider;
        connect(slider, &QSlider::valueChanged, this, [this, slider] { OnHScroll(slider); });
        connect(slider, &QSlider::sliderReleased, this, [this, slider] { OnHScroll(slider); });
    }
    base_ = MakeLabel(inputGroup, QString(),
                      QRect(72, kFirstLineTop + kRows * kLineHeight, kSegmentWidth, kBaseHeight));

    auto* frame = new QFrame(client);
    frame->setFrameShape(QFrame::StyledPanel);
    frame->setFrameShadow(QFrame::Sunken);
    frame->setGeometry(10, 472, 780, 80);
    logo_ = MakeLabel(frame, QString(), QRect(16, 30, kLogoWidth, kLogoHeight));
    send_button_ = MakeButton(frame, "Send", QRect(670, 8, 96, 28));
    exit_ = MakeButton(frame, "Exit", QRect(670, 44, 96, 28));
    openClose_ = MakeButton(frame, "Open", QRect(566, 44, 96, 28));
    connect(send_button_, &QPushButton::clicked, this, [this] { OnSend(); });
    connect(openClose_, &QPushButton::clicked, this, [this] { OnOpenClose(); });
    connect(exit_, &QPushButton::clicked, this, [this] { OnExit(); });
}

int CUSBControlAppDlg::DoModal()
{
    OnInitDialog();
    return exec();
}

bool CUSBControlAppDlg::OnInitDialog()
{
    setWindowIcon(ApplicationIcon());
    if (!link_.IsOpen())
        model_.sendEnabled = false;
    poll_.UpdateRowControls();
    model_.firmwareEntryEnabled = true;
    model_.toolEntriesEnabled = false;
    state_.segmentAddress.fill(0);
    output_.ResetLastSliderValues();
    for (InputRowModel& line : model_.input)
        line.caption = "On";
    for (int r = 0; r < kColourRows; ++r)
        SetSlider(model_.output[Index(r)], kColourSliderMin, kColourSliderMax,
                  model_.output[Index(r)].sliderPos);
    SetSlider(model_.output[kSoundRow], kToneSliderMin, kToneSliderMax,
              model_.output[kSoundRow].sliderPos);
    input_.ResetInputPanel();
    base_->setPixmap(BasePixmap());
    logo_->setPixmap(MakerLogoPicture());
    title_->setPixmap(TitlePicture());
    InitOutputPanel();
    output_.ShowStartScaleLabels();
    ResetSwitchState(state_);
    PushToScreen();
    return true;
}

// ---- Buttons and timer ------------------------------------------------------

void CUSBControlAppDlg::OnOpenClose()
{
    connection_.OnOpenClose();
    PushToScreen();
}

void CUSBControlAppDlg::OnExit()
{
    if (ending_)
        return;
    connection_.OnExit();
    if (!ending_)
        EndMainWindow(0);
}

void CUSBControlAppDlg::OnTimer(int id)
{
    if (id != kPollTimerId || ending_)
        return;
    poll_.Tick();
    PushToScreen();
}

void CUSBControlAppDlg::OnSend()
{
    send_.OnSend();
    PushToScreen();
}

void CUSBControlAppDlg::Suspended(const std::function<void()>& work)
{
    StopPollTimer();
    state_.suspendRead = 1;
    work();
    state_.suspendRead = 0;
    StartPollTimer();
    PushToScreen();
}

// ---- Output panel -----------------------------------------------------------

void CUSBControlAppDlg::InitOutputPanel()
{
    output_.InitOutputPanel();
    PushToScreen();
}

void CUSBControlAppDlg::OnPatternSelected(int row)
{
    output_.OnPatternSelected(row, rows_[Index(row)].list->currentIndex());
    PushToScreen();
}

void CUSBControlAppDlg::OnSoundPatternSelected()
{
    output_.OnSoundPatternSelected(rows_[kSoundRow].list->currentIndex());
    PushToScreen();
}

void CUSBControlAppDlg::OnHScroll(QSlider* slider)
{
    for (int r = 0; r < kRows; ++r) {
        if (rows_[Index(r)].slider != slider)
            continue;
        const int position = slider->value();
        Suspended([this, r, position] {
            if (r == kSoundRow)
                output_.OnSoundSlider(position);
            else
                output_.OnColourSlider(r, position);
        });
        return;
    }
}

void CUSBControlAppDlg::SelectPatterns(const std::array<uint8_t, 6>& codes)
{
    output_.SelectPatterns(codes);
    PushToScreen();
}

void CUSBControlAppDlg::ShowColourLevel(int row, uint16_t v, bool boosted)
{
    output_.ShowColourLevel(row, v, boosted);
    PushToScreen();
}

void CUSBControlAppDlg::ShowSoundLevel(bool melody, uint16_t position)
{
    output_.ShowSoundLevel(melody, position);
    PushToScreen();
}

void CUSBControlAppDlg::SetScaleLabel(int row, bool boosted)
{
    output_.SetScaleLabel(row, boosted);
    PushToScreen();
}

void CUSBControlAppDlg::RememberSliderValue(int row, uint16_t value)
{
    output_.RememberSliderValue(row, value);
}

void CUSBControlAppDlg::EnableRow(int row, bool enabled)
{
    output_.EnableRow(row, enabled);
    PushToScreen();
}

void CUSBControlAppDlg::DisableAllRows()
{
    output_.DisableAllRows();
    PushToScreen();
}

void CUSBControlAppDlg::ResetOutputPanel()
{
    output_.ResetOutputPanel();
    PushToScreen();
}

// ---- Input panel ------------------------------------------------------------

void CUSBControlAppDlg::OnRowSwitch(int row)
{
    Suspended([this, row] { input_.OnRowSwitch(row); });
}

void CUSBControlAppDlg::OnSoundSwitch()
{
    Suspended([this] { input_.OnSoundSwitch(); });
}

void CUSBControlAppDlg::ShowColourSegment(int row, uint8_t address, bool on)
{
    input_.ShowColourSegment(row, address, on);
    PushToScreen();
}

void CUSBControlAppDlg::ShowNoColourSegment(int row)
{
    input_.ShowNoColourSegment(row);
    PushToScreen();
}

void CUSBControlAppDlg::ShowSoundSegment(bool on)
{
    input_.ShowSoundSegment(on);
    PushToScreen();
}

void CUSBControlAppDlg::ShowNoSoundSegment()
{
    input_.ShowNoSoundSegment();
    output_.ResetSoundRow();
    PushToScreen();
}

void CUSBControlAppDlg::ResetInputPanel()
{
    input_.ResetInputPanel();
    PushToScreen();
}

// ---- Lines, buttons, timer, menu ----------------------------------------------

void CUSBControlAppDlg::SetStatusLine(const std::string& text)
{
    model_.statusLine = text;
    PushToScreen();
}

void CUSBControlAppDlg::SetMessageLine(const std::string& text)
{
    model_.messageLine = text;
    PushToScreen();
}

void CUSBControlAppDlg::TransferTexts() { PushToScreen(); }

void CUSBControlAppDlg::SetOpenCloseCaption(const std::string& text)
{
    model_.openCloseCaption = text;
    PushToScreen();
}

void CUSBControlAppDlg::EnableSend(bool enabled)
{
    model_.sendEnabled = enabled;
    PushToScreen();
}

void CUSBControlAppDlg::EnableOpenClose(bool enabled)
{
    model_.openCloseEnabled = enabled;
    PushToScreen();
}

void CUSBControlAppDlg::EnableExit(bool enabled)
{
    model_.exitEnabled = enabled;
    PushToScreen();
}

void CUSBControlAppDlg::StartPollTimer()
{
    // The timer only ever runs over an open link.
    if (link_.IsOpen() && !ending_)
        pollTimer_.start(kPollTimerPeriodMs);
}

void CUSBControlAppDlg::StopPollTimer() { pollTimer_.stop(); }

void CUSBControlAppDlg::EnableToolMenu(bool enabled)
{
    model_.toolEntriesEnabled = enabled;
    PushToScreen();
}

void CUSBControlAppDlg::OnFirmwareUpdate()
{
    if (menu_.firmwareUpdate)
        menu_.firmwareUpdate();
    PushToScreen();
}

void CUSBControlAppDlg::EndMainWindow(int result)
{
    ending_ = true;
    pollTimer_.stop();
    done(result);
}

void CUSBControlAppDlg::OnFirmwareUpdateCommand() { OnFirmwareUpdate(); }

void CUSBControlAppDlg::OnPortMapping()
{
    if (link_.IsOpen() && menu_.portMapping)
        menu_.portMapping();
}

void CUSBControlAppDlg::OnChangeAddress()
{
    if (link_.IsOpen() && menu_.changeAddress)
        menu_.changeAddress();
}

void CUSBControlAppDlg::OnSwitchingThreshold()
{
    if (menu_.switchingThreshold)
        menu_.switchingThreshold();
}

void CUSBControlAppDlg::OnInfo()
{
    if (menu_.info)
        menu_.info();
}

void CUSBControlAppDlg::OnAbout()
{
    if (menu_.about)
        menu_.about();
}

void CUSBControlAppDlg::closeEvent(QCloseEvent* event)
{
    // The close box (and Alt+F4) runs the Exit steps before the window goes.
    if (!ending_)
        OnExit();
    if (ending_)
        event->accept();
    else
        event->ignore();
}

// ---- Pushing the model to the screen -------------------------------------------

void CUSBControlAppDlg::PushToScreen()
{
    const bool all = !shownValid_;
    const WindowModel& m = model_;
    for (int r = 0; r < kRows; ++r) {
        const size_t i = Index(r);
        RowWidgets& w = rows_[i];
        const OutputRowModel& out = m.output[i];
        const OutputRowModel& was = shown_.output[i];
        if (all || out.items != was.items) {
            const QSignalBlocker block(w.list);
            w.list->clear();
            for (const std::string& item : out.items)
                w.list->addItem(Text(item));
        }
        if (all || out.items != was.items || out.selected != was.selected ||
            w.list->currentIndex() != out.selected) {
            const QSignalBlocker block(w.list);
            w.list->setCurrentIndex(out.selected < w.list->count() ? out.selected : -1);
        }
        if (all || out.enabled != was.enabled) {
            w.list->setEnabled(out.enabled);
            w.slider->setEnabled(out.enabled);
        }
        if (all || out.sliderMin != was.sliderMin || out.sliderMax != was.sliderMax ||
            out.sliderPos != was.sliderPos || w.slider->value() != out.sliderPos) {
            const QSignalBlocker block(w.slider);
            w.slider->setRange(out.sliderMin, out.sliderMax);
            w.slider->setValue(out.sliderPos);
        }
        if (all || out.percentText != was.percentText)
            w.box->setText(Text(out.percentText));
        if (all || out.scaleLabel != was.scaleLabel)
            w.scale->setText(Text(out.scaleLabel));

        const InputRowModel& in = m.input[i];
        const InputRowModel& inWas = shown_.input[i];
        if (all || in.picture != inWas.picture)
            w.picture->setPixmap(TowerPixmap(in.picture));
        if (all || in.caption != inWas.caption)
            w.button->setText(Text(in.caption));
        if (all || in.buttonEnabled != inWas.buttonEnabled)
            w.button->setEnabled(in.buttonEnabled);
        if (w.name && (all || in.name != inWas.name))
            w.name->setText(Text(in.name));
    }
    if (all || m.statusLine != shown_.statusLine)
        statusLine_->setText(Text(m.statusLine));
    if (all || m.messageLine != shown_.messageLine)
        messageLine_->setText(Text(m.messageLine));
    if (all || m.openCloseCaption != shown_.openCloseCaption)
        openClose_->setText(Text(m.openCloseCaption));
    if (all || m.sendEnabled != shown_.sendEnabled)
        send_button_->setEnabled(m.sendEnabled);
    if (all || m.openCloseEnabled != shown_.openCloseEnabled)
        openClose_->setEnabled(m.openCloseEnabled);
    if (all || m.exitEnabled != shown_.exitEnabled)
        exit_->setEnabled(m.exitEnabled);
    if (all || m.toolEntriesEnabled != shown_.toolEntriesEnabled) {
        portMappingAction_->setEnabled(m.toolEntriesEnabled);
        changeAddressAction_->setEnabled(m.toolEntriesEnabled);
        thresholdAction_->setEnabled(m.toolEntriesEnabled);
    }
    if (all || m.firmwareEntryEnabled != shown_.firmwareEntryEnabled)
        firmwareAction_->setEnabled(m.firmwareEntryEnabled);
    shown_ = m;
    shownValid_ = true;
}

#include "app/usb_control_app_dlg.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QEventLoop>
#include <QFrame>
#include <QGroupBox>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPalette>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSlider>
#include <QStyle>
#include <QVBoxLayout>
#include <QWindow>

#include <algorithm>
#include <cmath>

#include "app/window_fit.h"
#include "app/window_pictures.h"
#include "ui/dialog_style.h"

using namespace kv;

namespace {

// Geometry of the window in pixels of the 8 pt dialog font it was drawn for
// (6 x 13 pixels per average character); LayOutWindow stretches it to the
// window's own font.
constexpr int kDesignBaseX = 6;
constexpr int kDesignBaseY = 13;
constexpr int kGroupTop = 52;
constexpr int kFirstLineTop = 24;            // inside a group box
constexpr int kLineHeight = kSegmentHeight;  // one tower segment
constexpr int kListWidth = 210;

const QColor kBackground(0xF0, 0xF0, 0xF0);
const QColor kWhite(0xFF, 0xFF, 0xFF);

// Line of a row in both panels, counted from the top: the sound row first,
// "Color Segment 1" last.
int LineOfRow(int row)
{
    return kRows - 1 - row;
}

QString Text(const std::string& s)
{
    return QString::fromStdString(s);
}

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

QLabel* MakeLabel(QWidget* parent, const QString& text,
                  Qt::Alignment align = Qt::AlignLeft | Qt::AlignVCenter)
{
    auto* label = new QLabel(text, parent);
    label->setAlignment(align);
    return label;
}

QPushButton* MakeButton(QWidget* parent, const QString& text)
{
    auto* button = new QPushButton(text, parent);
    // Enter never presses a button of this window.
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

// Design pixels to the pixels of the window's font; never smaller than
// drawn, so the pictures keep at least their own size.
struct Stretch {
    explicit Stretch(const QFont& font)
    {
        const DialogUnitScale units(font);
        sx = std::max(1.0, static_cast<double>(units.baseX()) / kDesignBaseX);
        sy = std::max(1.0, static_cast<double>(units.baseY()) / kDesignBaseY);
    }
    int X(int design) const { return static_cast<int>(std::lround(design * sx)); }
    int Y(int design) const { return static_cast<int>(std::lround(design * sy)); }
    double sx;
    double sy;
};

}  // namespace

CUSBControlAppDlg::CUSBControlAppDlg(DeviceState& state, HidLink& link, PatternTables& patterns,
                                     QWidget* parent)
    : QDialog(parent), link_(link), session_(state, link, patterns, *this)
{
    setWindowTitle("Kestrivane");
    // An ordinary top-level window (its own taskbar entry), not a dialog
    // kept above another: a caption, a system menu, minimise and close.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    ApplyProgramManners();
    setWindowIcon(ApplicationIcon());
    setPalette(WindowPalette());
    setAutoFillBackground(true);

    pollTimer_.setInterval(kPollTimerPeriodMs);
    connect(&pollTimer_, &QTimer::timeout, this, [this] { OnTimer(kPollTimerId); });
    watchTimer_.setInterval(kWatchPeriodMs);
    connect(&watchTimer_, &QTimer::timeout, this, [this] { OnWatch(); });
    chooseTower = [this](const std::vector<std::string>& entries) {
        QStringList items;
        for (const std::string& entry : entries)
            items << Text(entry);
        bool ok = false;
        const QString item = QInputDialog::getItem(this, "Kestrivane",
                                                   "Several Base Controllers are attached. Open which one?",
                                                   items, 0, false, &ok);
        return ok ? static_cast<int>(items.indexOf(item)) : -1;
    };

    BuildWindow();
}

CUSBControlAppDlg::~CUSBControlAppDlg()
{
    pollTimer_.stop();
    watchTimer_.stop();
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
    // The client keeps its size; on a smaller screen it scrolls in its view.
    view_ = new QScrollArea(this);
    view_->setFrameShape(QFrame::NoFrame);
    view_->setWidgetResizable(false);
    view_->setFocusPolicy(Qt::NoFocus);
    client_ = new QWidget;
    view_->setWidget(client_);
    outer->addWidget(view_);
    BuildMenu();

    statusLine_ = MakeLabel(client_, kStatusOffline);
    messageLine_ = MakeLabel(client_, QString());
    title_ = MakeLabel(client_, QString());

    // Group boxes on the dialog's own background, the caption in the frame
    // line.
    const QString groupStyle =
        "QGroupBox { background-color: #F0F0F0; border: 1px solid #A0A0A0; "
        "border-radius: 2px; margin-top: 7px; }"
        "QGroupBox::title { subcontrol-origin: margin; left: 8px; padding: 0 3px; }";
    inputGroup_ = new QGroupBox("Input", client_);
    outputGroup_ = new QGroupBox("Output", client_);
    inputGroup_->setStyleSheet(groupStyle);
    outputGroup_->setStyleSheet(groupStyle);

    for (int r = 0; r < kRows; ++r) {
        RowWidgets& w = rows_[Index(r)];
        const bool sound = r == kSoundRow;

        // Input panel line: button, picture, name.
        w.button = MakeButton(inputGroup_, "On");
        w.picture = MakeLabel(inputGroup_, QString());
        if (!sound)
            w.name = MakeLabel(inputGroup_, QString());

        // Output panel row.
        w.caption = MakeLabel(outputGroup_,
                              sound ? QString("Sound Segment") : QString("Color Segment %1").arg(r + 1));
        w.list = new QComboBox(outputGroup_);
        w.list->setMaxVisibleItems(14);
        w.sliderCaption = MakeLabel(outputGroup_, sound ? "Volume" : "Brightness");
        w.slider = new QSlider(Qt::Horizontal, outputGroup_);
        w.slider->setTracking(true);
        w.scaleLeft = MakeLabel(outputGroup_, "0 %");
        w.scale = MakeLabel(outputGroup_, "100 %", Qt::AlignRight | Qt::AlignVCenter);
        w.box = new QLineEdit(outputGroup_);
        w.box->setReadOnly(true);
        w.box->setAlignment(Qt::AlignCenter);
        w.box->setFocusPolicy(Qt::NoFocus);
        // A read-only box sits on the dialog's background.
        QPalette boxPalette = w.box->palette();
        boxPalette.setColor(QPalette::Base, kBackground);
        w.box->setPalette(boxPalette);
        w.percentSign = MakeLabel(outputGroup_, " %");

        if (sound) {
            connect(w.button, &QPushButton::clicked, this, [this] { OnSoundSwitch(); });
            connect(w.list, &QComboBox::currentIndexChanged, this, [this] { OnSoundPatternSelected(); });
        } else {
            connect(w.button, &QPushButton::clicked, this, [this, r] { OnRowSwitch(r); });
            connect(w.list, &QComboBox::currentIndexChanged, this, [this, r] { OnPatternSelected(r); });
        }
        QSlider* slider = w.slider;
        connect(slider, &QSlider::valueChanged, this, [this, slider] { OnHScroll(slider); });
        connect(slider, &QSlider::sliderReleased, this, [this, slider] { OnHScroll(slider); });
    }
    base_ = MakeLabel(inputGroup_, QString());

    frame_ = new QFrame(client_);
    frame_->setFrameShape(QFrame::StyledPanel);
    frame_->setFrameShadow(QFrame::Sunken);
    logo_ = MakeLabel(frame_, QString());
    hintLine_ = MakeLabel(frame_, QString(), Qt::AlignLeft | Qt::AlignTop);
    hintLine_->setWordWrap(true);
    send_button_ = MakeButton(frame_, "Send");
    openClose_ = MakeButton(frame_, "Open");
    exit_ = MakeButton(frame_, "Exit");
    connect(send_button_, &QPushButton::clicked, this, [this] { OnSend(); });
    connect(openClose_, &QPushButton::clicked, this, [this] { OnOpenClose(); });
    connect(exit_, &QPushButton::clicked, this, [this] { OnExit(); });

    // Tab walks the window as it is read: line by line from the top, in a
    // line from the left (on/off button, pattern list, slider), then Send,
    // Open/Close and Exit.
    QWidget* previous = nullptr;
    auto chain = [&previous](QWidget* next) {
        if (previous)
            setTabOrder(previous, next);
        previous = next;
    };
    for (int line = 0; line < kRows; ++line) {
        const RowWidgets& w = rows_[Index(kRows - 1 - line)];
        chain(w.button);
        chain(w.list);
        chain(w.slider);
    }
    chain(send_button_);
    chain(openClose_);
    chain(exit_);

    LayOutWindow();
}

void CUSBControlAppDlg::LayOutWindow()
{
    const Stretch d(font());
    const qreal ratio = devicePixelRatioF();
    // A line is as high as a tower picture, or as its controls need with a
    // larger font; the tower pictures then grow with it, so they still
    // touch.
    const RowWidgets& any = rows_[0];
    const int labelHeight = QFontMetrics(any.caption->font()).height() + 2;
    const int listHeight = std::max(d.Y(22), any.list->sizeHint().height());
    const int sliderHeight = std::max(d.Y(20), any.slider->sizeHint().height());
    const int buttonHeight = std::max(d.Y(24), any.button->sizeHint().height());
    const int boxHeight = std::max(d.Y(20), any.box->sizeHint().height());
    const int listBlock = labelHeight + d.Y(2) + listHeight;
    const int sliderBlock = labelHeight + sliderHeight + labelHeight;
    const int line =
        std::max({kLineHeight, listBlock + d.Y(12), sliderBlock + d.Y(4), buttonHeight + d.Y(8)});
    pictureSize_ = QSize(static_cast<int>(std::lround(kSegmentWidth * line / double(kLineHeight))), line);
    const QSize baseSize(pictureSize_.width(),
                         static_cast<int>(std::lround(kBaseHeight * line / double(kLineHeight))));

    // Input panel: button, picture, name.
    const int buttonX = d.X(12);
    const int pictureX = buttonX + d.X(50) + d.X(10);
    const int nameX = pictureX + pictureSize_.width() + d.X(8);
    const int inputWidth = nameX + d.X(72) + d.X(8);

    // Output panel.
    const int listWidth = d.X(kListWidth);
    const int listX = d.X(12);
    const int sliderX = listX + listWidth + d.X(14);
    const int sliderWidth = d.X(170);
    const int boxX = sliderX + sliderWidth + d.X(10);
    const int boxWidth = d.X(44);
    const int signX = boxX + boxWidth + d.X(2);
    const int signWidth = d.X(24);
    const int outputWidth = signX + signWidth + d.X(20);

    // Below the status and message lines.
    const int textHeight = QFontMetrics(statusLine_->font()).height() + 2;
    const int groupTop = std::max(d.Y(kGroupTop), d.Y(8) + 2 * textHeight + d.Y(12));
    const int firstLine = d.Y(kFirstLineTop);
    const int groupHeight = firstLine + kRows * line + baseSize.height() + d.Y(13);
    const int outputX = d.X(10) + inputWidth + d.X(10);
    const int clientWidth = outputX + outputWidth + d.X(10);

    inputGroup_->setGeometry(d.X(10), groupTop, inputWidth, groupHeight);
    outputGroup_->setGeometry(outputX, groupTop, outputWidth, groupHeight);
    for (int r = 0; r < kRows; ++r) {
        RowWidgets& w = rows_[Index(r)];
        const int y = firstLine + LineOfRow(r) * line;
        const int listTop = y + (line - listBlock) / 2;
        const int sliderTop = y + (line - sliderBlock) / 2;
        const int sliderY = sliderTop + labelHeight;
        w.button->setGeometry(buttonX, y + (line - buttonHeight) / 2, d.X(50), buttonHeight);
        w.picture->setGeometry(pictureX, y, pictureSize_.width(), pictureSize_.height());
        if (w.name)
            w.name->setGeometry(nameX, y + (line - labelHeight) / 2, d.X(72), labelHeight);
        w.caption->setGeometry(listX, listTop, listWidth, labelHeight);
        w.list->setGeometry(listX, listTop + labelHeight + d.Y(2), listWidth, listHeight);
        w.sliderCaption->setGeometry(sliderX, sliderTop, sliderWidth, labelHeight);
        w.slider->setGeometry(sliderX, sliderY, sliderWidth, sliderHeight);
        w.scaleLeft->setGeometry(sliderX, sliderY + sliderHeight, sliderWidth / 2, labelHeight);
        w.scale->setGeometry(sliderX + sliderWidth / 2, sliderY + sliderHeight, sliderWidth / 2, labelHeight);
        const int boxY = sliderY + (sliderHeight - boxHeight) / 2;
        w.box->setGeometry(boxX, boxY, boxWidth, boxHeight);
        w.percentSign->setGeometry(signX, boxY, signWidth, boxHeight);
    }
    base_->setGeometry(pictureX, firstLine + kRows * line, baseSize.width(), baseSize.height());
    base_->setPixmap(BasePixmap(baseSize, ratio));

    const int frameTop = groupTop + groupHeight + d.Y(10);
    const int frameHeight =
        std::max(d.Y(80), d.Y(24) + 2 * std::max(d.Y(28), send_button_->sizeHint().height()));
    const int frameWidth = clientWidth - d.X(20);
    frame_->setGeometry(d.X(10), frameTop, frameWidth, frameHeight);
    const int wideWidth = d.X(96);
    const int wideHeight = std::max(d.Y(28), send_button_->sizeHint().height());
    const int rightX = frameWidth - d.X(14) - wideWidth;
    send_button_->setGeometry(rightX, d.Y(8), wideWidth, wideHeight);
    exit_->setGeometry(rightX, frameHeight - d.Y(8) - wideHeight, wideWidth, wideHeight);
    openClose_->setGeometry(rightX - d.X(8) - wideWidth, frameHeight - d.Y(8) - wideHeight, wideWidth,
                            wideHeight);
    logo_->setGeometry(d.X(16), frameHeight - d.Y(16) - kLogoHeight, kLogoWidth, kLogoHeight);
    logo_->setPixmap(MakerLogoPicture(ratio));
    const int hintX = d.X(16) + kLogoWidth + d.X(16);
    hintLine_->setGeometry(hintX, d.Y(8), rightX - d.X(8) - wideWidth - d.X(16) - hintX,
                           frameHeight - d.Y(16));

    const int titleX = (clientWidth - kTitleWidth) / 2;
    statusLine_->setGeometry(d.X(14), d.Y(8), titleX - d.X(20), textHeight);
    messageLine_->setGeometry(d.X(14), d.Y(8) + textHeight + d.Y(2), titleX - d.X(20), textHeight);
    title_->setGeometry(titleX, d.Y(8), kTitleWidth, kTitleHeight);
    title_->setPixmap(TitlePicture(ratio));

    client_->setFixedSize(clientWidth, frameTop + frameHeight + d.Y(8));
    // The tower pictures in their new size.
    shownValid_ = false;
    FitToOwnScreen();
}

void CUSBControlAppDlg::FitToScreen(QSize available)
{
    // The window's frame (once the window system has given it one) and the
    // menu bar come off the screen's room.
    const QSize frame = frameGeometry().size() - geometry().size();
    const int menu = layout()->menuBar() != nullptr ? layout()->menuBar()->sizeHint().height() : 0;
    const Extent room{available.width() - frame.width(), available.height() - frame.height() - menu};
    const ClientView fit = FitClient(Extent{client_->width(), client_->height()}, room,
                                     style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, view_));
    view_->setHorizontalScrollBarPolicy(fit.horizontalBar ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
    view_->setVerticalScrollBarPolicy(fit.verticalBar ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
    view_->setFixedSize(fit.size.width, fit.size.height);
    layout()->activate();
}

void CUSBControlAppDlg::FitToOwnScreen()
{
    QScreen* own = screen();
    if (own == nullptr || view_ == nullptr)
        return;
    const QRect area = own->availableGeometry();
    FitToScreen(area.size());
    // A window that now fits but stands over an edge comes back on screen.
    if (isVisible() && !area.contains(frameGeometry())) {
        const QRect frame = frameGeometry();
        move(std::clamp(frame.x(), area.left(), std::max(area.left(), area.right() - frame.width() + 1)),
             std::clamp(frame.y(), area.top(), std::max(area.top(), area.bottom() - frame.height() + 1)));
    }
}

void CUSBControlAppDlg::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    // The frame is known once the window is on screen; another screen (or
    // its new size) fits again.
    FitToOwnScreen();
    if (QWindow* handle = windowHandle()) {
        connect(handle, &QWindow::screenChanged, this, &CUSBControlAppDlg::FitToOwnScreen,
                Qt::UniqueConnection);
    }
    if (QScreen* own = screen()) {
        connect(own, &QScreen::availableGeometryChanged, this, &CUSBControlAppDlg::FitToOwnScreen,
                Qt::UniqueConnection);
    }
}

int CUSBControlAppDlg::DoModal()
{
    OnInitDialog();
    // Shown as the program's ordinary window, not as a modal dialog, and run
    // until it ends.
    QEventLoop loop;
    connect(this, &QDialog::finished, &loop, &QEventLoop::exit);
    show();
    return loop.exec();
}

bool CUSBControlAppDlg::OnInitDialog()
{
    setWindowIcon(ApplicationIcon());
    session_.Initialise();
    // The base picture, the logo and the title, drawn for the window's
    // font and screen with the rest of the layout.
    LayOutWindow();
    PushToScreen();
    return true;
}

// ---- Buttons and timer: forwarded to the session, which draws once after ----

void CUSBControlAppDlg::OnOpenClose()
{
    if (session_.IsOpen() || session_.state().forceClose != 0) {
        session_.OnOpenClose();
        return;
    }
    const std::vector<BaseControllerEntry>& found = finder_.LookBeforeOpen();
    int chosen = 0;
    if (found.size() > 1) {
        chosen = chooseTower ? chooseTower(finder_.ChoiceLabels()) : -1;
        if (chosen < 0)
            return;
    }
    link_.SetDevicePath(finder_.PathFor(chosen));
    session_.OnOpenClose();
    if (session_.IsOpen())
        finder_.Connected(link_.devicePath());
    else  // the warning as the session put it, and what to check below it
        session_.ShowMessage(session_.model().messageLine, finder_.HintAfterFailedOpen());
}

void CUSBControlAppDlg::OnWatch()
{
    if (session_.IsOpen() || ending_ || updating_)
        return;
    if (const std::optional<Notice> notice = finder_.Watch())
        session_.ShowMessage(notice->line, notice->hint);
}

void CUSBControlAppDlg::FollowConnection()
{
    if (session_.IsOpen())
        finder_.SeenFirmware(session_.state().firmwareVersion[kBaseControllerSlot]);
    const bool watch = !session_.IsOpen() && !ending_ && !updating_;
    if (watch && !watchTimer_.isActive()) {
        finder_.StartWatch();
        watchTimer_.start();
    } else if (!watch) {
        watchTimer_.stop();
    }
}

void CUSBControlAppDlg::OnExit()
{
    if (ending_)
        return;
    session_.Exit();
    if (!ending_)
        SessionEnded(0);
}

void CUSBControlAppDlg::OnTimer(int id)
{
    if (id != kPollTimerId || ending_)
        return;
    session_.Tick();
}

void CUSBControlAppDlg::OnSend()
{
    session_.Send();
}

void CUSBControlAppDlg::OnPatternSelected(int row)
{
    session_.SelectPattern(row, rows_[Index(row)].list->currentIndex());
}

void CUSBControlAppDlg::OnSoundPatternSelected()
{
    session_.SelectPattern(kSoundRow, rows_[kSoundRow].list->currentIndex());
}

void CUSBControlAppDlg::OnHScroll(QSlider* slider)
{
    for (int r = 0; r < kRows; ++r) {
        if (rows_[Index(r)].slider == slider) {
            session_.MoveSlider(r, slider->value());
            return;
        }
    }
}

void CUSBControlAppDlg::OnRowSwitch(int row)
{
    session_.PressSwitch(row);
}

void CUSBControlAppDlg::OnSoundSwitch()
{
    session_.PressSwitch(kSoundRow);
}

// ---- kv::SessionHost ------------------------------------------------------------

void CUSBControlAppDlg::StartTick()
{
    if (!ending_)
        pollTimer_.start(kPollTimerPeriodMs);
}

void CUSBControlAppDlg::StopTick()
{
    pollTimer_.stop();
}

bool CUSBControlAppDlg::RunFirmwareUpdate()
{
    if (!menu_.firmwareUpdate)
        return false;
    // The update has the bus to itself.
    updating_ = true;
    watchTimer_.stop();
    menu_.firmwareUpdate();
    updating_ = false;
    FollowConnection();
    return true;
}

void CUSBControlAppDlg::SessionEnded(int result)
{
    if (ending_)
        return;
    ending_ = true;
    pollTimer_.stop();
    watchTimer_.stop();
    done(result);
}

void CUSBControlAppDlg::OnFirmwareUpdateCommand()
{
    session_.OnFirmwareUpdate();
}

void CUSBControlAppDlg::OnPortMapping()
{
    if (session_.IsOpen() && menu_.portMapping)
        menu_.portMapping();
}

void CUSBControlAppDlg::OnChangeAddress()
{
    if (session_.IsOpen() && menu_.changeAddress)
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

void CUSBControlAppDlg::changeEvent(QEvent* event)
{
    QDialog::changeEvent(event);
    // A new font (or desktop font size) gives new dialog units.
    if (event->type() == QEvent::FontChange && client_ != nullptr) {
        LayOutWindow();
        PushToScreen();
    }
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
    // The session draws from its first moment on; the widgets come later.
    if (client_ == nullptr)
        return;
    const bool all = !shownValid_;
    const WindowModel& m = session_.model();
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
            w.picture->setPixmap(TowerPixmap(in.picture, pictureSize_, devicePixelRatioF()));
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
    if (all || m.messageHint != shown_.messageHint) {
        hintLine_->setText(Text(m.messageHint));
        messageLine_->setToolTip(Text(m.messageHint));
    }
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
    FollowConnection();
}

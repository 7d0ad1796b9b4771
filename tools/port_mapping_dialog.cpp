#include "tools/port_mapping_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTimer>
#include <QVBoxLayout>

#include "ui/dialog_style.h"
#include <algorithm>
#include <cmath>

namespace kv {

namespace {

struct Wire {
    const char* name;
    QColor colour;
    int pin;
};

const Wire kWires[kInputPorts] = {
    {"Red", QColor(220, 30, 30), 4},     {"Yellow", QColor(240, 210, 0), 5},
    {"Green", QColor(20, 160, 40), 6},   {"Blue", QColor(30, 80, 220), 7},
    {"White", QColor(255, 255, 255), 8},
};

}  // namespace

ConnectorPicture::ConnectorPicture(QWidget* parent) : QWidget(parent)
{
    setMinimumSize(sizeHint());
}

QSize ConnectorPicture::sizeHint() const
{
    return QSize(230, 150);
}

void ConnectorPicture::SetRowCentres(const std::array<int, kInputPorts>& centres)
{
    centres_ = centres;
    haveCentres_ = true;
    update();
}

void ConnectorPicture::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const int w = width();
    const int h = height();

    std::array<double, kInputPorts> ys{};
    for (int i = 0; i < kInputPorts; ++i) {
        const size_t k = static_cast<size_t>(i);
        ys[k] = haveCentres_ ? centres_[k] : h * (2.0 * i + 1) / (2 * kInputPorts);
    }

    // The plug face of the Base Controller's input connector: pins 1..3 on
    // the left, the input pins 4..8 on the right, top to bottom.
    const double bodyR = std::clamp(h / 2.0 - 8, 20.0, 40.0);
    const QPointF centre(bodyR + 6, h / 2.0);
    p.setPen(QPen(QColor(60, 60, 60), 2));
    p.setBrush(QColor(160, 160, 160));
    p.drawEllipse(centre, bodyR, bodyR);
    p.setBrush(QColor(90, 90, 90));
    p.drawRect(QRectF(centre.x() - 5, centre.y() - bodyR - 4, 10, 8));
    QFont small = font();
    small.setPixelSize(9);
    p.setFont(small);
    std::array<QPointF, 8> pins{};
    for (int n = 0; n < 8; ++n) {
        const double degrees = n < 3 ? 210.0 - 30.0 * n : -60.0 + 30.0 * (n - 3);
        const double angle = degrees * 3.14159265358979 / 180.0;
        const double r = bodyR * 0.6;
        const QPointF pin(centre.x() + r * std::cos(angle), centre.y() + r * std::sin(angle));
        pins[static_cast<size_t>(n)] = pin;
        p.setPen(QPen(QColor(40, 40, 40), 1));
        p.setBrush(QColor(230, 190, 60));
        p.drawEllipse(pin, 3.5, 3.5);
        const QPointF label(centre.x() + (r + 9) * std::cos(angle),
                            centre.y() + (r + 9) * std::sin(angle));
        p.setPen(QColor(0, 0, 0));
        p.drawText(QRectF(label.x() - 6, label.y() - 6, 12, 12), Qt::AlignCenter,
                   QString::number(n + 1));
    }

    // Input ports 1..5 are the wires on pins 4..8, each running level with
    // its row of the grid.
    const double bend = centre.x() + bodyR + 34;
    QFont labelFont = font();
    labelFont.setPixelSize(11);
    for (int i = 0; i < kInputPorts; ++i) {
        const Wire& wire = kWires[i];
        const QPointF from = pins[static_cast<size_t>(wire.pin - 1)];
        const double y = ys[static_cast<size_t>(i)];
        QPainterPath path(from);
        path.cubicTo(QPointF(bend - 10, from.y()), QPointF(bend - 24, y), QPointF(bend, y));
        path.lineTo(w - 4, y);
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(QColor(40, 40, 40), 5, Qt::SolidLine, Qt::RoundCap));
        p.drawPath(path);
        p.setPen(QPen(wire.colour, 3, Qt::SolidLine, Qt::RoundCap));
        p.drawPath(path);
        p.setPen(QColor(0, 0, 0));
        p.setFont(labelFont);
        p.drawText(QRectF(bend + 4, y - 17, w - bend - 8, 14), Qt::AlignLeft | Qt::AlignBottom,
                   QStringLiteral("Pin %1  %2").arg(wire.pin).arg(QLatin1String(wire.name)));
    }
}

CPort_Mapping::CPort_Mapping(PortMappingState& state, DeviceState& device, ToolLink link,
                             QWidget* parent)
    : QDialog(parent), m_(state), s_(device), link_(std::move(link))
{
    setWindowTitle(QStringLiteral("Port Mapping"));
    ApplyToolPalette(this);
    io_.write = link_.write;
    io_.flush = [this] {
        ShowState();
        status_->repaint();
    };

    auto* outer = new QVBoxLayout(this);
    messageLine_ = new QLabel(this);
    messageLine_->setTextFormat(Qt::PlainText);
    messageLine_->setFont(ToolBoldFont());
    messageLine_->setMinimumHeight(QFontMetrics(ToolBoldFont()).height() + 4);
    outer->addWidget(messageLine_);

    auto* grid = new QGridLayout;
    picture_ = new ConnectorPicture(this);
    grid->addWidget(picture_, 0, 0, kInputPorts + 1, 1);
    for (int c = 1; c <= kMapColumns; ++c) {
        auto* heading = new QLabel(QLatin1String(kPortMapHeadings[c - 1]), this);
        heading->setAlignment(Qt::AlignCenter);
        grid->addWidget(heading, 0, c);
    }
    auto* acousticHeading = new QLabel(QStringLiteral("Acoustic"), this);
    acousticHeading->setAlignment(Qt::AlignCenter);
    grid->addWidget(acousticHeading, 0, kMapColumns + 1);

    for (int p = 0; p < kInputPorts; ++p) {
        for (int c = 1; c <= kMapColumns; ++c) {
            auto* box = new QComboBox(this);
            for (int item = 0; item < kMapItems; ++item)
                box->addItem(QLatin1String(PortMapItemText(p, c, item)), item);
            box->setMinimumWidth(DialogUnits(this, 64, 0).width());
            cells_[static_cast<size_t>(p)][static_cast<size_t>(c - 1)] = box;
            grid->addWidget(box, p + 1, c);
            connect(box, &QComboBox::activated, this,
                    [this, p, c](int item) { OnSelectCell(p, c, item); });
        }
        auto* check = new QCheckBox(this);
        acoustic_[static_cast<size_t>(p)] = check;
        grid->addWidget(check, p + 1, kMapColumns + 1, Qt::AlignCenter);
        connect(check, &QCheckBox::clicked, this, [this, p] { OnAcousticClicked(p); });
    }
    for (int p = 1; p <= kInputPorts; ++p)
        grid->setRowStretch(p, 1);
    outer->addLayout(grid);

    auto* bottom = new QHBoxLayout;
    status_ = new QLabel(this);
    status_->setTextFormat(Qt::PlainText);
    status_->setFont(ToolBoldFont());
    FitStatusField(status_, {kPortMapPleaseWait, kPortMapSameAddresses, kPortMapSuccess,
                             kPortMapFailed});
    bottom->addWidget(status_, 1);
    bottom->addStretch(1);
    send_ = new QPushButton(QStringLiteral("Send to Base"), this);
    exit_ = new QPushButton(QStringLiteral("Exit"), this);
    send_->setAutoDefault(false);
    exit_->setAutoDefault(false);
    bottom->addWidget(send_);
    bottom->addWidget(exit_);
    outer->addLayout(bottom);

    connect(send_, &QPushButton::clicked, this, &CPort_Mapping::OnSendToBase);
    connect(exit_, &QPushButton::clicked, this, [this] { done(0); });

    verifyTimer_ = new QTimer(this);
    verifyTimer_->setInterval(kPortMapVerifyPeriodMs);
    connect(verifyTimer_, &QTimer::timeout, this, &CPort_Mapping::OnVerifyTick);

    // Runs only while the tower's map is not known yet.
    mapWatch_ = new QTimer(this);
    mapWatch_->setInterval(kPortMapWatchPeriodMs);
    connect(mapWatch_, &QTimer::timeout, this, &CPort_Mapping::OnMapWatchTick);
}

QComboBox* CPort_Mapping::cell(int port, int column) const
{
    if (port < 0 || port >= kInputPorts || column < 1 || column > kMapColumns)
        return nullptr;
    return cells_[static_cast<size_t>(port)][static_cast<size_t>(column - 1)];
}

void CPort_Mapping::Prepare()
{
    messageLine_->setFont(ToolBoldFont());
    status_->setFont(ToolBoldFont());
    OpenPortMapping(m_, s_, link_.isOpen && link_.isOpen());
    ShowState();
    if (m_.mapKnown)
        mapWatch_->stop();
    else
        mapWatch_->start();
}

int CPort_Mapping::Run()
{
    Prepare();
    return exec();
}

void CPort_Mapping::ShowState()
{
    for (int p = 0; p < kInputPorts; ++p) {
        for (int c = 1; c <= kMapColumns; ++c) {
            QComboBox* box = cell(p, c);
            const QSignalBlocker block(box);
            box->setCurrentIndex(m_.cellNumber[static_cast<size_t>(p)][static_cast<size_t>(c - 1)]);
            box->setEnabled(m_.gridEnabled);
        }
        QCheckBox* check = acoustic_[static_cast<size_t>(p)];
        const QSignalBlocker block(check);
        check->setChecked(m_.portAcousticBit[static_cast<size_t>(p)] == kAcousticFlag);
        check->setEnabled(m_.gridEnabled);
    }
    SetColouredText(messageLine_, m_.messageLine, QColor(255, 0, 0));
    SetColouredText(status_, m_.statusText, ToneColour(m_.statusTone));
    send_->setEnabled(m_.sendEnabled);
    if (m_.verifyTimerRunning && !verifyTimer_->isActive())
        verifyTimer_->start();
    else if (!m_.verifyTimerRunning && verifyTimer_->isActive())
        verifyTimer_->stop();
}

void CPort_Mapping::OnSelectCell(int port, int column, int item)
{
    SelectCell(m_, port, column, item);
    ShowState();
}

void CPort_Mapping::OnAcousticClicked(int port)
{
    ClickAcoustic(m_, port);
    ShowState();
}

void CPort_Mapping::OnSendToBase()
{
    const bool restart = SendToBase(m_, s_, io_);
    // A new send restarts the count from a fresh period.
    if (restart)
        verifyTimer_->stop();
    ShowState();
}

void CPort_Mapping::OnVerifyTick()
{
    PortMappingVerifyTick(m_, s_);
    ShowState();
}

void CPort_Mapping::OnMapWatchTick()
{
    TakeOverReportedMap(m_, s_, link_.isOpen && link_.isOpen());
    if (!m_.mapKnown)
        return;
    mapWatch_->stop();
    ShowState();
}

void CPort_Mapping::PlaceWires()
{
    std::array<int, kInputPorts> centres{};
    for (int p = 0; p < kInputPorts; ++p) {
        QComboBox* box = cell(p, 1);
        const QPoint mid = box->mapTo(this, QPoint(0, box->height() / 2));
        centres[static_cast<size_t>(p)] = picture_->mapFrom(this, mid).y();
    }
    picture_->SetRowCentres(centres);
}

void CPort_Mapping::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    PlaceWires();
}

void CPort_Mapping::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    PlaceWires();
}

void CPort_Mapping::done(int result)
{
    verifyTimer_->stop();
    mapWatch_->stop();
    m_.verifyTimerRunning = false;
    QDialog::done(result);
}

}  // namespace kv

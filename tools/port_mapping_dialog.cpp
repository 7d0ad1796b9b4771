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
    return QSize(190, 170);
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

    std::array<int, kInputPorts> ys{};
    for (int i = 0; i < kInputPorts; ++i) {
        const size_t k = static_cast<size_t>(i);
        ys[k] = haveCentres_ ? centres_[k] : h * (2 * i + 1) / (2 * kInputPorts);
    }

    // Connector body: a round plug face with eight pins, seen from the front.
    const int bodyR = std::min(38, h / 4);
    const QPointF centre(bodyR + 6, h / 2.0);
    p.setPen(QPen(QColor(60, 60, 60), 2));
    p.setBrush(QColor(150, 150, 150));
    p.drawEllipse(centre, bodyR, bodyR);
    p.setBrush(QColor(90, 90, 90));
    p.drawRect(QRectF(centre.x() - 5, centre.y() - bodyR - 4, 10, 8));  // key notch
    QFont small = font();
    small.setPixelSize(9);
    p.setFont(small);
    std::array<QPointF, 8> pins{};
    for (int n = 0; n < 8; ++n) {
        const double angle = (n * 45.0 - 90.0) * 3.14159265358979 / 180.0;
        const double r = bodyR * 0.62;
        pins[static_cast<size_t>(n)] =
            QPointF(centre.x() + r * std::cos(angle), centre.y() + r * std::sin(angle));
        p.setPen(QPen(QColor(40, 40, 40), 1));
        p.setBrush(QColor(230, 190, 60));
        p.drawEllipse(pins[static_cast<size_t>(n)], 3.5, 3.5);
    }

    // The five input wires leave pins 4..8 and run level with rows 1..5.
    const double labelX = w - 96;
    for (int i = 0; i < kInputPorts; ++i) {
        const Wire& wire = kWires[i];
        const QPointF from = pins[static_cast<size_t>(wire.pin - 1)];
        const double y = ys[static_cast<size_t>(i)];
        QPainterPath path(from);
        path.cubicTo(QPointF(centre.x() + bodyR + 20, from.y()),
                     QPointF(centre.x() + bodyR + 10, y), QPointF(labelX - 4, y));
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(QColor(40, 40, 40), 5, Qt::SolidLine, Qt::RoundCap));
        p.drawPath(path);
        p.setPen(QPen(wire.colour, 3, Qt::SolidLine, Qt::RoundCap));
        p.drawPath(path);
        p.setPen(QColor(0, 0, 0));
        QFont label = font();
        label.setPixelSize(11);
        p.setFont(label);
        p.drawText(QRectF(labelX, y - 8, 96, 16), Qt::AlignLeft | Qt::AlignVCenter,
                   QStringLiteral("Pin %1 %2").arg(wire.pin).arg(QLatin1String(wire.name)));
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
    messageLine_->setMinimumHeight(24);
    outer->addWidget(messageLine_);

    auto* grid = new QGridLayout;
    picture_ = new ConnectorPicture(this);
    grid->addWidget(picture_, 1, 0, kInputPorts, 1);
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
            box->setMinimumWidth(96);
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
    outer->addLayout(grid);

    auto* bottom = new QHBoxLayout;
    status_ = new QLabel(this);
    status_->setTextFormat(Qt::PlainText);
    status_->setAlignment(Qt::AlignCenter);
    status_->setWordWrap(true);
    status_->setMinimumSize(300, 50);
    bottom->addWidget(status_, 1);
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
        }
        QCheckBox* check = acoustic_[static_cast<size_t>(p)];
        const QSignalBlocker block(check);
        check->setChecked(m_.portAcousticBit[static_cast<size_t>(p)] == kAcousticFlag);
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
    m_.verifyTimerRunning = false;
    QDialog::done(result);
}

}  // namespace kv

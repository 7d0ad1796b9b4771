// CPort_Mapping, "Port Mapping": the grid that maps the five input ports to
// colour segments and the sound segment. Decisions are in port_mapping_logic.
#pragma once

#include <QDialog>
#include <array>
#include <functional>

#include "device/device_state.h"
#include "tools/port_mapping_logic.h"
#include "tools/tool_dialog_support.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QTimer;

namespace kv {

// The connector of the Base Controller with its five input wires, drawn
// level with the five rows of the grid.
class ConnectorPicture : public QWidget {
    Q_OBJECT
public:
    explicit ConnectorPicture(QWidget* parent = nullptr);
    QSize sizeHint() const override;
    // Vertical centres of the five rows, in this widget's coordinates.
    void SetRowCentres(const std::array<int, kInputPorts>& centres);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::array<int, kInputPorts> centres_{};
    bool haveCentres_ = false;
};

class CPort_Mapping : public QDialog {
    Q_OBJECT
public:
    CPort_Mapping(PortMappingState& state, DeviceState& device, ToolLink link,
                  QWidget* parent = nullptr);

    // The opening steps; Run() does them and then runs the dialog modally.
    void Prepare();
    int Run();

    QComboBox* cell(int port, int column) const;
    QCheckBox* acousticBox(int port) const { return acoustic_[static_cast<size_t>(port)]; }
    QLabel* messageLine() const { return messageLine_; }
    QLabel* statusText() const { return status_; }
    QPushButton* sendButton() const { return send_; }
    QTimer* verifyTimer() const { return verifyTimer_; }
    QTimer* mapWatchTimer() const { return mapWatch_; }

public slots:
    void OnSelectCell(int port, int column, int item);
    void OnAcousticClicked(int port);
    void OnSendToBase();
    void OnVerifyTick();
    void OnMapWatchTick();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void done(int result) override;

private:
    void ShowState();
    void PlaceWires();

    PortMappingState& m_;
    DeviceState& s_;
    ToolLink link_;
    ToolIo io_;

    std::array<std::array<QComboBox*, kMapColumns>, kInputPorts> cells_{};
    std::array<QCheckBox*, kInputPorts> acoustic_{};
    QLabel* messageLine_ = nullptr;
    QLabel* status_ = nullptr;
    QPushButton* send_ = nullptr;
    QPushButton* exit_ = nullptr;
    ConnectorPicture* picture_ = nullptr;
    QTimer* verifyTimer_ = nullptr;
    QTimer* mapWatch_ = nullptr;
};

}  // namespace kv

// CInfo: the versions of every part of the tower and of the program, as a
// snapshot taken when the dialog opens.
#pragma once

#include <QDialog>

#include <array>
#include <memory>

#include "device/device_state.h"

class QLabel;
class QFont;

class CInfo : public QDialog {
    Q_OBJECT

public:
    explicit CInfo(kv::DeviceState& state, QWidget* parent = nullptr);
    ~CInfo() override;

    // Fills the dialog from the device state and runs it modally.
    int DoModal();
    bool OnInitDialog();

    // For tests: what the dialog shows.
    QString titleText() const;
    const QFont* titleFont() const { return titleFont_.get(); }
    // Left column value of row 0..6 (row 6: the Base Controller), right
    // column value of row 0..6 (row 6: the program version).
    QString leftValue(int row) const;
    QString rightValue(int row) const;

private:
    kv::DeviceState& state_;
    std::unique_ptr<QFont> titleFont_;
    QLabel* title_ = nullptr;
    std::array<QLabel*, 7> left_{};
    std::array<QLabel*, 7> right_{};
};

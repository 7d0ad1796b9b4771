// "Address Change": the instruction dialog CChangeAddress, which asks for
// exactly one colour segment, and the New Colour dialog CNEWSEGMENT, which
// changes that segment's address. Decisions are in address_change_logic.
#pragma once

#include <QDialog>
#include <functional>

#include "device/device_state.h"
#include "tools/address_change_logic.h"
#include "tools/tool_dialog_support.h"

class QComboBox;
class QLabel;
class QPushButton;
class QTimer;

namespace kv {

class CChangeAddress : public QDialog {
    Q_OBJECT
public:
    // Result of Run(): the New Colour dialog is to run next.
    static constexpr int kRunNewColour = 2;

    CChangeAddress(AddressChangeState& state, DeviceState& device, QWidget* parent = nullptr);

    void Prepare();
    int Run();

    QLabel* instructionText() const { return text_; }

public slots:
    void OnOk();

private:
    AddressChangeState& a_;
    DeviceState& s_;
    QLabel* text_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* exit_ = nullptr;
};

class CNEWSEGMENT : public QDialog {
    Q_OBJECT
public:
    CNEWSEGMENT(AddressChangeState& state, DeviceState& device, ToolLink link,
                QWidget* parent = nullptr);

    void Prepare();
    int Run();

    // Message boxes go through here (tests replace it).
    std::function<void(const ToolMessage&)> showMessage;

    QLabel* currentColour() const { return current_; }
    QComboBox* newColourList() const { return list_; }
    QLabel* statusText() const { return status_; }
    QPushButton* submitButton() const { return submit_; }
    QTimer* tickTimer() const { return timer_; }

public slots:
    void OnSelectNewColour(int index);
    void OnSubmit();
    void OnVerifyTick();

protected:
    void done(int result) override;

private:
    void ShowState();

    AddressChangeState& a_;
    DeviceState& s_;
    ToolLink link_;
    ToolIo io_;

    QLabel* current_ = nullptr;
    QComboBox* list_ = nullptr;
    QLabel* status_ = nullptr;
    QPushButton* submit_ = nullptr;
    QPushButton* exit_ = nullptr;
    QTimer* timer_ = nullptr;
};

}  // namespace kv

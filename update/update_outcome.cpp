#include "update/update_outcome.h"

#include <cstdio>

#include "device/hid_link.h"
#include "device/report_protocol.h"
#include "update/update_run.h"

namespace kv {

namespace {

constexpr const char* kSuccessText = "Your device has succesfully been updated.";

}  // namespace

bool SendBootloaderReport(HidLink& link)
{
    if (!link.IsOpen())
        link.Open();
    if (!link.IsOpen())
        return false;
    const Report report = BuildBootloaderReport();
    const int result = link.WriteReport(report.data(), report.size());
    link.Close();
    return result == 0;
}

UpdateAttempt MakeUpdateAttempt(HidLink& link, const std::string& hexPath, UpdateFunction check,
                                UpdateFunction update)
{
    UpdateAttempt a;
    a.link = &link;
    a.hexPath = hexPath;
    a.check = check;
    a.update = update;
    return a;
}

int UpdateAttempt::Run(ProgressHook hook, void* context) const
{
    if (link == nullptr)
        return UPDATE_NO_DEVICE;
    const int checked = check != nullptr
                            ? check(UPDATE_PRODUCT_BASE_CONTROLLER, hexPath.c_str(), hook, context)
                            : UPDATE_SUCCESS;
    if (checked != UPDATE_SUCCESS || update == nullptr) {
        // As after any run: the front end reopens the link, not the attempt.
        link->Close();
        return checked != UPDATE_SUCCESS ? checked : UPDATE_NO_DEVICE;
    }
    SendBootloaderReport(*link);
    // The Base Controller comes back from its boot loader as a new device;
    // the reopen after the run looks for it afresh.
    link->SetDevicePath("");
    if (onBootloader)
        onBootloader();
    return update(UPDATE_PRODUCT_BASE_CONTROLLER, hexPath.c_str(), hook, context);
}

std::string UpdateOutcomeText(int lastStep, int result)
{
    if (result == UPDATE_SUCCESS)
        return kSuccessText;
    char text[kUpdateOutcomeMax + 1];
    std::snprintf(text, sizeof text, "Update failed with error code: [%d.%d].", lastStep, result);
    return text;
}

}  // namespace kv

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

std::string UpdateOutcomeText(int lastStep, int result)
{
    if (result == UPDATE_SUCCESS)
        return kSuccessText;
    char text[kUpdateOutcomeMax + 1];
    std::snprintf(text, sizeof text, "Update failed with error code: [%d.%d].", lastStep, result);
    return text;
}

}  // namespace kv

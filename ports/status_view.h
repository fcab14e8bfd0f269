// What the dialog shows, as the update sequence and the device link change it. Each platform
// dialog implements it on its real controls. Texts are UTF-8.
#pragma once

#include <string_view>

namespace lumo {

class StatusView {
  public:
    virtual ~StatusView() = default;

    virtual void SetStatusCaption(std::string_view text) = 0;  // IDC_STATUS
    virtual void SetNote(std::string_view text) = 0;           // IDC_NOTE
    virtual void SetPercentText(std::string_view text) = 0;    // IDC_PERCENT
    virtual void SetProgress(int position) = 0;                // IDC_PROGRESS, 0 to 100
    virtual void EnableUpdate(bool enable) = 0;                // IDC_UPDATE

    // Modal boxes with one OK button and the application name as caption; they return when
    // closed. While one is open the dialog's timer ticks and device-change notifications are
    // still handled.
    virtual void ShowWarningBox(std::string_view text) = 0;  // exclamation icon
    virtual void ShowPlainBox(std::string_view text) = 0;    // no icon
};

}  // namespace lumo

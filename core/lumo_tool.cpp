#include "core/lumo_tool.h"

#include "ports/status_texts.h"

namespace lumo {

std::string WindowCaption(bool stand_ins) {
    std::string caption(text::kWindowTitle);
    if (stand_ins) caption += text::kStandInCaptionSuffix;
    return caption;
}

void LumoTool::Start() {
    if (FindDevice()) {
        view_.SetStatusCaption(text::kDeviceConnected);
        pause_.Wait(START_FOUND_PAUSE_MS);
    }
    view_.SetPercentText(text::kZeroPercent);
}

}  // namespace lumo

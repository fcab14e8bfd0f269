#include "ui/lumo_tool.h"

#include "ui/status_texts.h"

namespace lumo {

void LumoTool::Start() {
    if (FindDevice()) {
        view_.SetStatusCaption(text::kDeviceConnected);
        pause_.Wait(START_FOUND_PAUSE_MS);
    }
    view_.SetPercentText(text::kZeroPercent);
}

}  // namespace lumo

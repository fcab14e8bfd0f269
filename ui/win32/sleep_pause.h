// The real pause: holds the user-interface thread; no message is handled meanwhile.
#pragma once

#include <windows.h>

#include "ports/pause.h"

namespace lumo::win32 {

class SleepPause : public Pause {
public:
    void Wait(std::uint32_t ms) override { ::Sleep(ms); }
};

}  // namespace lumo::win32

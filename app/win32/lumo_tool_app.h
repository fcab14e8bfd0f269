// The application object: start-up runs the main dialog modally, then the process ends.
#pragma once

#include "ui/win32/framework.h"

namespace lumo::win32 {

class CLumoToolApp : public CWinApp {
public:
    CLumoToolApp();
    BOOL InitInstance() override;
};

}  // namespace lumo::win32

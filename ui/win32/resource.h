// Resource identifiers for the resource script. The C++ code takes the same values from
// ui/dialog_template.h; the tests compare the dialog made from the script with that table.
#pragma once

#define IDD_MAIN_DIALOG 102
#define IDI_MAIN 128

#define IDC_STATUS 1002
#define IDC_UPDATE 1006
#define IDC_PERCENT -1
#define IDC_GUIDE_TITLE 1014
#define IDC_GUIDE_HOLD 1015
#define IDC_GUIDE_PLUG 1016
#define IDC_NOTE 1017
#define IDC_PROGRESS 1018
#define IDC_GUIDE_EXTRA 1019

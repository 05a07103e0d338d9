// Resource identifiers shared by the .rc and the code.
#pragma once

#define IDD_UPDATE 101
#define IDC_CURRENT_VERSION 1000
#define IDC_INSTALL_DIR 1001

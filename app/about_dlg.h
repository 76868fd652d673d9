// The About box (template 100): the application icon, name and version, a copyright line and OK. Shown
// from the main window's system menu.
#pragma once

#include "framework/dialog.h"
#include "res/resource.h"

class CAboutDlg : public CDialog {
public:
    CAboutDlg() : CDialog(IDD_ABOUTBOX) {}
};

#include "CAboutDlg.h"

#include "ui_CAboutDlg.h"

CAboutDlg::CAboutDlg() : CDialog(std::make_unique<Ui::CAboutDlg>()) {}

CAboutDlg::~CAboutDlg() = default;

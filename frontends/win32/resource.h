// Identifiers of the Win32 dialog templates, their controls and the icon.
#pragma once

#define IDD_ABOUTBOX 100
#define IDD_FIRMWAREUPGRADE_DIALOG 102
#define IDR_MAINFRAME 128
#define IDC_PROGRESS1 1000
#define IDC_UPDATE_BUTTON 1001
#define IDC_STATIC_PKG_VER 1002
#define IDC_STATIC_DEV_VER 1003
#define IDC_STATIC_DEV_NAME 1004

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

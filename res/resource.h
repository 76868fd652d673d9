// Resource ids, shared by the resource script and the code. Plain #defines: the resource compiler reads
// this file too, and takes nothing else from a header.
#pragma once

// Dialog templates and strings.
#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_TARNEX_DIALOG 102
#define IDD_STATION_DIALOG 103

// Icons.
#define IDI_DEVICE 129    // a PC and a phone with a green check mark: a device is connected
#define IDI_NODEVICE 130  // the same with a red cross: no device
#define IDR_MAINFRAME 131 // the application icon

// Controls of the main window (template 102).
#define IDC_DEVICE_PICTURE 1001
#define IDC_PROGRESS 1002
#define IDC_STATUS 1003
#define IDC_SOFTWARE_CAPTION 1005
#define IDC_PORT_CAPTION 1009
#define IDC_PERCENT_CAPTION 1010
#define IDC_USERDATA 1013

// Controls of the station's window (template 103), besides "Start" (IDOK, every ready row), "Exit"
// (IDCANCEL) and "UserData" (IDC_USERDATA), which keep the main window's ids.
#define IDC_AUTO_START 1014
#define IDC_SUCCEEDED_COUNT 1015
#define IDC_FAILED_COUNT 1016
#define IDC_RECORD_PATH 1017

// The station's rows: row N's control of a kind has the id of its kind plus N.
#define STATION_ROW_COUNT 16
#define IDC_ROW_PICTURE 1200
#define IDC_ROW_NAME 1220
#define IDC_ROW_SERIAL 1240
#define IDC_ROW_PROGRESS 1260
#define IDC_ROW_PERCENT 1280
#define IDC_ROW_STATUS 1300
#define IDC_ROW_REASON 1320
#define IDC_ROW_START 1340

// Controls of the About box (template 100).
#define IDC_ABOUT_VERSION 1101
#define IDC_ABOUT_COPYRIGHT 1102

// Controls nobody addresses (group boxes, fixed texts).
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

// The About item of the system menu. The system's own commands use the upper range; the low four bits
// of a system command are the system's, so the id is a multiple of 16.
#define IDM_ABOUTBOX 0x0010

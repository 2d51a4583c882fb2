// Ids of the settings dialog and its controls (the same numbers as
// wizard/dialog_layout.h, which the front ends share).
#pragma once

#define IDD_CONFORA_DIALOG 102
#define IDM_ABOUTBOX 0x0010
#define IDS_ABOUTBOX 101
#define IDC_SERVER_NAME 1000
#define IDC_SERVER_IP 1001
#define IDC_OK 1004
#define IDC_SERVER_PORT 1007
#define IDC_MYSQL 1017
#define IDC_MSSQL 1018
#define IDC_POSTGRES 1019
#define IDC_HTTP 1020
#define IDC_HTTPS 1021
#define IDC_AWS_NO 1034
#define IDC_AWS_YES 1035
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

// Control ids of the e-mail settings page (dialog resource "PAGE_EMAIL").
#pragma once

#define IDC_MAIL_ENABLED      102
#define IDC_SERVER_LABEL      103
#define IDC_SERVER            1497
#define IDC_PORT_LABEL        104
#define IDC_PORT              1496
#define IDC_LOGIN_LABEL       105
#define IDC_LOGIN             1495
#define IDC_PASSWORD_LABEL    106
#define IDC_PASSWORD          1494
#define IDC_PASSWORD2_LABEL   107
#define IDC_PASSWORD2         1493
#define IDC_SENDER_LABEL      108
#define IDC_SENDER            100
#define IDC_RECIPIENT_LABEL   109
#define IDC_RECIPIENT         1492
#define IDC_RETRY_LABEL       110
#define IDC_RETRY             1491
#define IDC_RETRY_SPIN        101

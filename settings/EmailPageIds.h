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
#define IDC_TLS_LABEL         111
#define IDC_TLS               1490

// The connection: the root certificate to accept and the certificate check.
#define IDC_ROOT_LABEL        112
#define IDC_ROOT              1489
#define IDC_ROOT_BROWSE       1488
#define IDC_SKIP_CHECK        1487
// The sign-in: the method and the OAuth 2.0 values.
#define IDC_AUTH_LABEL        113
#define IDC_AUTH              1486
#define IDC_TOKEN_URL_LABEL   114
#define IDC_TOKEN_URL         1485
#define IDC_CLIENT_ID_LABEL   115
#define IDC_CLIENT_ID         1484
#define IDC_SECRET_LABEL      116
#define IDC_SECRET            1483
#define IDC_SCOPE_LABEL       117
#define IDC_SCOPE             1482
#define IDC_REFRESH_LABEL     118
#define IDC_REFRESH           1481
// The delivery: how long a message is tried and how long archive and logs are kept.
#define IDC_MAX_AGE_LABEL     119
#define IDC_MAX_AGE           1480
#define IDC_KEEP_DAYS_LABEL   120
#define IDC_KEEP_DAYS         1479
// The connection test and its outcome.
#define IDC_TEST              1478
#define IDC_TEST_STATUS       121
// The queue at a glance.
#define IDC_QUEUE_WAITING     122
#define IDC_QUEUE_FAILURE     123
#define IDC_QUEUE_BAD_MAIL    124
// The groups' frames.
#define IDC_SERVER_GROUP      130
#define IDC_SIGN_IN_GROUP     131
#define IDC_ADDRESS_GROUP     132
#define IDC_DELIVERY_GROUP    133
#define IDC_QUEUE_GROUP       134

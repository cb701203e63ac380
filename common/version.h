#ifndef PELORIN_VERSION_H
#define PELORIN_VERSION_H

// One place for the release numbers that both programs' version blocks carry.
#define PELORIN_PRODUCT_VERSION 0, 4, 1, 112
#define PELORIN_PRODUCT_VERSION_TEXT "0.4.1"
#define PELORIN_PRODUCT_NAME "Pelorin"
#define PELORIN_COMPANY_NAME "Pelorin"
#define PELORIN_COPYRIGHT "Copyright (C) 2026 Pelorin developers"

#define PELORIN_SERVICE_FILE_VERSION 0, 4, 1, 112
#define PELORIN_SERVICE_FILE_VERSION_TEXT "0.4.1"

#define PELORIN_TRAY_FILE_VERSION 0, 1, 4, 112
#define PELORIN_TRAY_FILE_VERSION_TEXT "0.1.4"

#endif

#ifndef PELORIN_VERSION_H
#define PELORIN_VERSION_H

// The release number: the one place that says it. Both programs' version
// blocks carry it as their product version (the service as its file version
// too), and the build reads these four lines to name the release packages.
#define PELORIN_VERSION_MAJOR 0
#define PELORIN_VERSION_MINOR 4
#define PELORIN_VERSION_PATCH 1
#define PELORIN_VERSION_BUILD 112

#define PELORIN_TEXT_(x) #x
#define PELORIN_TEXT(x) PELORIN_TEXT_(x)

#define PELORIN_PRODUCT_VERSION PELORIN_VERSION_MAJOR, PELORIN_VERSION_MINOR, PELORIN_VERSION_PATCH, PELORIN_VERSION_BUILD
#define PELORIN_PRODUCT_VERSION_TEXT PELORIN_TEXT(PELORIN_VERSION_MAJOR.PELORIN_VERSION_MINOR.PELORIN_VERSION_PATCH)
#define PELORIN_PRODUCT_NAME "Pelorin"
#define PELORIN_COMPANY_NAME "Pelorin"
#define PELORIN_COPYRIGHT "Copyright (C) 2026 Pelorin developers"

#define PELORIN_SERVICE_FILE_VERSION PELORIN_PRODUCT_VERSION
#define PELORIN_SERVICE_FILE_VERSION_TEXT PELORIN_PRODUCT_VERSION_TEXT

// The tray helper's own file version; its product version is the release's.
#define PELORIN_TRAY_FILE_VERSION 0, 1, 4, PELORIN_VERSION_BUILD
#define PELORIN_TRAY_FILE_VERSION_TEXT "0.1.4"

#endif

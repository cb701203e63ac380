#include "tray_base.h"

#include "resource.h"

HINSTANCE TrayInstance;
int WindowsMajorVersion;
NOTIFYICONDATAA TrayIcon;

HICON LoadStateIcon(int state)
{
    WORD id;
    switch (state) {
    case Stopped:
        id = IDI_STOPPED;
        break;
    case StopPending:
    case StartPending:
        id = IDI_PENDING;
        break;
    case Running:
        id = IDI_RUNNING;
        break;
    case ConfigNotFound:
    case ServiceNotFound:
    case NotConfigured:
        id = IDI_ERROR;
        break;
    default:
        return NULL;
    }
    return (HICON)LoadImageA(TrayInstance, MAKEINTRESOURCEA(id), IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR);
}

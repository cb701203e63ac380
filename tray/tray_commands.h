#ifndef PELORIN_TRAY_COMMANDS_H
#define PELORIN_TRAY_COMMANDS_H

// Carries out a menu command (the low word of WM_COMMAND's wParam) other
// than Close, which the shell handles. Nothing is reported: the next poll
// shows the outcome.
void HandleTrayCommand(unsigned int id);

#endif

#ifndef PELORIN_AUTOSTART_H
#define PELORIN_AUTOSTART_H

// Whether the tray helper starts at the current user's logon: a value
// "pelorintray" under the user's Run key. Its content is not compared with
// this program's path: any copy registered counts.

// 1 if the value can be read, else 0.
int IsAutostartOnLogon(void);
// Deletes the value if it can be read, else writes this program's quoted
// path. Returns the error of opening the key, or the result of closing it.
long ToggleAutostartOnLogon(void);

#endif

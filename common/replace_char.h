#ifndef PELORIN_REPLACE_CHAR_H
#define PELORIN_REPLACE_CHAR_H

// Replaces, in place, every `from` in the zero-terminated `text` by `to`.
// Both programs turn "/" into "\" in paths with it; a null text is ignored.
void ReplaceChar(char *text, char from, char to);

#endif

#include "replace_char.h"

#include <string.h>

void ReplaceChar(char *text, char from, char to)
{
    if (text == NULL)
        return;
    for (size_t i = 0; i < strlen(text); i++) {
        if (text[i] == from)
            text[i] = to;
    }
}

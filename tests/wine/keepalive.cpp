#include <windows.h>

// Holds the test prefix up: Wine ends its services when the last ordinary process exits.
int main()
{
    Sleep(INFINITE);
    return 0;
}

// Asks a pelorin service over its control pipe what the tray helper asks,
// or shows the pipe's access list (as SDDL):
//   pipequery VMNAME enabled|port|resolution|dacl
// Demo and test tool only. Exit codes: 0 answered, 1 no answer, 2 usage.
#include <aclapi.h>
#include <sddl.h>
#include <stdio.h>
#include <string.h>

#include "control_pipe.h"
#include "pipe_harness.h"

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: pipequery VMNAME enabled|port|resolution|dacl\n");
        return 2;
    }
    if (strcmp(argv[2], "dacl") == 0) {
        HANDLE pipe = ConnectControlPipe(argv[1]);
        PSECURITY_DESCRIPTOR descriptor = NULL;
        char *text = NULL;
        if (pipe != INVALID_HANDLE_VALUE
            && GetSecurityInfo(pipe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, NULL, NULL, &descriptor)
                   == ERROR_SUCCESS)
            ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                                 &text, NULL);
        int read = text != NULL;
        printf("%s\n", read ? text : "no access list read from the control pipe");
        LocalFree(text);
        LocalFree(descriptor);
        if (pipe != INVALID_HANDLE_VALUE) {
            // Code 0: a request that gets no answer and no log line.
            DWORD none = 0, written = 0;
            WriteFile(pipe, &none, sizeof(none), &written, NULL);
            CloseHandle(pipe);
        }
        return read ? 0 : 1;
    }
    DWORD request = strcmp(argv[2], "enabled") == 0 ? VrdeEnabled
                    : strcmp(argv[2], "port") == 0  ? VrdePort
                    : strcmp(argv[2], "resolution") == 0 ? ScreenResolution
                                                          : 0;
    if (request == 0) {
        fprintf(stderr, "pipequery: unknown question %s\n", argv[2]);
        return 2;
    }
    DWORD reply = AskControlPipe(argv[1], request);
    if (reply == ~0u) {
        printf("no answer on the control pipe of '%s'\n", argv[1]);
        return 1;
    }
    if (request == VrdeEnabled)
        printf("request 0x%03lx (VrdeEnabled): %lu\n", request, reply);
    else if (request == VrdePort)
        printf("request 0x%03lx (VrdePort): %lu\n", request, reply);
    else
        printf("request 0x%03lx (ScreenResolution): 0x%08lx = %lu x %lu\n", request, reply, reply & 0xFFFF, reply >> 16);
    return 0;
}

#ifndef PELORIN_IMPORT_HOOK_H
#define PELORIN_IMPORT_HOOK_H

// Replaces the address of an imported function in the calling program's own
// import table, so that a test can see exactly what the code under test asked
// of Windows (the code is linked into the test program). Returns the previous
// address, which the replacement calls on and which restores the import; NULL
// when the program does not import that function.
void *ReplaceImport(const char *dllName, const char *functionName, void *replacement);

// ReplaceImport for as long as it lives; real is the previous address.
struct ImportReplaced {
    const char *dll, *name;
    void *real;
    ImportReplaced(const char *dllName, const char *functionName, void *replacement)
        : dll(dllName), name(functionName), real(ReplaceImport(dllName, functionName, replacement)) {}
    ~ImportReplaced() { ReplaceImport(dll, name, real); }
};

#endif

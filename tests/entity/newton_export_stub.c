/* A module named Newton.dll with the one export the entity runtime resolves at installation. */
#include <windows.h>

__declspec(dllexport) void* NewtonBodyGetUserData(const void* body) { return (void*)body; }

#pragma once
#include <windows.h>

#include <string>

// Full path of a module; the buffer doubles from 512 up to 32768 characters while the result
// fills it. Empty when the path can't be read or doesn't fit.
std::wstring ModuleFilePath(HMODULE module);

#pragma once
// LoadLibraryA, GetProcAddress and FreeLibrary over the dynamic loader. A
// bare name ("keldapi", "keldapi.dll") is looked up as lib<name>.so the way
// the system's library search finds it; a name with a slash is a file.
// $KELD_LIBRARY_PATH, when set, is searched in its place (directories
// separated by ':'), so that a test can choose which library answers.

#include "platform/win32/win32_types.h"

using HMODULE = void*;
using FARPROC = void (*)();

// Null with ERROR_MOD_NOT_FOUND when no library of that name loads.
HMODULE LoadLibraryA(LPCSTR fileName);
// Null with ERROR_PROC_NOT_FOUND when the library has no such export.
FARPROC GetProcAddress(HMODULE module, LPCSTR procName);
BOOL FreeLibrary(HMODULE module);

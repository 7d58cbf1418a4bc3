#include "platform/win32/loader.h"

#include <dlfcn.h>

#include <cctype>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

// "keldapi" and "KeldApi.DLL" both name libkeldapi.so.
std::string sharedObjectName(std::string_view name) {
  std::string base(name);
  for (char& c : base) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (base.ends_with(".dll")) base.resize(base.size() - 4);
  if (!base.ends_with(".so") && base.find(".so.") == std::string::npos) base += ".so";
  if (!base.starts_with("lib")) base = "lib" + base;
  return base;
}

void* openFromSearchPath(std::string_view searchPath, const std::string& file) {
  while (true) {
    const auto end = searchPath.find(':');
    const std::string_view dir = searchPath.substr(0, end);
    if (!dir.empty()) {
      if (void* handle = dlopen((std::string(dir) + "/" + file).c_str(), RTLD_NOW | RTLD_LOCAL)) return handle;
    }
    if (end == std::string_view::npos) return nullptr;
    searchPath.remove_prefix(end + 1);
  }
}

}  // namespace

HMODULE LoadLibraryA(LPCSTR fileName) {
  if (!fileName || !*fileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const std::string_view name = fileName;
  void* handle = nullptr;
  if (name.find('/') != std::string_view::npos) {
    handle = dlopen(fileName, RTLD_NOW | RTLD_LOCAL);
  } else if (const char* searchPath = std::getenv("KELD_LIBRARY_PATH")) {
    handle = openFromSearchPath(searchPath, sharedObjectName(name));
  } else {
    handle = dlopen(sharedObjectName(name).c_str(), RTLD_NOW | RTLD_LOCAL);
  }
  if (!handle) SetLastError(ERROR_MOD_NOT_FOUND);
  return handle;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR procName) {
  if (!module || !procName) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  dlerror();
  void* symbol = dlsym(module, procName);
  if (!symbol) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(symbol);
}

BOOL FreeLibrary(HMODULE module) {
  if (!module || dlclose(module) != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

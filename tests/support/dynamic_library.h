// Loads the built library at run time, as an application does. The build
// passes its path (LUMSDK_LIBRARY_PATH) and file name (LUMSDK_LIBRARY_NAME).
#ifndef LUMSDK_TESTS_SUPPORT_DYNAMIC_LIBRARY_H_
#define LUMSDK_TESTS_SUPPORT_DYNAMIC_LIBRARY_H_

#ifdef _WIN32
#include <windows.h>
using Module = HMODULE;
inline Module openLibrary() { return LoadLibraryA(LUMSDK_LIBRARY_NAME); }
inline void* symbol(Module m, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(m, name));
}
inline void closeLibrary(Module m) { FreeLibrary(m); }
#else
#include <dlfcn.h>
using Module = void*;
inline Module openLibrary() { return dlopen(LUMSDK_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL); }
inline void* symbol(Module m, const char* name) { return dlsym(m, name); }
inline void closeLibrary(Module m) { dlclose(m); }
#endif

#endif  // LUMSDK_TESTS_SUPPORT_DYNAMIC_LIBRARY_H_

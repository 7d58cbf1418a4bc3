#pragma once
// Basic types of the kernel-mode platform, under the names a WDM driver
// writes them with. Wide strings are wchar_t, so that drivers keep their
// L"..." literals.

#include <cstddef>
#include <cstdint>

using VOID = void;
using PVOID = void*;
using CHAR = char;
using PCHAR = char*;
using CCHAR = char;
using UCHAR = std::uint8_t;
using PUCHAR = UCHAR*;
using USHORT = std::uint16_t;
using PUSHORT = USHORT*;
using LONG = std::int32_t;
using PLONG = LONG*;
using ULONG = std::uint32_t;
using PULONG = ULONG*;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using ULONG_PTR = std::uintptr_t;
using PULONG_PTR = ULONG_PTR*;
using SIZE_T = std::size_t;
using BOOLEAN = UCHAR;
using PBOOLEAN = BOOLEAN*;
using WCHAR = wchar_t;
using PWCH = WCHAR*;
using PWSTR = WCHAR*;
using PCWSTR = const WCHAR*;
using KAFFINITY = ULONG_PTR;
using KPRIORITY = LONG;

constexpr BOOLEAN FALSE = 0;
constexpr BOOLEAN TRUE = 1;

union LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
};
using PLARGE_INTEGER = LARGE_INTEGER*;
using PHYSICAL_ADDRESS = LARGE_INTEGER;

// Counted wide string; Length and MaximumLength count bytes, not characters.
struct UNICODE_STRING {
  USHORT Length;
  USHORT MaximumLength;
  PWCH Buffer;
};
using PUNICODE_STRING = UNICODE_STRING*;
using PCUNICODE_STRING = const UNICODE_STRING*;

struct GUID {
  ULONG Data1;
  USHORT Data2;
  USHORT Data3;
  UCHAR Data4[8];
};
using LPGUID = GUID*;
using LPCGUID = const GUID*;

constexpr bool operator==(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}

// Processor mode of a wait or a delay.
enum MODE : CCHAR { KernelMode = 0, UserMode = 1 };
using KPROCESSOR_MODE = CCHAR;

/* The registry, as the platform's SDK declares it (included by
 * <windows.h>): the predefined keys, the value types, and the calls a driver
 * reads its key with (W forms only, as on the platform). */
#ifndef PLATFORM_WINREG_H
#define PLATFORM_WINREG_H

#include "windef.h"
#include "winbase.h" /* FILETIME */

/* Registry.  The predefined keys are negative 32-bit values, sign-extended
 * where a handle is wider. */
#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define HKEY_USERS ((HKEY)(ULONG_PTR)((LONG)0x80000003))
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define KEY_QUERY_VALUE 0x0001
#define KEY_ALL_ACCESS 0xF003F

#ifdef __cplusplus
extern "C" {
#endif
LONG WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
LONG WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                             LPDWORD lpcbData);
LONG WINAPI RegCloseKey(HKEY hKey);
/* The subkey at dwIndex (0 on) of an open key, in an order that stays
 * while no key is added or deleted under it: its name and, in *lpcchName,
 * its length in characters without the terminating zero (on entry, the
 * buffer's size in characters with it; ERROR_MORE_DATA when it does not
 * fit).  ERROR_NO_MORE_ITEMS past the last.  lpReserved must be NULL; the
 * class is empty and the last write time zero. */
LONG WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                          LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime);
#define RegOpenKeyEx RegOpenKeyExW
#define RegEnumKeyEx RegEnumKeyExW
#define RegQueryValueEx RegQueryValueExW

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif

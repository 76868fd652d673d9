// A tripwire, for tests only: planted as winusb.dll (or setupapi.dll) in the folder the driver library is
// deployed to, where a library that imported WinUSB statically, or looked for it by name, would load it.
// Loading it leaves a marker file next to it, "<its own path>.loaded", and then fails, so that no code
// of it ever runs in the place of the real DLL.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    wchar_t path[MAX_PATH + 8];
    DWORD n = GetModuleFileNameW(self, path, MAX_PATH);
    if (n > 0 && n < MAX_PATH) {
        lstrcpyW(path + n, L".loaded");
        HANDLE marker = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (marker != INVALID_HANDLE_VALUE)
            CloseHandle(marker);
    }
    return FALSE;
}

// A library with one known export, for the library loader tests, and code that runs when the process
// ends with the library loaded: it creates the file named by TARNEX_DETACH_MARKER, when that is set, so
// that a test sees whether a way of ending the process ran the libraries' detach code.
#ifdef _WIN32
#include <windows.h>
#define TEST_EXPORT __declspec(dllexport)
#else
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>
#define TEST_EXPORT __attribute__((visibility("default")))
#endif

extern "C" TEST_EXPORT int os_test_answer() {
    return 42;
}

#ifdef _WIN32
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    char marker[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("TARNEX_DETACH_MARKER", marker, sizeof marker);
    if (reason == DLL_PROCESS_DETACH && length > 0 && length < sizeof marker) {
        HANDLE file = CreateFileA(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
    }
    return TRUE;
}
#else
__attribute__((destructor)) static void os_test_library_finalizer() {
    if (const char *marker = getenv("TARNEX_DETACH_MARKER")) {
        int fd = open(marker, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd >= 0)
            close(fd);
    }
}
#endif

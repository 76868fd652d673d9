#include "drivers/winusb/system_api.h"

#include <string>

namespace tarnex::winusb {

namespace {

HMODULE load_system_library(const wchar_t *name) {
    HMODULE module = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module != nullptr || GetLastError() != ERROR_INVALID_PARAMETER)
        return module;
    // Windows 7 without KB2533623 refuses the flag. The full path keeps the DLL itself to the system
    // directory; the altered search path starts its dependencies there too.
    wchar_t directory[MAX_PATH];
    UINT length = GetSystemDirectoryW(directory, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return nullptr;
    std::wstring path(directory, length);
    path += L'\\';
    path += name;
    return LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

template <typename Fn>
bool bind(HMODULE module, const char *name, Fn *slot) {
    *slot = reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(module, name)));
    return *slot != nullptr;
}

bool bind_all(HMODULE module, SetupApi *t) {
    return bind(module, "SetupDiGetClassDevsW", &t->SetupDiGetClassDevsW) &&
           bind(module, "SetupDiEnumDeviceInterfaces", &t->SetupDiEnumDeviceInterfaces) &&
           bind(module, "SetupDiGetDeviceInterfaceDetailW", &t->SetupDiGetDeviceInterfaceDetailW) &&
           bind(module, "SetupDiDestroyDeviceInfoList", &t->SetupDiDestroyDeviceInfoList);
}

bool bind_all(HMODULE module, WinUsbApi *t) {
    return bind(module, "WinUsb_Initialize", &t->WinUsb_Initialize) &&
           bind(module, "WinUsb_Free", &t->WinUsb_Free) &&
           bind(module, "WinUsb_GetDescriptor", &t->WinUsb_GetDescriptor) &&
           bind(module, "WinUsb_QueryInterfaceSettings", &t->WinUsb_QueryInterfaceSettings) &&
           bind(module, "WinUsb_QueryPipe", &t->WinUsb_QueryPipe) &&
           bind(module, "WinUsb_ReadPipe", &t->WinUsb_ReadPipe) &&
           bind(module, "WinUsb_WritePipe", &t->WinUsb_WritePipe) &&
           bind(module, "WinUsb_AbortPipe", &t->WinUsb_AbortPipe) &&
           bind(module, "WinUsb_GetOverlappedResult", &t->WinUsb_GetOverlappedResult) &&
           bind(module, "WinUsb_SetPipePolicy", &t->WinUsb_SetPipePolicy);
}

// One system DLL and its table, bound once.
template <typename Table>
class Bound {
public:
    explicit Bound(const wchar_t *library) {
        HMODULE module = load_system_library(library);
        if (module != nullptr && bind_all(module, &m_table)) {
            m_ok = true;
            return;
        }
        m_error = GetLastError();
        if (m_error == ERROR_SUCCESS)
            m_error = ERROR_MOD_NOT_FOUND;
        // A DLL without every entry point is never called; it stays loaded, as a bound one would.
        m_table = Table{};
    }

    const Table *get() const {
        if (m_ok)
            return &m_table;
        SetLastError(m_error);
        return nullptr;
    }

private:
    Table m_table{};
    bool m_ok = false;
    DWORD m_error = ERROR_SUCCESS;
};

} // namespace

const SetupApi *setup_api() {
    // A function-local static is initialised once, thread-safely: the first caller loads, others wait.
    static const Bound<SetupApi> bound(L"setupapi.dll");
    return bound.get();
}

const WinUsbApi *winusb_api() {
    static const Bound<WinUsbApi> bound(L"winusb.dll");
    return bound.get();
}

} // namespace tarnex::winusb

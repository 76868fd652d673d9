#include "tests/winusb/emulated_phone.h"

#include "drivers/sim/scenario.h"

#include <setupapi.h>
#include <winternl.h>

#include <algorithm>
#include <cstring>
#include <thread>

namespace usbtest {

namespace {

using tarnex::sim::IoStatus;

const GUID ANDROID_CLASS = {0xF72FE0D4, 0xCBCB, 0x407D, {0x88, 0x14, 0x9E, 0xD6, 0x73, 0xD0, 0xDD, 0x6B}};
// The device setup class of USB devices bound to WinUSB ("USBDevice").
const GUID USB_DEVICE_CLASS = {0x88BAE032, 0x5A81, 0x49F0, {0xBC, 0x3D, 0xA4, 0xFF, 0x13, 0x82, 0x16, 0xD6}};
const wchar_t INSTANCE_MARK[] = L"\\TARNEX-TEST-";
// The longest reply a phone sends in one transfer (a scenario's raw reply); a read takes it whole from the
// phone and keeps what does not fit for the next read, as WinUSB does.
constexpr uint32_t MAX_REPLY = 256;
const wchar_t ANDROID_CLASS_KEY[] =
    L"System\\CurrentControlSet\\Control\\DeviceClasses\\{F72FE0D4-CBCB-407D-8814-9ED673D0DD6B}\\";

std::wstring widen(const std::string &s) {
    return std::wstring(s.begin(), s.end()); // ASCII only: tags, numbers
}

std::wstring program_folder() {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p(path, n);
    return p.substr(0, p.find_last_of(L"\\/"));
}

std::vector<uint8_t> file_bytes(const std::wstring &path) {
    std::vector<uint8_t> bytes;
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return bytes;
    LARGE_INTEGER size;
    if (GetFileSizeEx(f, &size) && size.QuadPart < (64 << 20)) {
        bytes.resize(static_cast<size_t>(size.QuadPart));
        DWORD got = 0;
        if (!ReadFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) ||
            got != bytes.size())
            bytes.clear();
    }
    CloseHandle(f);
    return bytes;
}

// Removes the device instance `instance` if it exists; true when it is gone.
bool remove_instance(const std::wstring &instance) {
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (set == INVALID_HANDLE_VALUE)
        return false;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    bool gone = true;
    if (SetupDiOpenDeviceInfoW(set, instance.c_str(), nullptr, 0, &device))
        gone = SetupDiRemoveDevice(set, &device) != FALSE;
    SetupDiDestroyDeviceInfoList(set);
    return gone;
}

// Waits for a pipe operation started with `io`; false when it failed or the pipe broke.
bool finish(HANDLE pipe, OVERLAPPED *io, BOOL started, DWORD *moved) {
    if (!started && GetLastError() != ERROR_IO_PENDING)
        return false;
    return GetOverlappedResult(pipe, io, moved, TRUE) != FALSE;
}

bool read_exact(HANDLE pipe, void *data, size_t size) {
    OVERLAPPED io = {};
    io.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto *at = static_cast<uint8_t *>(data);
    bool ok = true;
    while (ok && size > 0) {
        DWORD got = 0;
        ResetEvent(io.hEvent);
        ok = finish(pipe, &io, ReadFile(pipe, at, static_cast<DWORD>(size), nullptr, &io), &got) && got > 0;
        at += got;
        size -= got;
    }
    CloseHandle(io.hEvent);
    return ok;
}

bool write_all(HANDLE pipe, const void *data, size_t size) {
    OVERLAPPED io = {};
    io.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD written = 0;
    bool ok = finish(pipe, &io, WriteFile(pipe, data, static_cast<DWORD>(size), nullptr, &io), &written) &&
              written == size;
    CloseHandle(io.hEvent);
    return ok;
}

void put_le16(std::vector<uint8_t> &v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}

typedef NTSTATUS(NTAPI *NtCreateSymbolicLinkObjectFn)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                                      PUNICODE_STRING);

// An NT symbolic link `name` -> `target`. It lives as long as the handle: a test that dies takes it along.
HANDLE create_link(const std::wstring &name, const std::wstring &target) {
    auto create = reinterpret_cast<NtCreateSymbolicLinkObjectFn>(reinterpret_cast<void *>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtCreateSymbolicLinkObject")));
    if (create == nullptr)
        return nullptr;
    UNICODE_STRING n = {static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2),
                        const_cast<PWSTR>(name.c_str())};
    UNICODE_STRING t = {static_cast<USHORT>(target.size() * 2), static_cast<USHORT>(target.size() * 2),
                        const_cast<PWSTR>(target.c_str())};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &n, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE link = nullptr;
    constexpr ACCESS_MASK SYMBOLIC_LINK_ALL = 0xF0001;
    return create(&link, SYMBOLIC_LINK_ALL, &attributes, &t) >= 0 ? link : nullptr;
}

} // namespace

struct EmulatedPhone::Connection {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    HANDLE thread = nullptr;
    EmulatedPhone *phone = nullptr;
    std::mutex write_lock;
    // Under the phone's lock:
    std::vector<Parked> parked; // transfers waiting in the device, in arrival order
    // What is left of a reply longer than the read that took it: WinUSB hands it to the next read (its
    // pipes allow partial reads and do not flush by default).
    std::vector<uint8_t> surplus;
    bool closed = false; // the bus ended it, or its file was closed
};

bool prepare_bus(std::string *reason) {
    std::wstring source = program_folder() + L"\\winusb-stand-in\\winusb.dll";
    wchar_t system[MAX_PATH];
    UINT n = GetSystemDirectoryW(system, MAX_PATH);
    std::wstring target = std::wstring(system, n) + L"\\winusb.dll";
    std::vector<uint8_t> wanted = file_bytes(source);
    if (wanted.empty()) {
        *reason = "the stand-in winusb.dll is not next to the test program (winusb-stand-in\\winusb.dll)";
        return false;
    }
    if (file_bytes(target) != wanted && !CopyFileW(source.c_str(), target.c_str(), FALSE)) {
        *reason = "cannot put the stand-in winusb.dll into system32, error " + std::to_string(GetLastError());
        return false;
    }
    // Loaded only to ask, and unloaded again: a module already loaded would hide from the tests where the
    // library under test would have found its own.
    HMODULE module = LoadLibraryExW(L"winusb.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    bool ours = module != nullptr && GetProcAddress(module, "TarnexStandIn") != nullptr;
    if (module != nullptr)
        FreeLibrary(module);
    if (!ours) {
        *reason =
            "the system directory gives out Wine's own winusb.dll, a stub that ends the process: run with "
            "WINEDLLOVERRIDES=winusb=n (ctest does)";
        return false;
    }
    return true;
}

void remove_leftover_devices() {
    HDEVINFO set = SetupDiGetClassDevsW(&ANDROID_CLASS, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return;
    std::vector<std::wstring> instances;
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &ANDROID_CLASS, i, &data); ++i) {
        SP_DEVINFO_DATA device = {};
        device.cbSize = sizeof device;
        DWORD needed = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &needed, &device);
        wchar_t id[512];
        if (SetupDiGetDeviceInstanceIdW(set, &device, id, 512, nullptr) &&
            std::wstring(id).find(INSTANCE_MARK) != std::wstring::npos)
            instances.push_back(id);
    }
    SetupDiDestroyDeviceInfoList(set);
    for (const auto &instance : instances)
        remove_instance(instance);
}

EmulatedPhone::EmulatedPhone(const std::string &tag, const std::string &scenario, PhoneOptions options)
    : m_options(std::move(options)) {
    tarnex::sim::Scenario parsed;
    std::string error;
    if (!tarnex::sim::parse_scenario(scenario, parsed, error) || parsed.devices.size() != 1) {
        m_error = "scenario: " + (error.empty() ? std::string("exactly one device wanted") : error);
        return;
    }
    tarnex::sim::DeviceConfig &config = parsed.devices[0];
    if (m_options.pipes.empty()) {
        const wire::PipeInfo usual[] = {{2, 0x81, 512, 0}, {2, 0x01, 512, 0}, {3, 0x83, 64, 1}};
        for (size_t i = 0; i < config.endpoints; ++i)
            m_options.pipes.push_back(i < std::size(usual) ? usual[i] : wire::PipeInfo{3, 0x84, 64, 1});
    }
    for (const auto &p : m_options.pipes) {
        UCHAR &slot = (p.id & 0x80) != 0 ? m_inPipe : m_outPipe;
        if (p.type == 2 && slot == 0)
            slot = p.id;
    }

    char vidpid[32];
    std::snprintf(vidpid, sizeof vidpid, "USB\\VID_%04X&PID_%04X", config.vendor_id, config.product_id);
    m_instance = widen(vidpid) + INSTANCE_MARK + widen(tag);
    remove_instance(m_instance); // a failed earlier run's

    HDEVINFO set = SetupDiCreateDeviceInfoList(&USB_DEVICE_CLASS, nullptr);
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    SP_DEVICE_INTERFACE_DATA iface = {};
    iface.cbSize = sizeof iface;
    if (set == INVALID_HANDLE_VALUE ||
        !SetupDiCreateDeviceInfoW(set, m_instance.c_str(), &USB_DEVICE_CLASS, L"Tarnex test phone", nullptr,
                                  0, &device) ||
        !SetupDiRegisterDeviceInfo(set, &device, 0, nullptr, nullptr, nullptr) ||
        !SetupDiCreateDeviceInterfaceW(set, &device, &ANDROID_CLASS, nullptr, 0, &iface)) {
        m_error = "cannot register the device, error " + std::to_string(GetLastError());
    } else {
        DWORD needed = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &iface, nullptr, 0, &needed, nullptr);
        std::vector<uint8_t> bytes(needed + 2);
        auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W *>(bytes.data());
        detail->cbSize = sizeof *detail;
        if (SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, needed, nullptr, nullptr))
            m_path = detail->DevicePath;
        else
            m_error = "cannot read the device path, error " + std::to_string(GetLastError());
    }
    if (set != INVALID_HANDLE_VALUE)
        SetupDiDestroyDeviceInfoList(set);
    if (!ok())
        return;
    // "\\?\usb#..." is "\??\usb#..." to the object manager; its interface key is "##?#usb#...".
    m_controlKey = ANDROID_CLASS_KEY + (L"##?#" + m_path.substr(4)) + L"\\#\\Control";
    static std::atomic<int> counter{0};
    m_pipeName =
        L"tarnex-test-usb-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);

    m_phone = std::make_unique<tarnex::sim::Phone>(config, m_transcript, std::filesystem::path());
    m_connect.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_phone->plugged())
            bus_plug();
    }
    if (m_phone->plugged() && (m_link == nullptr || m_listening == INVALID_HANDLE_VALUE)) {
        m_error = "cannot serve the phone behind its device path, error " + std::to_string(GetLastError());
        return;
    }
    m_listener = CreateThread(nullptr, 0, &EmulatedPhone::listener_main, this, 0, nullptr);
}

EmulatedPhone::~EmulatedPhone() {
    if (m_phone != nullptr) {
        m_stop = true;
        if (m_listener != nullptr) {
            WaitForSingleObject(m_listener, INFINITE);
            CloseHandle(m_listener);
        }
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_phone->unplug("control");
            bus_unplug();
        }
        for (auto &c : m_connections) {
            WaitForSingleObject(c->thread, INFINITE);
            CloseHandle(c->thread);
        }
        CloseHandle(m_connect.hEvent);
    }
    if (!m_instance.empty())
        remove_instance(m_instance);
}

std::string EmulatedPhone::path_utf8() const {
    int n = WideCharToMultiByte(CP_UTF8, 0, m_path.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    if (n > 1)
        WideCharToMultiByte(CP_UTF8, 0, m_path.c_str(), -1, out.data(), n, nullptr, nullptr);
    return out;
}

void EmulatedPhone::plug() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_phone->plug();
    bus_plug();
}

void EmulatedPhone::unplug() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_phone->unplug("control");
    bus_unplug();
}

bool EmulatedPhone::plugged() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_busPlugged;
}

void EmulatedPhone::hold_writes(bool hold) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_holdWrites = hold;
    if (hold || m_active == nullptr)
        return;
    // Released: the held writes reach the phone in their order, then reads they made answerable.
    Connection *c = m_active;
    std::vector<Outgoing> out;
    bool gone = false;
    std::vector<Parked> writes;
    auto is_write = [](const Parked &p) { return p.request.op == wire::WRITE; };
    std::copy_if(c->parked.begin(), c->parked.end(), std::back_inserter(writes), is_write);
    std::erase_if(c->parked, is_write);
    std::chrono::steady_clock::time_point until{};
    for (auto &w : writes)
        try_write(w.request, w.data, out, &gone, &until);
    retry_parked(c, out, &gone);
    send(c, out);
    if (gone || !m_phone->plugged())
        bus_unplug();
}

void EmulatedPhone::stall_writes(bool stall) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_stallWrites = stall;
}

void EmulatedPhone::silence_control(bool silent) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_silentControl = silent;
}

uint32_t EmulatedPhone::most_writes_held() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_mostWritesHeld;
}

uint32_t EmulatedPhone::early_reads() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_earlyReads;
}

uint32_t EmulatedPhone::files_opened() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_opened;
}

uint32_t EmulatedPhone::files_refused() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_refused;
}

uint32_t EmulatedPhone::files_open() {
    std::lock_guard<std::mutex> guard(m_lock);
    return static_cast<uint32_t>(
        std::count_if(m_connections.begin(), m_connections.end(), [](const auto &c) { return !c->closed; }));
}

uint32_t EmulatedPhone::device_descriptor_reads() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_deviceReads;
}

uint32_t EmulatedPhone::transfers_waiting() {
    std::lock_guard<std::mutex> guard(m_lock);
    size_t n = 0;
    for (const auto &c : m_connections)
        n += c->parked.size();
    return static_cast<uint32_t>(n);
}

std::string EmulatedPhone::transcript() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_transcript.text();
}

std::vector<uint8_t> EmulatedPhone::partition(const std::string &name) {
    std::lock_guard<std::mutex> guard(m_lock);
    const tarnex::sim::Partition *p = m_phone->find_partition(name);
    if (p == nullptr || p->image.bytes == nullptr)
        return {};
    return *p->image.bytes;
}

bool EmulatedPhone::partition_touched(const std::string &name) {
    std::lock_guard<std::mutex> guard(m_lock);
    const tarnex::sim::Partition *p = m_phone->find_partition(name);
    return p != nullptr && p->touched;
}

// --- The bus.

void EmulatedPhone::set_linked(DWORD value) {
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, m_controlKey.c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                        KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExW(key, L"Linked", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value);
    RegCloseKey(key);
}

bool EmulatedPhone::start_listening() {
    std::wstring name = L"\\\\.\\pipe\\" + m_pipeName;
    m_listening = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                                   1 << 16, 1 << 16, 0, nullptr);
    if (m_listening == INVALID_HANDLE_VALUE)
        return false;
    ResetEvent(m_connect.hEvent);
    if (!ConnectNamedPipe(m_listening, &m_connect)) {
        DWORD error = GetLastError();
        if (error == ERROR_PIPE_CONNECTED) {
            SetEvent(m_connect.hEvent);
        } else if (error != ERROR_IO_PENDING) {
            CloseHandle(m_listening);
            m_listening = INVALID_HANDLE_VALUE;
            return false;
        }
    }
    return true;
}

void EmulatedPhone::stop_listening() {
    if (m_listening == INVALID_HANDLE_VALUE)
        return;
    // The pending connect ends before its OVERLAPPED is used for the next one.
    DWORD ignored = 0;
    CancelIoEx(m_listening, &m_connect);
    GetOverlappedResult(m_listening, &m_connect, &ignored, TRUE);
    CloseHandle(m_listening);
    m_listening = INVALID_HANDLE_VALUE;
    ResetEvent(m_connect.hEvent);
}

void EmulatedPhone::bus_plug() {
    if (m_busPlugged)
        return;
    if (!start_listening())
        return;
    m_link = create_link(L"\\??\\" + m_path.substr(4), L"\\Device\\NamedPipe\\" + m_pipeName);
    set_linked(1);
    m_busPlugged = true;
}

void EmulatedPhone::bus_unplug() {
    if (!m_busPlugged)
        return;
    m_busPlugged = false;
    set_linked(0);
    if (m_link != nullptr)
        CloseHandle(m_link);
    m_link = nullptr;
    stop_listening();
    for (auto &c : m_connections) {
        if (c->closed)
            continue;
        c->closed = true;
        c->parked.clear();
        std::lock_guard<std::mutex> guard(c->write_lock);
        DisconnectNamedPipe(c->pipe); // the host's file breaks; its thread ends
    }
    m_active = nullptr;
}

DWORD WINAPI EmulatedPhone::listener_main(void *self) {
    static_cast<EmulatedPhone *>(self)->listen();
    return 0;
}

DWORD WINAPI EmulatedPhone::connection_main(void *context) {
    auto *connection = static_cast<Connection *>(context);
    connection->phone->serve(connection);
    return 0;
}

void EmulatedPhone::listen() {
    while (!m_stop) {
        DWORD waited = WaitForSingleObject(m_connect.hEvent, 20);
        std::lock_guard<std::mutex> guard(m_lock);
        // A phone that went away by itself (a reboot) and is due back.
        m_phone->tick();
        if (m_phone->plugged())
            bus_plug();
        if (waited != WAIT_OBJECT_0 || m_listening == INVALID_HANDLE_VALUE)
            continue;
        DWORD ignored = 0;
        HANDLE accepted = m_listening;
        bool connected = GetOverlappedResult(accepted, &m_connect, &ignored, FALSE) ||
                         GetLastError() == ERROR_PIPE_CONNECTED;
        if (!connected && GetLastError() == ERROR_IO_INCOMPLETE)
            continue;
        m_listening = INVALID_HANDLE_VALUE;
        start_listening(); // the next file's instance, before this one is served
        if (!connected) {
            CloseHandle(accepted);
            continue;
        }
        auto c = std::make_unique<Connection>();
        c->pipe = accepted;
        c->phone = this;
        Connection *raw = c.get();
        m_connections.push_back(std::move(c));
        raw->thread = CreateThread(nullptr, 0, &EmulatedPhone::connection_main, raw, 0, nullptr);
    }
}

void EmulatedPhone::serve(Connection *c) {
    for (;;) {
        wire::Request request;
        std::vector<uint8_t> data;
        if (!read_exact(c->pipe, &request, sizeof request))
            break;
        if (request.op == wire::WRITE) {
            if (request.length > wire::MAX_DATA)
                break;
            data.resize(request.length);
            if (request.length > 0 && !read_exact(c->pipe, data.data(), data.size()))
                break;
        }
        std::vector<Outgoing> out;
        bool drop = false;
        std::chrono::steady_clock::time_point until{};
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (c->closed)
                break;
            handle(c, request, data, out, &drop, &until);
        }
        // The link's pace, slept outside the lock like the simulated library does.
        if (until != std::chrono::steady_clock::time_point{} &&
            until - std::chrono::steady_clock::now() > std::chrono::milliseconds(2))
            std::this_thread::sleep_until(until);
        send(c, out);
        if (drop) {
            std::lock_guard<std::mutex> guard(m_lock);
            bus_unplug();
        }
    }
    std::lock_guard<std::mutex> guard(m_lock);
    c->closed = true;
    c->parked.clear();
    if (m_active == c)
        m_active = nullptr;
    std::lock_guard<std::mutex> writing(c->write_lock);
    DisconnectNamedPipe(c->pipe);
    CloseHandle(c->pipe);
    c->pipe = INVALID_HANDLE_VALUE;
}

bool EmulatedPhone::send(Connection *c, const std::vector<Outgoing> &out) {
    std::lock_guard<std::mutex> guard(c->write_lock);
    for (const auto &o : out) {
        if (c->pipe == INVALID_HANDLE_VALUE)
            return false;
        std::vector<uint8_t> bytes(sizeof o.header + o.data.size());
        std::memcpy(bytes.data(), &o.header, sizeof o.header);
        if (!o.data.empty())
            std::memcpy(bytes.data() + sizeof o.header, o.data.data(), o.data.size());
        if (!write_all(c->pipe, bytes.data(), bytes.size()))
            return false;
    }
    return true;
}

namespace {

wire::Response reply(const wire::Request &request, DWORD error, uint32_t transferred = 0) {
    return {request.id, error, 0, transferred};
}

} // namespace

void EmulatedPhone::handle(Connection *c, const wire::Request &request, std::vector<uint8_t> &data,
                           std::vector<Outgoing> &out, bool *drop,
                           std::chrono::steady_clock::time_point *until) {
    const tarnex::sim::DeviceConfig &config = m_phone->config();
    bool gone = false;
    if (request.op == wire::HELLO) {
        if (!m_busPlugged) {
            out.push_back({reply(request, ERROR_DEVICE_NOT_CONNECTED), {}});
        } else if (m_active != nullptr && m_active != c) {
            ++m_refused;
            out.push_back({reply(request, ERROR_ACCESS_DENIED), {}});
        } else {
            IoStatus status = m_phone->on_open();
            if (status == IoStatus::OK) {
                m_active = c;
                ++m_opened;
                out.push_back({reply(request, 0), {}});
            } else if (status == IoStatus::OPEN_REFUSED) {
                out.push_back({reply(request, ERROR_GEN_FAILURE), {}});
            } else {
                gone = true;
            }
        }
    } else if (m_active != c) {
        out.push_back({reply(request, ERROR_INVALID_HANDLE), {}});
    } else if (request.op == wire::GET_DESCRIPTOR && m_silentControl) {
        // No answer: the host's control time-out ends the request.
    } else if (request.op == wire::GET_DESCRIPTOR) {
        std::vector<uint8_t> d;
        if (request.type == 1 && request.index == 0) {
            ++m_deviceReads;
            d = {18, 1};
            put_le16(d, 0x0200);
            d.insert(d.end(), {config.device_class[0], config.device_class[1], config.device_class[2], 64});
            put_le16(d, config.vendor_id);
            put_le16(d, config.product_id);
            put_le16(d, 0x0100);
            d.insert(d.end(), {1, 2, static_cast<uint8_t>(config.has_serial ? 3 : 0), 1});
        } else if (request.type == 3 && request.index == 0) {
            d = {static_cast<uint8_t>(2 + 2 * m_options.languages.size()), 3};
            for (uint16_t language : m_options.languages)
                put_le16(d, language);
        } else if (request.type == 3 && request.index == 3 && config.has_serial &&
                   std::find(m_options.languages.begin(), m_options.languages.end(), request.language) !=
                       m_options.languages.end()) {
            size_t units = std::min<size_t>(config.serial.size(), 126);
            d = {static_cast<uint8_t>(2 + 2 * units), 3};
            for (size_t i = 0; i < units; ++i)
                put_le16(d, static_cast<uint8_t>(config.serial[i]));
        }
        if (d.empty()) {
            out.push_back({reply(request, ERROR_GEN_FAILURE), {}}); // the device stalls the request
        } else {
            if (d.size() > request.length)
                d.resize(request.length);
            wire::Response r = reply(request, 0, static_cast<uint32_t>(d.size()));
            r.length = static_cast<uint32_t>(d.size());
            out.push_back({r, std::move(d)});
        }
    } else if (request.op == wire::QUERY_INTERFACE) {
        if (request.index != 0) {
            out.push_back({reply(request, ERROR_NO_MORE_ITEMS), {}});
        } else {
            std::vector<uint8_t> d = {9,
                                      4,
                                      0,
                                      0,
                                      static_cast<uint8_t>(m_options.pipes.size()),
                                      config.interface_class[0],
                                      config.interface_class[1],
                                      config.interface_class[2],
                                      0};
            wire::Response r = reply(request, 0, 9);
            r.length = 9;
            out.push_back({r, std::move(d)});
        }
    } else if (request.op == wire::QUERY_PIPE) {
        if (request.type != 0 || request.index >= m_options.pipes.size()) {
            out.push_back({reply(request, ERROR_NO_MORE_ITEMS), {}});
        } else {
            const wire::PipeInfo &p = m_options.pipes[request.index];
            std::vector<uint8_t> d(sizeof p);
            std::memcpy(d.data(), &p, sizeof p);
            wire::Response r = reply(request, 0, sizeof p);
            r.length = sizeof p;
            out.push_back({r, std::move(d)});
        }
    } else if (request.op == wire::READ) {
        if (m_phone->awaiting_data())
            ++m_earlyReads;
        if (request.pipe != m_inPipe || m_inPipe == 0)
            out.push_back({reply(request, ERROR_INVALID_PARAMETER), {}});
        else if (!try_read(c, request, out, &gone, until))
            c->parked.push_back({request, {}});
    } else if (request.op == wire::WRITE) {
        if (request.pipe != m_outPipe || m_outPipe == 0) {
            out.push_back({reply(request, ERROR_INVALID_PARAMETER), {}});
        } else if (m_stallWrites) {
            out.push_back({reply(request, ERROR_GEN_FAILURE), {}});
        } else if (m_holdWrites) {
            c->parked.push_back({request, std::move(data)});
            m_mostWritesHeld = std::max<uint32_t>(
                m_mostWritesHeld,
                static_cast<uint32_t>(std::count_if(c->parked.begin(), c->parked.end(), [](const Parked &p) {
                    return p.request.op == wire::WRITE;
                })));
        } else {
            try_write(request, data, out, &gone, until);
            retry_parked(c, out, &gone);
        }
    } else if (request.op == wire::ABORT) {
        for (auto it = c->parked.begin(); it != c->parked.end();) {
            if (it->request.pipe != request.pipe) {
                ++it;
                continue;
            }
            out.push_back({reply(it->request, ERROR_OPERATION_ABORTED), {}});
            it = c->parked.erase(it);
        }
        out.push_back({reply(request, 0), {}});
    } else {
        out.push_back({reply(request, ERROR_INVALID_FUNCTION), {}});
    }
    *drop = gone || !m_phone->plugged();
}

bool EmulatedPhone::try_read(Connection *c, const wire::Request &request, std::vector<Outgoing> &out,
                             bool *gone, std::chrono::steady_clock::time_point *until) {
    const uint32_t length = std::min<uint32_t>(request.length, wire::MAX_DATA);
    std::vector<uint8_t> buffer;
    uint32_t received = 0;
    IoStatus status = IoStatus::OK;
    if (!c->surplus.empty()) {
        buffer.swap(c->surplus);
        received = static_cast<uint32_t>(buffer.size());
    } else {
        buffer.resize(std::max<uint32_t>(length, MAX_REPLY));
        status = m_phone->host_read(buffer.data(), static_cast<uint32_t>(buffer.size()), received);
    }
    switch (status) {
    case IoStatus::OK: {
        buffer.resize(received);
        if (received > length) {
            c->surplus.assign(buffer.begin() + length, buffer.end());
            buffer.resize(length);
            received = length;
        }
        *until = m_phone->book_transfer(received);
        wire::Response r = reply(request, 0, received);
        r.length = received;
        out.push_back({r, std::move(buffer)});
        return true;
    }
    case IoStatus::TIMEOUT:
        return false; // nothing to say yet: the transfer waits in the device
    case IoStatus::GONE:
        *gone = true; // no answer: the host's file breaks
        return true;
    case IoStatus::OVERFLOW:
        out.push_back({reply(request, ERROR_GEN_FAILURE), {}});
        return true;
    default:
        out.push_back({reply(request, ERROR_NOT_ENOUGH_MEMORY), {}});
        return true;
    }
}

bool EmulatedPhone::try_write(const wire::Request &request, const std::vector<uint8_t> &data,
                              std::vector<Outgoing> &out, bool *gone,
                              std::chrono::steady_clock::time_point *until) {
    uint32_t accepted = 0;
    IoStatus status = m_phone->host_write(data.data(), static_cast<uint32_t>(data.size()), accepted);
    if (status == IoStatus::GONE) {
        *gone = true;
        return true;
    }
    if (status != IoStatus::OK) {
        out.push_back({reply(request, ERROR_NOT_ENOUGH_MEMORY), {}});
        return true;
    }
    *until = m_phone->book_transfer(accepted);
    out.push_back({reply(request, 0, accepted), {}});
    return true;
}

void EmulatedPhone::retry_parked(Connection *c, std::vector<Outgoing> &out, bool *gone) {
    std::chrono::steady_clock::time_point ignored{};
    while (!c->parked.empty() && c->parked.front().request.op == wire::READ && !*gone) {
        if (!try_read(c, c->parked.front().request, out, gone, &ignored))
            break;
        c->parked.erase(c->parked.begin());
    }
}

} // namespace usbtest

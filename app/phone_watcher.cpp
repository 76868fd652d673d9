#include "app/phone_watcher.h"

#include "app/download_dlg.h"
#include "os/os_api.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <utility>

namespace {

// Opens the interface by name and closes it again: true while the phone is still attached.
bool still_answers(const std::u16string &name) {
    UsbDeviceHandle *probe = open_device_interface(name.c_str());
    if (probe == nullptr)
        return false;
    free_device(probe);
    return true;
}

} // namespace

bool PhoneWatcher::start(WindowHandle window, UINT message, uint32_t period_ms) {
    Shared &shared = *m_shared;
    shared.window = window;
    shared.message = message;
    shared.period_ms = period_ms;
    shared.running = true;
    auto *held = new std::shared_ptr<Shared>(m_shared);
    if (g_OsApi.start_thread(thread_entry, held))
        return true;
    delete held;
    shared.running = false;
    return false;
}

void PhoneWatcher::thread_entry(void *context) {
    std::unique_ptr<std::shared_ptr<Shared>> held(static_cast<std::shared_ptr<Shared> *>(context));
    Shared &shared = **held;
    for (;;) {
        try {
            poll(shared);
        } catch (const std::exception &error) {
            std::fprintf(stderr, "looking for phones failed: %s\n", error.what());
        }
        std::unique_lock<std::mutex> lock(shared.mutex);
        shared.wake.wait_for(lock, std::chrono::milliseconds(shared.period_ms),
                             [&] { return shared.stopping; });
        if (shared.stopping) {
            shared.running = false;
            shared.wake.notify_all();
            return;
        }
    }
}

void PhoneWatcher::poll(Shared &shared) {
    std::vector<std::pair<std::u16string, std::string>> &reported = shared.reported;
    {
        std::lock_guard<std::mutex> lock(shared.mutex);
        for (const std::string &name : shared.forgotten)
            std::erase_if(reported, [&](const auto &each) { return each.second == name; });
        shared.forgotten.clear();
    }
    std::vector<PhoneEvent> events;
    for (auto each = reported.begin(); each != reported.end();) {
        if (still_answers(each->first)) {
            ++each;
            continue;
        }
        events.push_back({PhoneEvent::GONE, each->second, nullptr, {}});
        each = reported.erase(each);
    }

    std::vector<std::u16string> names;
    list_interface_names(&names);
    for (const std::u16string &name : names) {
        if (name.empty() || name.size() + 1 > INTERFACE_NAME_UNITS_MAX ||
            std::any_of(reported.begin(), reported.end(),
                        [&](const auto &each) { return each.first == name; }))
            continue;
        UsbDeviceHandle *device = open_device_interface(name.c_str());
        if (device == nullptr)
            continue;
        UsbInterfaceInfo info = {};
        if (probe_interface_info(device, is_fastboot_interface, &info) == 0) {
            free_device(device);
            continue;
        }
        reported.emplace_back(name, device->interface_name);
        events.push_back({PhoneEvent::ARRIVED, device->interface_name, device, info});
    }
    if (events.empty())
        return;
    {
        std::lock_guard<std::mutex> lock(shared.mutex);
        for (PhoneEvent &event : events)
            shared.events.push_back(std::move(event));
    }
    g_FrameworkBackend.post_message(shared.window, shared.message, 0, 0);
}

std::vector<PhoneEvent> PhoneWatcher::take_events() {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    return std::exchange(m_shared->events, {});
}

void PhoneWatcher::forget(const std::string &name) {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    m_shared->forgotten.push_back(name);
}

bool PhoneWatcher::stop(int timeout_ms) {
    Shared &shared = *m_shared;
    std::unique_lock<std::mutex> lock(shared.mutex);
    shared.stopping = true;
    shared.wake.notify_all();
    if (!shared.wake.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return !shared.running; }))
        return false;
    for (PhoneEvent &event : shared.events)
        free_device(event.device);
    shared.events.clear();
    return true;
}

// Deploys the simulated phone the way the product deploys its driver library: the library's bytes
// written as "AdbWinApi.dll" into a private folder, loaded from there through the OS services, and bound
// by export name into g_DriverApi. The simulator's control functions are resolved in that same loaded
// copy, since each copy is a simulation of its own.
//
// TARNEX_SIM_FILE names the library file next to the program (set by the build).
#pragma once

#include "drivers/sim/sim_binding.h"
#include "os/os_api.h"
#include "usb/driver_api.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

class DeployedSim : public SimBinding {
public:
    ~DeployedSim() { remove(); }

    // False with a reason in `error` when any step fails.
    bool deploy() {
        std::string self;
        if (!g_OsApi.executable_path(&self))
            return fail("no executable path");
        std::string source = os_join_path(self.substr(0, self.find_last_of("/\\")), TARNEX_SIM_FILE);
        std::ifstream in(source, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (bytes.empty())
            return fail("cannot read " + source);

        if (!g_OsApi.create_private_directory(&m_private))
            return fail("no private directory");
        m_folder = m_private;
#ifdef _WIN32
        // The private directory is the shared temporary one here, and test programs run side by side:
        // each gets a folder of its own, or they would overwrite each other's loaded library.
        m_folder = os_join_path(m_private, ("tarnex-test-" + std::to_string(std::random_device{}())).c_str());
        std::filesystem::create_directories(m_folder);
#endif
        m_path = os_join_path(m_folder, "AdbWinApi.dll");
        if (!os_write_whole_file(m_path.c_str(), bytes.data(), bytes.size()))
            return fail("cannot write " + m_path);
        library = g_OsApi.library_load(m_path.c_str(), &error);
        if (library == nullptr)
            return false;
        std::string missing;
        if (!bind_driver_api(library, &g_DriverApi, &missing))
            return fail("missing exports: " + missing);
        return bind([&](const char *name) { return g_OsApi.library_symbol(library, name); });
    }

    // Unbinds, unloads and deletes the copy and its folder, as the product does at shut-down.
    void remove() {
        g_DriverApi = DriverApi{};
        if (library != nullptr)
            g_OsApi.library_unload(library);
        library = nullptr;
        if (!m_path.empty())
            g_OsApi.file_delete(m_path.c_str());
#ifdef _WIN32
        if (!m_folder.empty())
            std::filesystem::remove(m_folder);
#endif
        if (!m_private.empty())
            g_OsApi.remove_private_directory(m_private.c_str());
        m_path.clear(), m_folder.clear(), m_private.clear();
    }

    OsLibrary library = nullptr;

private:
    bool fail(std::string reason) {
        error = std::move(reason);
        return false;
    }

    std::string m_private, m_folder, m_path;
};

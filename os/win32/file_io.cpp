// Windows file services: read-only mappings, 64-bit offsets through the C runtime's _fseeki64, _commit
// for flushing.
#include "os/file_io.h"

#include "os/file_mappings.h"
#include "os/fixed_storage.h"
#include "os/os_api.h"

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <io.h>

namespace {

thread_local char t_error_text[256];

void set_errno_text() {
    file_set_error_text(strerror(errno));
}

void set_last_error_text() {
    file_set_error_text(g_OsApi.error_text(GetLastError()).c_str());
}

} // namespace

void file_set_error_text(const char *text) {
    snprintf(t_error_text, sizeof t_error_text, "%s", text ? text : "");
}

const char *file_error_text() {
    return t_error_text;
}

// Windows grants large pages only to accounts holding the lock-memory privilege, which an operator's
// account does not; a plain heap block is what is left.
void *file_buffer_alloc(uint64_t size) {
    if (size == 0)
        size = 1;
    if (size > SIZE_MAX / 2) {
        file_set_error_text(strerror(ENOMEM));
        return nullptr;
    }
    void *buffer = malloc(static_cast<size_t>(size));
    if (!buffer)
        file_set_error_text(strerror(ENOMEM));
    return buffer;
}

void file_buffer_free(const void *buffer) {
    FileMapping mapping;
    if (file_mappings_take(buffer, &mapping)) {
        UnmapViewOfFile(mapping.Base);
        CloseHandle(reinterpret_cast<HANDLE>(mapping.Section));
        CloseHandle(reinterpret_cast<HANDLE>(mapping.File));
    } else {
        free(const_cast<void *>(buffer));
    }
}

namespace {

// The disks the volume at ROOT (a volume's root, "C:\") spans, with what each says of its bus. False
// when the system does not answer: a network drive, a driver that does not know the queries (Wine).
bool volume_disks(const char *root, std::vector<StorageDisk> *disks) {
    char volume[MAX_PATH];
    if (!GetVolumeNameForVolumeMountPointA(root, volume, sizeof volume))
        return false;
    // "\\?\Volume{...}\" names the root folder; without the separator, the volume itself.
    size_t length = strlen(volume);
    if (length > 0 && volume[length - 1] == '\\')
        volume[length - 1] = '\0';
    HANDLE handle =
        CreateFileA(volume, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    // One extent per disk for most volumes; a spanned or striped one has more.
    std::vector<uint8_t> extents(sizeof(VOLUME_DISK_EXTENTS) + 31 * sizeof(DISK_EXTENT));
    DWORD returned = 0;
    const bool listed =
        DeviceIoControl(handle, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, extents.data(),
                        static_cast<DWORD>(extents.size()), &returned, nullptr) != 0;
    CloseHandle(handle);
    if (!listed)
        return false;
    const auto *list = reinterpret_cast<const VOLUME_DISK_EXTENTS *>(extents.data());
    std::vector<DWORD> numbers;
    for (DWORD i = 0; i < list->NumberOfDiskExtents; ++i)
        if (std::find(numbers.begin(), numbers.end(), list->Extents[i].DiskNumber) == numbers.end())
            numbers.push_back(list->Extents[i].DiskNumber);
    for (DWORD number : numbers) {
        const std::string drive = "\\\\.\\PhysicalDrive" + std::to_string(number);
        HANDLE disk = CreateFileA(drive.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        if (disk == INVALID_HANDLE_VALUE)
            return false;
        STORAGE_PROPERTY_QUERY query = {};
        query.PropertyId = StorageDeviceProperty;
        query.QueryType = PropertyStandardQuery;
        STORAGE_DEVICE_DESCRIPTOR descriptor = {};
        const bool described =
            DeviceIoControl(disk, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &descriptor,
                            sizeof descriptor, &returned, nullptr) != 0 &&
            returned >= offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType) + sizeof descriptor.BusType;
        CloseHandle(disk);
        if (!described)
            return false;
        disks->push_back({static_cast<uint32_t>(descriptor.BusType), descriptor.RemovableMedia != FALSE});
    }
    return true;
}

} // namespace

bool file_may_be_mapped(const char *path) {
    // The root of the volume the file is on ("C:\", a mount folder, "\\server\share\").
    char root[MAX_PATH + 1];
    if (!GetVolumePathNameA(path, root, sizeof root)) {
        set_last_error_text();
        return false;
    }
    const UINT type = GetDriveTypeA(root);
    if (type != DRIVE_FIXED) {
        file_set_error_text(type == DRIVE_REMOTE      ? "the file is on a network drive"
                            : type == DRIVE_REMOVABLE ? "the file is on a removable drive"
                                                      : "the file is not on a fixed drive");
        return false;
    }
    std::vector<StorageDisk> disks;
    if (!volume_disks(root, &disks)) {
        file_set_error_text("the system does not say which disks hold the file's volume");
        return false;
    }
    std::string why;
    const bool stays = storage_disks_stay(disks, &why);
    file_set_error_text(why.c_str());
    return stays;
}

const uint8_t *file_map_readonly(const char *path, uint64_t size_limit, uint64_t *size) {
    // Read sharing only: nobody may open the file for writing while the mapping lasts. A running program's
    // own file is locked by the system anyway; this holds for any other file as well.
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        set_last_error_text();
        return nullptr;
    }
    LARGE_INTEGER length;
    if (!GetFileSizeEx(file, &length)) {
        set_last_error_text();
        CloseHandle(file);
        return nullptr;
    }
    const uint64_t bytes = length.QuadPart > 0 ? static_cast<uint64_t>(length.QuadPart) : 0;
    if (bytes == 0 || bytes >= size_limit || bytes > SIZE_MAX) {
        file_set_error_text(bytes == 0 ? "the file is empty" : "the file is too large");
        CloseHandle(file);
        return nullptr;
    }
    HANDLE section = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (section == nullptr) {
        set_last_error_text();
        CloseHandle(file);
        return nullptr;
    }
    const void *base = MapViewOfFile(section, FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(bytes));
    if (base == nullptr) {
        set_last_error_text();
        CloseHandle(section);
        CloseHandle(file);
        return nullptr;
    }
    FileMapping mapping{base, bytes, reinterpret_cast<intptr_t>(file), reinterpret_cast<intptr_t>(section)};
    if (!file_mappings_add(mapping)) {
        file_set_error_text("too many files mapped");
        UnmapViewOfFile(base);
        CloseHandle(section);
        CloseHandle(file);
        return nullptr;
    }
    *size = bytes;
    return static_cast<const uint8_t *>(base);
}

bool file_buffer_is_mapping(const void *buffer) {
    return file_mappings_contains(buffer);
}

int64_t file_size64(FILE *file) {
    if (_fseeki64(file, 0, SEEK_END) != 0) {
        set_errno_text();
        return -1;
    }
    int64_t size = _ftelli64(file);
    if (size < 0 || _fseeki64(file, 0, SEEK_SET) != 0) {
        set_errno_text();
        return -1;
    }
    return size;
}

bool file_seek64(FILE *file, int64_t offset, int origin) {
    if (_fseeki64(file, offset, origin) != 0) {
        set_errno_text();
        return false;
    }
    return true;
}

bool file_sync(FILE *file) {
    if (fflush(file) != 0 || _commit(_fileno(file)) != 0) {
        set_errno_text();
        return false;
    }
    return true;
}

#include "usb/bulk_transfer.h"

#include "framework/main_window.h"
#include "framework/messages.h"
#include "os/os_api.h"
#include "package/image_table.h"
#include "usb/driver_api.h"

#include <algorithm>
#include <cerrno>

namespace {

// After every driver call: the caller turns the error number into the text of its failure messages.
uint32_t copy_last_error() {
    uint32_t error = g_OsApi.get_last_error();
    errno = static_cast<int>(error);
    return error;
}

int32_t fail(uint32_t code) {
    g_OsApi.set_last_error(code);
    errno = static_cast<int>(code);
    return -1;
}

} // namespace

uint32_t transfer_timeout_ms(int32_t length) {
    uint64_t timeout = 8 * static_cast<uint64_t>(std::max<int32_t>(length, 0)) + 500;
    return static_cast<uint32_t>(std::min<uint64_t>(timeout, UINT32_MAX));
}

int32_t bulk_write(UsbDeviceHandle *handle, uint32_t progress_tag, const void *data, int32_t length,
                   int is_command) {
    const uint32_t timeout = transfer_timeout_ms(length);
    if (handle == nullptr || handle->write_endpoint == nullptr || !driver_api_complete(g_DriverApi)) {
        g_OsApi.set_last_error(OS_ERROR_INVALID_HANDLE);
        return -1;
    }
    if (length <= 0)
        return -1;
    if (data == nullptr)
        return fail(OS_ERROR_INVALID_PARAMETER);

    // Read once: the table is fixed at start-up, and the loop should not reload it per chunk.
    const uint32_t slice = g_ImageTable.ProgressSlice;
    // The driver's signature takes a mutable buffer; it only reads from it.
    auto *position = static_cast<uint8_t *>(const_cast<void *>(data));
    uint32_t remaining = static_cast<uint32_t>(length);
    uint32_t unreported = 0;
    while (remaining > 0) {
        const uint32_t chunk = std::min(remaining, BULK_CHUNK_LIMIT);
        uint32_t written = 0;
        bool ok =
            g_DriverApi.AdbWriteEndpointSync(handle->write_endpoint, position, chunk, &written, timeout);
        copy_last_error();
        if (!ok)
            return -1;
        // Nothing written would repeat the same chunk forever; more than the chunk would skip bytes the
        // device never got while still adding up to `length`. Either way the driver is not to be trusted
        // with this transfer.
        if (written == 0 || written > chunk)
            return fail(OS_ERROR_DEVICE_FAULT);
        position += written;
        remaining -= written;

        if (is_command == 0) {
            if (unreported > slice) {
                send_to_main_window(WM_DOWNLOAD_PROGRESS, static_cast<WPARAM>(progress_tag),
                                    static_cast<LPARAM>(unreported));
                unreported = 0;
            } else {
                unreported += written;
            }
        }
    }
    return length;
}

int32_t bulk_read(UsbDeviceHandle *handle, void *buffer, int32_t length) {
    if (handle == nullptr || handle->read_endpoint == nullptr || !driver_api_complete(g_DriverApi)) {
        g_OsApi.set_last_error(OS_ERROR_INVALID_HANDLE);
        return -1;
    }
    if (length < 0 || buffer == nullptr)
        return fail(OS_ERROR_INVALID_PARAMETER);
    const uint32_t timeout = transfer_timeout_ms(length);
    const uint32_t wanted = std::min(static_cast<uint32_t>(length), BULK_CHUNK_LIMIT);
    for (;;) {
        uint32_t received = 0;
        bool ok = g_DriverApi.AdbReadEndpointSync(handle->read_endpoint, buffer, wanted, &received, timeout);
        uint32_t error = copy_last_error();
        if (ok) {
            if (received > wanted)
                return fail(OS_ERROR_DEVICE_FAULT); // the caller would read past what was filled
            return static_cast<int32_t>(received);
        }
        // A silent device is not an error: a reply can take as long as the device needs (a flash of a
        // large partition, a device waiting for a button press). Only a device that is gone ends this.
        if (error != OS_ERROR_TIMEOUT)
            return -1;
    }
}

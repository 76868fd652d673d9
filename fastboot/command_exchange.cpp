#include "fastboot/command_exchange.h"

#include "os/os_api.h"
#include "usb/bulk_transfer.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

thread_local char ErrorText[ERROR_TEXT_SIZE] = {};

namespace {

thread_local std::atomic<uint64_t> *t_AcceptedBytes = nullptr;
thread_local const char *t_DiagnosticPrefix = "";

void set_error_text(const char *format, ...) __attribute__((format(printf, 1, 2)));

void set_error_text(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(ErrorText, sizeof ErrorText, format, arguments);
    va_end(arguments);
}

// Both error values are cleared before every transfer, so that a failure which left neither of them
// set (the transport refusing a length of 0 before any driver call) is told apart from a stale code
// of some earlier call.
void clear_transfer_error() {
    errno = 0;
    g_OsApi.set_last_error(0);
}

// The native code behind a failed transfer. The transport copies the driver's code into the error
// number after every driver call; when it failed before reaching the driver it has set the last-error
// value (a null handle) or nothing at all (nothing to send, an argument it cannot take).
uint32_t transfer_error_code() {
    if (errno != 0)
        return static_cast<uint32_t>(errno);
    if (uint32_t code = g_OsApi.get_last_error(); code != 0)
        return code;
    return OS_ERROR_INVALID_PARAMETER;
}

// "WHAT (description)" for a failed transfer. The system's descriptions are short on POSIX but can
// run long on Windows: the description is cut, never the closing parenthesis, and never in the middle
// of a character of the system's code page (UTF-8, or a double-byte page such as 936 on Windows). This runs
// once an exchange has already failed, so its one allocation (the description) costs nothing on the way to
// success.
void set_transfer_error(const char *what) {
    const std::string description = g_OsApi.error_text(transfer_error_code());
    const size_t framing = std::strlen(what) + 3 + 1; // " (", ")" and the terminator
    size_t room = sizeof ErrorText > framing ? sizeof ErrorText - framing : 0;
    const size_t length =
        os_text_prefix_length(description.data(), description.size(), room, os_ansi_code_page());
    set_error_text("%s (%.*s)", what, static_cast<int>(length), description.c_str());
}

bool has_prefix(const char *reply, const char (&prefix)[FASTBOOT_STATUS_PREFIX + 1]) {
    return std::memcmp(reply, prefix, FASTBOOT_STATUS_PREFIX) == 0;
}

int hex_digit_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

const char *get_error_text() {
    return ErrorText;
}

void count_accepted_bytes(std::atomic<uint64_t> *counter) {
    t_AcceptedBytes = counter;
}

void set_diagnostic_prefix(const char *prefix) {
    t_DiagnosticPrefix = prefix != nullptr ? prefix : "";
}

const char *diagnostic_prefix() {
    return t_DiagnosticPrefix;
}

uint32_t parse_data_size(const char *text) {
    const char *p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    // The prefix only counts when a digit follows it; otherwise the "0" alone is the number.
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && hex_digit_value(p[2]) >= 0)
        p += 2;
    uint32_t value = 0;
    bool overflow = false;
    for (int digit; (digit = hex_digit_value(*p)) >= 0; ++p) {
        if (value > (UINT32_MAX >> 4))
            overflow = true;
        value = (value << 4) | static_cast<uint32_t>(digit);
    }
    // Out of range saturates whatever the sign; in range, a minus sign negates in unsigned arithmetic.
    if (overflow)
        return UINT32_MAX;
    return negative ? 0u - value : value;
}

int32_t read_status(UsbDeviceHandle *handle, uint32_t bound, bool expect_data, char *response) {
    char reply[FASTBOOT_REPLY_MAX + 1];
    for (;;) {
        clear_transfer_error();
        const int32_t received = bulk_read(handle, reply, static_cast<int32_t>(FASTBOOT_REPLY_MAX));
        if (received < 0) {
            set_transfer_error("status read failed");
            return -1;
        }
        // The transport never hands back more than was asked for; the reply text ends at the end of
        // the transfer or at an earlier NUL byte.
        const size_t length = static_cast<size_t>(received) < FASTBOOT_REPLY_MAX
                                  ? static_cast<size_t>(received)
                                  : FASTBOOT_REPLY_MAX;
        reply[length] = '\0';
        if (length < FASTBOOT_STATUS_PREFIX) {
            set_error_text("status malformed (%d bytes)", static_cast<int>(length));
            return -1;
        }
        const char *text = reply + FASTBOOT_STATUS_PREFIX;

        if (has_prefix(reply, "INFO")) {
            // The phone's progress notes go to the operator's log as they come; the step is not over.
            std::fprintf(stderr, "%s%s\n", t_DiagnosticPrefix, reply);
            continue;
        }
        if (has_prefix(reply, "OKAY")) {
            if (response != nullptr)
                std::memcpy(response, text, std::strlen(text) + 1); // at most 60 bytes and the NUL
            return 0;
        }
        if (has_prefix(reply, "FAIL")) {
            if (length > FASTBOOT_STATUS_PREFIX)
                set_error_text("remote: %s", text);
            else
                set_error_text("remote failure");
            return -1;
        }
        if (has_prefix(reply, "DATA") && expect_data) {
            // A size the result cannot carry (beyond 2^31 - 1) would come back looking like -1, a
            // failure without a description; no image is that large, so it is too large like any
            // other size beyond what was offered.
            const uint32_t size = parse_data_size(text);
            if (size <= bound && size <= static_cast<uint32_t>(INT32_MAX))
                return static_cast<int32_t>(size);
            set_error_text("data size too large");
            return -1;
        }
        set_error_text("unknown status code");
        return -1;
    }
}

int32_t send_command(UsbDeviceHandle *handle, uint32_t progress_tag, const char *command, const void *data,
                     uint32_t size, char *response) {
    if (response != nullptr)
        response[0] = '\0';
    if (command == nullptr)
        command = ""; // refused by the transport like any empty command
    // Counting stops one past the limit: that is enough to refuse, and the text may be unterminated
    // garbage for all we know past that point.
    const size_t length = strnlen(command, FASTBOOT_COMMAND_MAX + 1);
    if (length > FASTBOOT_COMMAND_MAX) {
        set_error_text("%s", COMMAND_TOO_LARGE_TEXT);
        return -1;
    }
    clear_transfer_error();
    if (bulk_write(handle, progress_tag, command, static_cast<int32_t>(length), 1) !=
        static_cast<int32_t>(length)) {
        set_transfer_error("command write failed");
        return -1;
    }
    if (data == nullptr)
        return read_status(handle, size, false, response);

    const int32_t wanted = read_status(handle, size, true, nullptr);
    if (wanted < 0)
        return -1;
    // The phone chooses the amount, never more than was offered: exactly that many bytes go out.
    if (wanted > 0) {
        clear_transfer_error();
        const int32_t written = bulk_write(handle, progress_tag, data, wanted, 0);
        if (written < 0) {
            set_transfer_error("data transfer failure");
            return -1;
        }
        if (written != wanted) {
            set_error_text("data transfer failure (short transfer)");
            return -1;
        }
    }
    if (read_status(handle, 0, false, nullptr) < 0)
        return -1;
    // Only now has the phone taken the data: its final OKAY is the one proof that it arrived.
    if (t_AcceptedBytes != nullptr)
        t_AcceptedBytes->fetch_add(static_cast<uint64_t>(wanted), std::memory_order_relaxed);
    return wanted;
}

int32_t send_command(UsbDeviceHandle *handle, uint32_t progress_tag, const char *command) {
    return send_command(handle, progress_tag, command, nullptr, 0, nullptr);
}

int32_t send_download(UsbDeviceHandle *handle, uint32_t progress_tag, const void *data, uint32_t size) {
    // A download always has a data phase, even of nothing; a null `data` would make it a plain command.
    static const uint8_t NOTHING = 0;
    if (data == nullptr && size == 0)
        data = &NOTHING;
    char command[FASTBOOT_COMMAND_MAX];
    std::snprintf(command, sizeof command, "download:%08x", static_cast<unsigned>(size));
    return send_command(handle, progress_tag, command, data, size, nullptr) >= 0 ? 0 : -1;
}

#include "tools/executable_format.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

uint16_t le16(const uint8_t *p) {
    return uint16_t(p[0] | p[1] << 8);
}

uint16_t be16(const uint8_t *p) {
    return uint16_t(p[0] << 8 | p[1]);
}

uint32_t le32(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// MZ stub: e_lfanew at 0x3C names the "PE\0\0" signature, then the COFF header (Machine at +4,
// SizeOfOptionalHeader at +20, Characteristics at +22) and the optional header, whose first field (at
// +24) tells PE32 from PE32+. An object file has no optional header and is no image.
ExecutableInfo read_pe(const uint8_t *bytes, size_t length) {
    constexpr size_t STUB_SIZE = 0x40;
    constexpr uint16_t OPTIONAL_PE32 = 0x10B, OPTIONAL_PE32_PLUS = 0x20B;
    constexpr uint16_t FILE_DLL = 0x2000;
    if (length < STUB_SIZE)
        return {};
    const uint64_t header = le32(bytes + 0x3C);
    if (header > length || length - header < 4 + 20 + 2)
        return {};
    const uint8_t *pe = bytes + header;
    if (memcmp(pe, "PE\0\0", 4) != 0)
        return {};
    const uint16_t optional_size = le16(pe + 20);
    const uint16_t magic = le16(pe + 24);
    if (optional_size < 2 || (magic != OPTIONAL_PE32 && magic != OPTIONAL_PE32_PLUS))
        return {};
    ExecutableInfo info;
    info.Format = EXECUTABLE_PE;
    info.Machine = le16(pe + 4);
    info.Bits = magic == OPTIONAL_PE32 ? 32 : 64;
    info.Library = (le16(pe + 22) & FILE_DLL) != 0;
    return info;
}

// True when one of the program headers is PT_INTERP: the object names a program interpreter, so it is
// a program (a position-independent one is a shared object by its type), not a library. Program headers
// outside the bytes at hand are not looked for.
bool elf_has_interpreter(const uint8_t *bytes, size_t length, bool is64, bool little) {
    constexpr uint32_t PT_INTERP = 3;
    auto read16 = little ? le16 : be16;
    auto read32 = [little](const uint8_t *p) {
        return little ? le32(p) : uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
    };
    const size_t header_size = is64 ? 64 : 52;
    if (length < header_size)
        return false;
    uint64_t offset;
    if (is64) {
        const uint64_t high = read32(bytes + (little ? 36 : 32)), low = read32(bytes + (little ? 32 : 36));
        offset = high << 32 | low;
    } else {
        offset = read32(bytes + 28);
    }
    const uint16_t entry_size = read16(bytes + (is64 ? 54 : 42));
    const uint16_t count = read16(bytes + (is64 ? 56 : 44));
    if (entry_size < 4)
        return false;
    for (uint32_t i = 0; i < count; i++) {
        const uint64_t at = offset + uint64_t(i) * entry_size;
        if (at > length || length - at < 4)
            return false;
        if (read32(bytes + at) == PT_INTERP)
            return true;
    }
    return false;
}

// e_ident: magic, EI_CLASS (1: 32-bit, 2: 64-bit), EI_DATA (1: little-endian, 2: big-endian); then
// e_type at 16 and e_machine at 18 in the file's own byte order, at the same place in both classes.
ExecutableInfo read_elf(const uint8_t *bytes, size_t length) {
    constexpr uint16_t TYPE_SHARED = 3;
    if (length < 20)
        return {};
    const uint8_t elf_class = bytes[4], data = bytes[5];
    if ((elf_class != 1 && elf_class != 2) || (data != 1 && data != 2))
        return {};
    auto read16 = data == 1 ? le16 : be16;
    ExecutableInfo info;
    info.Format = EXECUTABLE_ELF;
    info.Machine = read16(bytes + 18);
    info.Bits = elf_class == 1 ? 32 : 64;
    info.Library =
        read16(bytes + 16) == TYPE_SHARED && !elf_has_interpreter(bytes, length, elf_class == 2, data == 1);
    return info;
}

// The machine's usual short name on its platform, or null.
const char *machine_name(const ExecutableInfo &info) {
    if (info.Format == EXECUTABLE_PE) {
        switch (info.Machine) {
        case PE_MACHINE_I386:
            return "x86";
        case PE_MACHINE_AMD64:
            return "x64";
        case PE_MACHINE_ARMNT:
            return "ARM";
        case PE_MACHINE_ARM64:
            return "ARM64";
        }
    } else if (info.Format == EXECUTABLE_ELF) {
        switch (info.Machine) {
        case ELF_MACHINE_386:
            return "i386";
        case ELF_MACHINE_X86_64:
            // x32, the 32-bit ABI of the 64-bit machine, is a different architecture to the loader.
            return info.Bits == 64 ? "x86-64" : "x32";
        case ELF_MACHINE_ARM:
            return "ARM";
        case ELF_MACHINE_AARCH64:
            return "AArch64";
        }
    }
    return nullptr;
}

} // namespace

ExecutableInfo read_executable_info(const uint8_t *bytes, size_t length) {
    if (bytes == nullptr || length < 4)
        return {};
    if (bytes[0] == 'M' && bytes[1] == 'Z')
        return read_pe(bytes, length);
    if (memcmp(bytes,
               "\x7F"
               "ELF",
               4) == 0)
        return read_elf(bytes, length);
    return {};
}

bool read_executable_file_info(const char *path, ExecutableInfo *info, std::string *error) {
    FILE *file = fopen(path, "rb");
    if (file == nullptr) {
        *error = std::string("cannot open ") + path + ": " + strerror(errno);
        return false;
    }
    std::vector<uint8_t> head(EXECUTABLE_HEADER_SPAN);
    size_t got = fread(head.data(), 1, head.size(), file);
    bool failed = ferror(file) != 0;
    int code = errno;
    fclose(file);
    if (failed) {
        *error = std::string("cannot read ") + path + ": " + strerror(code);
        return false;
    }
    *info = read_executable_info(head.data(), got);
    return true;
}

bool executable_can_load(const ExecutableInfo &program, const ExecutableInfo &library) {
    return program.Format != EXECUTABLE_UNKNOWN && program.Format == library.Format &&
           program.Machine == library.Machine && program.Bits == library.Bits;
}

std::string executable_machine(const ExecutableInfo &info) {
    if (info.Format == EXECUTABLE_UNKNOWN)
        return "unknown";
    if (const char *known = machine_name(info))
        return known;
    char text[32];
    snprintf(text, sizeof text, "machine 0x%04X", info.Machine);
    return text;
}

std::string executable_architecture(const ExecutableInfo &info) {
    if (info.Format == EXECUTABLE_UNKNOWN)
        return "unknown";
    return std::to_string(info.Bits) + "-bit (" + executable_machine(info) + ")";
}

std::string executable_format_name(const ExecutableInfo &info) {
    switch (info.Format) {
    case EXECUTABLE_PE:
        return info.Bits == 64 ? "Windows (PE32+)" : "Windows (PE32)";
    case EXECUTABLE_ELF:
        return info.Bits == 64 ? "Linux (ELF64)" : "Linux (ELF32)";
    case EXECUTABLE_UNKNOWN:
        break;
    }
    return "unknown";
}

std::string executable_description(const ExecutableInfo &info, bool with_platform) {
    if (info.Format == EXECUTABLE_UNKNOWN)
        return "not an executable of a known format";
    std::string text = "a " + executable_architecture(info);
    if (with_platform)
        text += info.Format == EXECUTABLE_PE ? " Windows" : " Linux";
    return text + (info.Library ? " library" : " program");
}

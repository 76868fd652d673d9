// What kind of executable a file is: its format (Windows PE or Linux ELF), its machine, and whether it
// is a program or a library, read from its first bytes.
//
// A flasher loads the driver library it carries into its own process, so the library must have the
// flasher's format and machine: a 64-bit Windows program cannot load a 32-bit DLL (LoadLibrary fails with
// ERROR_BAD_EXE_FORMAT), and dlopen refuses an ELF of another class or machine. The packer compares the
// two before it writes a flasher.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum ExecutableFormat {
    EXECUTABLE_UNKNOWN, // neither PE nor ELF, or a header cut short
    EXECUTABLE_PE,      // Windows: MZ stub, "PE\0\0", COFF header
    EXECUTABLE_ELF,     // Linux: "\x7fELF"
};

// The machines we name; any other value is kept raw in ExecutableInfo::Machine.
inline constexpr uint16_t PE_MACHINE_I386 = 0x014C;
inline constexpr uint16_t PE_MACHINE_AMD64 = 0x8664;
inline constexpr uint16_t PE_MACHINE_ARMNT = 0x01C4;
inline constexpr uint16_t PE_MACHINE_ARM64 = 0xAA64;
inline constexpr uint16_t ELF_MACHINE_386 = 3;
inline constexpr uint16_t ELF_MACHINE_ARM = 40;
inline constexpr uint16_t ELF_MACHINE_X86_64 = 62;
inline constexpr uint16_t ELF_MACHINE_AARCH64 = 183;

struct ExecutableInfo {
    ExecutableFormat Format = EXECUTABLE_UNKNOWN;
    uint16_t Machine = 0; // PE: the COFF header's Machine; ELF: e_machine
    unsigned Bits = 0;    // PE: 32 for a PE32 optional header, 64 for PE32+; ELF: 32 or 64 (EI_CLASS)
    bool Library = false; // PE: IMAGE_FILE_DLL set; ELF: a shared object (ET_DYN) without an interpreter
};

// How many leading bytes of a file read_executable_info needs at most. The PE header is wherever the MZ
// stub's e_lfanew says; linkers put it within the first few hundred bytes, and one further out than this
// is not looked for.
inline constexpr size_t EXECUTABLE_HEADER_SPAN = 64 * 1024;

// Reads the format of the LENGTH bytes at BYTES (the start of a file; may be fewer bytes than the file).
// Pure: never reads outside [BYTES, BYTES + LENGTH), accepts any input, null with LENGTH 0 included.
// Anything not recognised, or cut short, is EXECUTABLE_UNKNOWN with the other fields zero.
ExecutableInfo read_executable_info(const uint8_t *bytes, size_t length);

// Reads the first EXECUTABLE_HEADER_SPAN bytes of the file at PATH and returns read_executable_info of
// them. False with a sentence in ERROR when the file cannot be read.
bool read_executable_file_info(const char *path, ExecutableInfo *info, std::string *error);

// True when a program of format and machine PROGRAM can load the library LIBRARY into its process:
// same format, same machine, same word size.
bool executable_can_load(const ExecutableInfo &program, const ExecutableInfo &library);

// The machine's usual name on its platform: "x86", "x64", "ARM64" for PE; "i386", "x86-64", "AArch64"
// for ELF; "machine 0x1234" for others. For EXECUTABLE_UNKNOWN, "unknown".
std::string executable_machine(const ExecutableInfo &info);

// The architecture in words: "32-bit (x86)", "64-bit (x64)", "64-bit (ARM64)", "32-bit (machine
// 0x1234)". For EXECUTABLE_UNKNOWN, "unknown".
std::string executable_architecture(const ExecutableInfo &info);

// The format in words: "Windows (PE32)", "Windows (PE32+)", "Linux (ELF32)", "Linux (ELF64)", "unknown".
std::string executable_format_name(const ExecutableInfo &info);

// One phrase for the whole: "a 64-bit (x64) Windows program", "a 32-bit (i386) Linux library", or "not
// an executable of a known format". Without WITH_PLATFORM: "a 64-bit (x64) program".
std::string executable_description(const ExecutableInfo &info, bool with_platform = true);

#include "tools/pack_cli.h"

#include <cinttypes>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "os/file_io.h"
#include "os/file_system.h"
#include "os/os_api.h"
#include "package/image_table.h"
#include "package/pack_archive.h"
#include "tools/executable_format.h"
#include "tools/pack_output.h"
#include "tools/packer.h"

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

const char USAGE[] = "usage: tarnex-pack COMMAND ARGUMENTS...\n"
                     "\n"
                     "Makes and inspects Tarnex packages and flashers.\n"
                     "\n"
                     "commands:\n"
                     "  create OUT.pkg [NAME=]FILE...     a package of the given files\n"
                     "  build [--allow-incomplete] [--any-driver] BASE.exe FIRMWARE_DIR OUT.exe\n"
                     "                                    a finished flasher: base executable and firmware\n"
                     "  list FILE                         the entries of the package at the end of FILE\n"
                     "  verify FILE                       check FILE as a flasher checks itself at start-up\n"
                     "  extract FILE DIR                  write the known entries of FILE into DIR\n"
                     "\n"
                     "'tarnex-pack COMMAND --help' describes one command.\n";

const char HELP_CREATE[] =
    "usage: tarnex-pack create OUT.pkg [NAME=]FILE...\n"
    "\n"
    "Writes OUT.pkg: a package body holding each FILE as one entry, in the order given, followed by the\n"
    "package trailer, so that OUT.pkg is itself a file with a package at its end.\n"
    "\n"
    "An entry is named after its file name; NAME=FILE names it explicitly (a '=' after a path separator\n"
    "belongs to the path). Entry names are case-sensitive. A name given twice keeps both records, and a\n"
    "flasher uses the later one.\n"
    "\n"
    "Refused: an entry of 2 GiB or more, an empty DeviceList.dat, an output of 4 GiB or more. OUT.pkg is\n"
    "written under a temporary name and renamed into place only when complete.\n";

const char HELP_BUILD[] =
    "usage: tarnex-pack build [--allow-incomplete] [--any-driver] BASE.exe FIRMWARE_DIR OUT.exe\n"
    "\n"
    "Writes the finished flasher OUT.exe: the bytes of BASE.exe, then every known entry found in\n"
    "FIRMWARE_DIR, in the order in which the flasher uses them, then the package trailer.\n"
    "\n"
    "Known entries: qcsblhd_cfgdata.mbn qcsbl.mbn oemsblhd.mbn oemsbl.mbn amsshd.mbn amss.mbn cefs.mbn\n"
    "appsboothd.mbn appsboot.mbn boot.img system.img recovery.img userdata.img AdbWinApi.dll\n"
    "DeviceList.dat. Names are case-sensitive; other files are left out with a warning.\n"
    "\n"
    "The flasher loads AdbWinApi.dll into its own process, so BASE.exe must have the library's format\n"
    "and architecture: a 32-bit (x86) library needs the x86 base, a 64-bit (x64) one the x64 base. A\n"
    "BASE.exe that is neither a Windows (PE) nor a Linux (ELF) executable is not checked.\n"
    "\n"
    "  --allow-incomplete   build even without DeviceList.dat or AdbWinApi.dll, or with an empty\n"
    "                       AdbWinApi.dll or image (such a flasher cannot start, or skips that image;\n"
    "                       useful for tests and demonstrations)\n"
    "  --any-driver         build even when BASE.exe cannot load AdbWinApi.dll (for tests of the\n"
    "                       flasher's own load failure)\n"
    "\n"
    "Refused: an image of 2 GiB or more, an empty DeviceList.dat, an empty image or AdbWinApi.dll, a\n"
    "driver library BASE.exe cannot load, an output of 4 GiB or more, an output that is BASE.exe itself.\n"
    "BASE.exe is only read. OUT.exe is written under a temporary name and renamed into place only when\n"
    "complete.\n";

const char HELP_LIST[] =
    "usage: tarnex-pack list FILE\n"
    "\n"
    "Checks the package at the end of FILE as a flasher does and prints every entry: its\n"
    "name (or name hash when it is not a known entry), its size and the file offset of its\n"
    "data, then the totals, and the format and architecture of the driver library and of the\n"
    "executable in front of the package.\n";

const char HELP_VERIFY[] =
    "usage: tarnex-pack verify FILE\n"
    "\n"
    "Checks FILE exactly as a flasher checks its own file at start-up (trailer, checksum,\n"
    "body) and prints the verdict, with notes on empty entries and on a driver library that\n"
    "the executable in front of the package cannot load. Exits with 0 when a flasher would\n"
    "accept it.\n";

const char HELP_EXTRACT[] =
    "usage: tarnex-pack extract FILE DIR\n"
    "\n"
    "Writes every known entry of the package at the end of FILE into DIR (created when\n"
    "missing) under its entry name. Entries that are absent or empty are skipped.\n";

struct BufferFree {
    void operator()(uint8_t *buffer) const { free_file_buffer(buffer); }
};
using FileBufferPtr = std::unique_ptr<uint8_t, BufferFree>;

// The first line of a help text: the command's usage line.
std::string usage_line(const char *help) {
    const char *end = strchr(help, '\n');
    return end ? std::string(help, end) : std::string(help);
}

struct Command {
    const char *Name;
    const char *Help;
    std::vector<std::string> Options;
};

const Command COMMANDS[] = {
    {"create", HELP_CREATE, {}},   {"build", HELP_BUILD, {"--allow-incomplete", "--any-driver"}},
    {"list", HELP_LIST, {}},       {"verify", HELP_VERIFY, {}},
    {"extract", HELP_EXTRACT, {}},
};

const Command *find_command(const std::string &name) {
    for (const Command &command : COMMANDS)
        if (name == command.Name)
            return &command;
    return nullptr;
}

// A usage error: the message, the usage line of COMMAND (of the tool when COMMAND is null), where to
// read more.
int usage_error(FILE *err, const char *command, const std::string &message) {
    const Command *known = command ? find_command(command) : nullptr;
    fprintf(err, "tarnex-pack: %s\n", message.c_str());
    fprintf(err, "%s\n", usage_line(known ? known->Help : USAGE).c_str());
    if (command)
        fprintf(err, "Try 'tarnex-pack %s --help'.\n", command);
    else
        fprintf(err, "Try 'tarnex-pack --help'.\n");
    return EXIT_USAGE;
}

int failure(FILE *err, const std::string &message) {
    fprintf(err, "tarnex-pack: %s\n", message.c_str());
    return EXIT_FAILED;
}

// Splits a command's arguments into options and operands. Returns false after reporting an unknown
// option or an empty operand. "--" ends the options.
bool parse_arguments(int argc, char **argv, const char *command, const std::vector<std::string> &known,
                     std::vector<std::string> *options, std::vector<std::string> *operands, FILE *err,
                     int *exit_code) {
    bool only_operands = false;
    for (int i = 0; i < argc; i++) {
        std::string arg = argv[i];
        if (!only_operands && arg == "--") {
            only_operands = true;
        } else if (!only_operands && arg.size() > 1 && arg[0] == '-') {
            bool found = false;
            for (const std::string &k : known)
                found = found || k == arg;
            if (!found) {
                *exit_code = usage_error(err, command, "unknown option " + arg);
                return false;
            }
            options->push_back(arg);
        } else if (arg.empty()) {
            // An empty name is no file: joined with an entry name it would name a file in the current
            // folder, or in the root of the file system.
            *exit_code = usage_error(err, command, "an empty argument is not a file or folder name");
            return false;
        } else {
            operands->push_back(arg);
        }
    }
    return true;
}

bool has_option(const std::vector<std::string> &options, const char *name) {
    for (const std::string &option : options)
        if (option == name)
            return true;
    return false;
}

// What the locator would say about a path before reading it, in words a person can act on.
bool check_input_file(const char *path, FILE *err) {
    FileStatus status;
    if (!file_status(path, &status)) {
        failure(err, std::string("cannot read ") + path + ": " + file_error_text());
        return false;
    }
    if (!status.Exists) {
        failure(err, std::string(path) + " does not exist");
        return false;
    }
    if (status.IsDirectory) {
        failure(err, std::string(path) + " is a folder, not a file");
        return false;
    }
    if (status.Size >= PAYLOAD_FILE_SIZE_LIMIT) {
        failure(err, std::string(path) + " is 4 GiB or larger; no package can be described at its end");
        return false;
    }
    if (status.Size == 0) {
        failure(err, std::string(path) + " is empty and carries no package");
        return false;
    }
    return true;
}

// Why the locator refused FILE, telling a file that carries no package from a damaged one as far as the
// format allows: nothing marks a package, so a trailer that cannot describe one means there is none, and
// a checksum that does not match means damage or chance.
std::string refusal_text(const std::string &path, PayloadCheck check) {
    switch (check) {
    case PAYLOAD_OK:
        break;
    case PAYLOAD_TOO_SHORT:
        return path + " carries no package: it is shorter than a package trailer";
    case PAYLOAD_BAD_LENGTH:
        return path + " carries no package: its last 8 bytes give a package length larger than the file";
    case PAYLOAD_BAD_CHECKSUM:
        return path + " is damaged, or not a package: the checksum of the package body does not match the "
                      "trailer";
    case PAYLOAD_BAD_BODY:
        return path + " is damaged: the checksum matches, but the package body ends before its terminator, "
                      "or a record runs past its end";
    }
    return path + " carries an intact package";
}

// The executable in front of the package (a flasher's base) and the driver library in it, each with its
// format and architecture, and a note when the one cannot load the other.
void print_architectures(FILE *out, const std::string &path, const uint8_t *file, const PayloadInfo &info,
                         CPackArchive &archive) {
    ExecutableInfo base = read_executable_info(file, info.BodyOffset);
    if (info.BodyOffset == 0)
        fprintf(out, "base executable: none (a bare package)\n");
    else if (base.Format == EXECUTABLE_UNKNOWN)
        fprintf(out, "base executable: not an executable of a known format\n");
    else
        fprintf(out, "base executable: %s, %s %s\n", executable_format_name(base).c_str(),
                executable_architecture(base).c_str(), base.Library ? "library" : "program");
    const uint64_t size = uint64_t(info.BodyOffset) + info.BodyLength + PAYLOAD_TRAILER_SIZE;
    if (std::string refusal = pack_flasher_size_text(base, size); !refusal.empty())
        fprintf(out, "note: this is %s\n", refusal.c_str());

    const char *name = IMAGE_ENTRY_NAMES[SLOT_DRIVER_LIBRARY];
    CPackEntry *entry = archive.FindByHash(pack_name_hash(name));
    if (entry == nullptr || entry->GetSize() == 0) {
        fprintf(out, "driver library %s: %s\n", name, entry ? "empty" : "absent");
        return;
    }
    ExecutableInfo driver = read_executable_info(entry->GetData(), entry->GetSize());
    if (driver.Format == EXECUTABLE_UNKNOWN)
        fprintf(out, "driver library %s: not an executable of a known format\n", name);
    else
        fprintf(out, "driver library %s: %s, %s %s\n", name, executable_format_name(driver).c_str(),
                executable_architecture(driver).c_str(), driver.Library ? "library" : "program");
    if (base.Format != EXECUTABLE_UNKNOWN && !executable_can_load(base, driver)) {
        size_t separator = path.find_last_of("/\\");
        std::string file_name = separator == std::string::npos ? path : path.substr(separator + 1);
        fprintf(out, "note: %s\n", pack_driver_mismatch_text(file_name, base, driver).c_str());
    }
}

FileBufferPtr read_input(const char *path, uint32_t *size, FILE *err) {
    if (!check_input_file(path, err))
        return nullptr;
    FileBufferPtr file(read_whole_file(path, size));
    if (!file)
        failure(err, std::string("cannot read ") + path + " whole");
    return file;
}

std::string entry_label(uint32_t hash) {
    int slot = image_slot_of_hash(hash);
    if (slot >= 0)
        return IMAGE_ENTRY_NAMES[slot];
    char text[32];
    snprintf(text, sizeof text, "hash 0x%08X", hash);
    return text;
}

// NAME=PATH, unless the '=' comes after a path separator (then it is part of a path).
PackSource parse_source(const std::string &arg) {
    size_t equals = arg.find('=');
    size_t separator = arg.find_first_of("/\\");
    if (equals != std::string::npos && equals > 0 && (separator == std::string::npos || separator > equals))
        return {arg.substr(0, equals), arg.substr(equals + 1)};
    size_t last = arg.find_last_of("/\\");
    return {last == std::string::npos ? arg : arg.substr(last + 1), arg};
}

PackOptions cli_options(FILE *out, FILE *err) {
    PackOptions options;
    options.OnProgress = [out](const std::string &line) {
        fprintf(out, "  adding %s\n", line.c_str());
        fflush(out);
    };
    options.OnWarning = [err](const std::string &line) {
        fprintf(err, "tarnex-pack: warning: %s\n", line.c_str());
    };
    return options;
}

void print_written(FILE *out, const char *path, const PackReport &report) {
    fprintf(out, "wrote %s: %" PRIu64 " bytes, %u entries, package body %u bytes, checksum 0x%08X\n", path,
            report.OutputSize, report.EntryCount, report.BodyLength, report.BodyCrc);
}

int cmd_create(const std::vector<std::string> &operands, FILE *out, FILE *err) {
    if (operands.size() < 2)
        return usage_error(err, "create", "create needs an output file and at least one input file");
    std::vector<PackSource> sources;
    for (size_t i = 1; i < operands.size(); i++) {
        sources.push_back(parse_source(operands[i]));
        if (sources.back().Path.empty())
            return usage_error(err, "create", "no file given for entry " + sources.back().Name);
    }
    PackReport report;
    if (!pack_create(operands[0].c_str(), sources, cli_options(out, err), &report))
        return failure(err, report.Error);
    print_written(out, operands[0].c_str(), report);
    return EXIT_OK;
}

int cmd_build(const std::vector<std::string> &options, const std::vector<std::string> &operands, FILE *out,
              FILE *err) {
    if (operands.size() != 3)
        return usage_error(err, "build",
                           "build needs a base executable, a firmware folder and an output file");
    PackOptions pack_options = cli_options(out, err);
    pack_options.AllowIncomplete = has_option(options, "--allow-incomplete");
    pack_options.AnyDriver = has_option(options, "--any-driver");
    PackReport report;
    if (!pack_build(operands[0].c_str(), operands[1].c_str(), operands[2].c_str(), pack_options, &report))
        return failure(err, report.Error);
    print_written(out, operands[2].c_str(), report);
    if (report.BaseInfo.Format != EXECUTABLE_UNKNOWN && report.DriverInfo.Format != EXECUTABLE_UNKNOWN)
        fprintf(out, "base: %s; driver library: %s\n", executable_description(report.BaseInfo).c_str(),
                executable_description(report.DriverInfo).c_str());
    return EXIT_OK;
}

int cmd_list(const std::string &path, FILE *out, FILE *err) {
    uint32_t size = 0;
    FileBufferPtr file = read_input(path.c_str(), &size, err);
    if (!file)
        return EXIT_FAILED;
    CPackArchive archive;
    PayloadInfo info;
    PayloadCheck check = check_payload(file.get(), size, &info, &archive);
    if (check != PAYLOAD_OK)
        return failure(err, refusal_text(path, check));

    fprintf(out, "%s: %u bytes; package body of %u bytes at offset %u, checksum 0x%08X\n", path.c_str(), size,
            info.BodyLength, info.BodyOffset, info.StoredCrc);
    fprintf(out, "%4s  %-22s %12s %12s\n", "#", "entry", "size", "offset");
    uint32_t record = info.BodyOffset, count = 0, known = 0;
    for (CPackEntry *entry = archive.GetFirst(); entry; entry = archive.GetNext(entry)) {
        count++;
        std::string label = entry_label(entry->GetHash());
        if (image_slot_of_hash(entry->GetHash()) >= 0)
            known++;
        const char *note = "";
        if (archive.FindByHash(entry->GetHash()) != entry)
            note = "  (superseded by a later entry)";
        else if (entry->GetSize() == 0)
            note = "  (empty: counts as absent)";
        fprintf(out, "%4u  %-22s %12u %12u%s\n", count, label.c_str(), entry->GetSize(),
                record + PACK_HEADER_SIZE, note);
        record += entry->GetSerializedLength();
    }

    uint32_t total = 0, images = 0;
    std::string absent, empty;
    for (int i = 0; i < IMAGE_SLOT_COUNT; i++) {
        uint32_t slot_size = 0;
        const uint32_t hash = pack_name_hash(IMAGE_ENTRY_NAMES[i]);
        const uint8_t *data = archive.GetDataByHash(&slot_size, hash);
        if (data && i < IMAGE_COUNTED_SLOTS) {
            total += slot_size;
            images++;
        }
        std::string *names = archive.FindByHash(hash) ? &empty : &absent;
        if (!data)
            *names += std::string(names->empty() ? "" : ", ") + IMAGE_ENTRY_NAMES[i];
    }
    fprintf(out, "%u entries (%u known), %u of %d images present, image bytes %u, progress slice %u\n", count,
            known, images, IMAGE_COUNTED_SLOTS, total, total / 100);
    if (!absent.empty())
        fprintf(out, "absent: %s\n", absent.c_str());
    if (!empty.empty())
        fprintf(out, "empty (a flasher takes them as absent): %s\n", empty.c_str());
    if (info.Consumed < info.BodyLength)
        fprintf(out, "%u bytes after the terminator (covered by the checksum, otherwise ignored)\n",
                info.BodyLength - info.Consumed);
    print_architectures(out, path, file.get(), info, archive);
    return EXIT_OK;
}

int cmd_verify(const std::string &path, FILE *out, FILE *err) {
    // The locator's own steps: read_whole_file, then index_image_table (load_image_table is exactly these
    // two); check_payload only adds the reason to the verdict.
    FileStatus status;
    if (file_status(path.c_str(), &status) && status.Exists && status.Size >= PAYLOAD_FILE_SIZE_LIMIT)
        fprintf(out, "%s is 4 GiB or larger; no package can be described at its end\n", path.c_str());
    else if (file_status(path.c_str(), &status) && status.Exists && status.IsRegular && status.Size == 0)
        fprintf(out, "%s is empty and carries no package\n", path.c_str());
    // A 32-bit flasher of 1 GiB or more fails before it looks at its package: so does the verdict.
    ExecutableInfo base;
    std::string unread;
    if (status.Exists && status.IsRegular && read_executable_file_info(path.c_str(), &base, &unread)) {
        if (std::string refusal = pack_flasher_size_text(base, status.Size); !refusal.empty()) {
            fprintf(out, "%s is %s\n", path.c_str(), refusal.c_str());
            fprintf(out, "verdict: %s\n", IMAGE_OPEN_FAILED_TEXT);
            return EXIT_FAILED;
        }
    }
    uint32_t size = 0;
    FileBufferPtr file(read_whole_file(path.c_str(), &size));
    if (!file) {
        fprintf(out, "verdict: %s\n", IMAGE_OPEN_FAILED_TEXT);
        return EXIT_FAILED;
    }
    CPackArchive archive;
    PayloadInfo info;
    PayloadCheck check = check_payload(file.get(), size, &info, &archive);
    fprintf(out, "%s: %u bytes\n", path.c_str(), size);
    if (check >= PAYLOAD_BAD_CHECKSUM)
        fprintf(out, "package body: %u bytes at offset %u; checksum stored 0x%08X, computed 0x%08X\n",
                info.BodyLength, info.BodyOffset, info.StoredCrc, info.ComputedCrc);

    ImageTable table{};
    const char *verdict = index_image_table(file.get(), size, &table);
    if (verdict) {
        // The verdict is the flasher's own message; the line before it says what lies behind it.
        fprintf(out, "%s\n", refusal_text(path, check).c_str());
        fprintf(out, "verdict: %s\n", verdict);
        return EXIT_FAILED;
    }
    int images = 0;
    for (int i = 0; i < IMAGE_COUNTED_SLOTS; i++)
        images += table.Slots[i].Data != nullptr;
    fprintf(out, "%d of %d images, image bytes %u, progress slice %u\n", images, IMAGE_COUNTED_SLOTS,
            table.TotalImageBytes, table.ProgressSlice);
    print_architectures(out, path, file.get(), info, archive);
    for (int slot = 0; slot < IMAGE_SLOT_COUNT; slot++) {
        const bool present = archive.FindByHash(pack_name_hash(IMAGE_ENTRY_NAMES[slot])) != nullptr;
        if (slot == SLOT_DRIVER_LIBRARY || slot == SLOT_DEVICE_LIST) {
            if (!table.Slots[slot].Data)
                fprintf(out, "note: %s %s; a flasher made of this cannot start\n", IMAGE_ENTRY_NAMES[slot],
                        present ? "is empty" : "is absent");
        } else if (present && !table.Slots[slot].Data) {
            fprintf(out, "note: %s is empty; a flasher skips it like an absent image\n",
                    IMAGE_ENTRY_NAMES[slot]);
        }
    }
    fprintf(out, "verdict: accepted\n");
    return EXIT_OK;
}

int cmd_extract(const std::string &path, const std::string &dir, FILE *out, FILE *err) {
    uint32_t size = 0;
    FileBufferPtr file = read_input(path.c_str(), &size, err);
    if (!file)
        return EXIT_FAILED;
    ImageTable table{};
    if (index_image_table(file.get(), size, &table) != nullptr) {
        CPackArchive archive;
        return failure(err, refusal_text(path, check_payload(file.get(), size, nullptr, &archive)));
    }
    std::string error;
    if (!make_directories(dir.c_str(), &error))
        return failure(err, error);
    for (int i = 0; i < IMAGE_SLOT_COUNT; i++) {
        const ImageSlot &slot = table.Slots[i];
        if (!slot.Data) {
            fprintf(out, "  %-22s absent\n", IMAGE_ENTRY_NAMES[i]);
            continue;
        }
        // The platform's separator: behind \\?\ a path is taken as it is, and "/" is no separator there.
        const std::string target = os_join_path(dir, IMAGE_ENTRY_NAMES[i]);
        if (!write_whole_file(target.c_str(), slot.Data, slot.Size, false, &error))
            return failure(err, error);
        fprintf(out, "  %-22s %12u bytes\n", IMAGE_ENTRY_NAMES[i], slot.Size);
    }
    return EXIT_OK;
}

} // namespace

int tarnex_pack_main(int argc, char **argv, FILE *out, FILE *err) {
    if (argc < 2)
        return usage_error(err, nullptr, "no command given");
    std::string name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
        const Command *command = argc > 2 ? find_command(argv[2]) : nullptr;
        fputs(command ? command->Help : USAGE, out);
        return EXIT_OK;
    }
    const Command *command = find_command(name);
    if (!command)
        return usage_error(err, nullptr, "unknown command " + name);

    for (int i = 2; i < argc && strcmp(argv[i], "--") != 0; i++)
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            fputs(command->Help, out);
            return EXIT_OK;
        }
    std::vector<std::string> known = command->Options;
    std::vector<std::string> options, operands;
    int code = EXIT_USAGE;
    if (!parse_arguments(argc - 2, argv + 2, command->Name, known, &options, &operands, err, &code))
        return code;

    if (name == "create")
        return cmd_create(operands, out, err);
    if (name == "build")
        return cmd_build(options, operands, out, err);
    size_t wanted = name == "extract" ? 2 : 1;
    if (operands.size() != wanted)
        return usage_error(err, command->Name,
                           name + (wanted == 2 ? " needs a file and a folder" : " needs exactly one file"));
    if (name == "list")
        return cmd_list(operands[0], out, err);
    if (name == "verify")
        return cmd_verify(operands[0], out, err);
    return cmd_extract(operands[0], operands[1], out, err);
}

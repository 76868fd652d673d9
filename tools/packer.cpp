#include "tools/packer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "os/file_io.h"
#include "os/file_system.h"
#include "package/image_table.h"
#include "package/pack_archive.h"
#include "tools/pack_output.h"

namespace {

constexpr size_t COPY_PIECE = size_t(4) << 20;

void put_le32(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

// Body bytes pass through here on their way out, which gives the trailer its length and checksum without
// reading anything back.
struct BodyWriter {
    PackOutput *Out;
    uint64_t Length;
    uint32_t Crc;
};

uint32_t body_sink(const void *bytes, uint32_t length, void *user) {
    auto *writer = static_cast<BodyWriter *>(user);
    writer->Crc = crc32_update(bytes, length, writer->Crc);
    writer->Length += length;
    return pack_output_sink(bytes, length, writer->Out);
}

struct PlannedEntry {
    std::string Name;
    std::string Path;
    uint32_t Size;
};

struct FileCloser {
    void operator()(FILE *file) const { fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

struct BufferFree {
    void operator()(uint8_t *buffer) const { file_buffer_free(buffer); }
};
using BufferPtr = std::unique_ptr<uint8_t, BufferFree>;

bool fail(PackReport *report, const std::string &message) {
    report->Error = message;
    return false;
}

void warn(const PackOptions &options, PackReport *report, const std::string &message) {
    report->Warnings.push_back(message);
    if (options.OnWarning)
        options.OnWarning(message);
}

std::string join_path(const std::string &dir, const std::string &name) {
    if (dir.empty())
        return name;
    char last = dir.back();
    if (last == '/' || last == '\\')
        return dir + name;
#ifdef _WIN32
    return dir + "\\" + name;
#else
    return dir + "/" + name;
#endif
}

std::string file_name_of(const char *path) {
    std::string name = path;
    size_t separator = name.find_last_of("/\\");
    return separator == std::string::npos ? name : name.substr(separator + 1);
}

bool same_name_ignoring_case(const std::string &a, const char *b) {
    if (a.size() != strlen(b))
        return false;
    for (size_t i = 0; i < a.size(); i++) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = char(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = char(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

// An empty image is skipped by the flasher exactly like an absent one, which then reports success with
// that partition unwritten; an empty driver library cannot be loaded. A flasher gets neither by accident.
bool check_empty_entry(const PackSource &source, const PackOptions &options, PackReport *report) {
    int slot = image_slot_of_name(source.Name.c_str());
    std::string why;
    if (slot == SLOT_DRIVER_LIBRARY)
        why = "a flasher cannot start with an empty driver library";
    else if (slot >= 0 && slot < IMAGE_COUNTED_SLOTS)
        why = "a flasher skips an empty image like an absent one and reports success with that partition "
              "unwritten";
    else
        return true;
    std::string what = source.Name + " (" + source.Path + ") is empty";
    if (options.AllowIncomplete) {
        warn(options, report, what + "; " + why);
        return true;
    }
    return fail(report, what + ": " + why +
                            " (remove the file, or allow an incomplete flasher with "
                            "--allow-incomplete)");
}

// Checks every input before anything is written, so that a refusal leaves no trace. BUILDING adds the
// rules of a flasher's firmware.
bool plan_entries(const std::vector<PackSource> &sources, const FileStatus &out_status, const char *out_path,
                  bool building, const PackOptions &options, std::vector<PlannedEntry> *planned,
                  PackReport *report) {
    planned->clear();
    std::vector<uint32_t> hashes;
    for (const PackSource &source : sources) {
        if (source.Name.empty())
            return fail(report, "the entry for " + source.Path + " has no name");
        FileStatus status;
        if (!file_status(source.Path.c_str(), &status))
            return fail(report, "cannot read " + source.Path + ": " + file_error_text());
        if (!status.Exists)
            return fail(report, source.Path + " does not exist");
        if (status.IsDirectory)
            return fail(report, source.Path + " is a folder, not a file");
        if (!status.IsRegular)
            return fail(report, source.Path + " is not a regular file");
        if (file_same(status, out_status))
            return fail(report,
                        std::string("the output ") + out_path + " is also an input (" + source.Path + ")");
        if (status.Size > IMAGE_SIZE_MAX)
            return fail(report,
                        source.Name + " (" + source.Path + ") is " + std::to_string(status.Size) +
                            " bytes; an entry must be smaller than 2 GiB, since images are sent with a "
                            "signed 32-bit length");
        if (source.Name == IMAGE_ENTRY_NAMES[SLOT_DEVICE_LIST] && status.Size == 0)
            return fail(report, source.Name + " (" + source.Path +
                                    ") is empty; a flasher refuses to start with an empty device list");
        if (building && status.Size == 0 && !check_empty_entry(source, options, report))
            return false;
        uint32_t hash = pack_name_hash(source.Name.c_str());
        for (size_t i = 0; i < hashes.size(); i++) {
            if (hashes[i] != hash)
                continue;
            if ((*planned)[i].Name == source.Name)
                warn(options, report,
                     source.Name + " is given twice; a flasher uses the later one (" + source.Path + ")");
            else
                warn(options, report,
                     source.Name + " and " + (*planned)[i].Name +
                         " have the same name hash; only the later one (" + source.Name + ") can be found");
        }
        hashes.push_back(hash);
        planned->push_back({source.Name, source.Path, static_cast<uint32_t>(status.Size)});
    }
    return true;
}

// Reads the input whole: the container writes a record from memory. The size must still be the one the
// plan was checked with.
bool read_entry(const PlannedEntry &entry, BufferPtr *buffer, std::string *error) {
    FilePtr file(fopen(entry.Path.c_str(), "rb"));
    if (!file) {
        *error = "cannot open " + entry.Path + ": " + strerror(errno);
        return false;
    }
    buffer->reset(static_cast<uint8_t *>(file_buffer_alloc(entry.Size)));
    if (!*buffer) {
        *error = "not enough memory to read " + entry.Path;
        return false;
    }
    size_t done = 0;
    while (done < entry.Size) {
        size_t piece = std::min<size_t>(entry.Size - done, COPY_PIECE);
        size_t got = fread(buffer->get() + done, 1, piece, file.get());
        done += got;
        if (got != piece)
            break;
    }
    if (ferror(file.get())) {
        *error = "cannot read " + entry.Path + ": " + strerror(errno);
        return false;
    }
    if (done != entry.Size || fgetc(file.get()) != EOF) {
        *error = entry.Path + " changed while the package was being written";
        return false;
    }
    return true;
}

bool copy_base(const char *base_path, uint64_t base_size, PackOutput *out, std::string *error) {
    FilePtr file(fopen(base_path, "rb"));
    if (!file) {
        *error = std::string("cannot open ") + base_path + ": " + strerror(errno);
        return false;
    }
    std::vector<uint8_t> piece(COPY_PIECE);
    uint64_t done = 0;
    for (;;) {
        size_t got = fread(piece.data(), 1, piece.size(), file.get());
        if (got == 0)
            break;
        done += got;
        if (!out->Write(piece.data(), got)) {
            *error = out->Error();
            return false;
        }
    }
    if (ferror(file.get())) {
        *error = std::string("cannot read ") + base_path + ": " + strerror(errno);
        return false;
    }
    if (done != base_size) {
        *error = std::string(base_path) + " changed while the flasher was being written";
        return false;
    }
    return true;
}

uint64_t package_size(const std::vector<PlannedEntry> &planned) {
    uint64_t size = PACK_HEADER_SIZE + PAYLOAD_TRAILER_SIZE;
    for (const PlannedEntry &entry : planned)
        size += PACK_HEADER_SIZE + uint64_t(entry.Size);
    return size;
}

bool check_output_size(uint64_t size, PackReport *report) {
    if (size < PAYLOAD_FILE_SIZE_LIMIT)
        return true;
    return fail(report, "the output would be " + std::to_string(size) +
                            " bytes; it must stay below 4 GiB, since the package trailer is 32-bit");
}

// The base (when BASE_PATH is not null), the body of PLANNED in order, the trailer.
bool write_package(const char *out_path, bool executable, const char *base_path, uint64_t base_size,
                   const std::vector<PlannedEntry> &planned, const PackOptions &options, PackReport *report) {
    PackOutput out;
    if (!out.Open(out_path, executable))
        return fail(report, out.Error());
    std::string error;
    if (base_path && !copy_base(base_path, base_size, &out, &error))
        return fail(report, error);

    BodyWriter body{&out, 0, PACK_HASH_SEED};
    for (const PlannedEntry &planned_entry : planned) {
        if (options.OnProgress)
            options.OnProgress(planned_entry.Name + " (" + std::to_string(planned_entry.Size) + " bytes)");
        BufferPtr data;
        if (!read_entry(planned_entry, &data, &error))
            return fail(report, error);
        CPackEntry entry;
        entry.SetByName(data.get(), planned_entry.Size, planned_entry.Name.c_str());
        entry.WriteToSink(body_sink, &body);
        if (out.Failed())
            return fail(report, out.Error());
    }
    CPackEntry terminator;
    terminator.WriteToSink(body_sink, &body);

    uint8_t trailer[PAYLOAD_TRAILER_SIZE];
    put_le32(trailer, static_cast<uint32_t>(body.Length));
    put_le32(trailer + 4, body.Crc);
    if (!out.Write(trailer, sizeof trailer) || !out.Commit())
        return fail(report, out.Error());

    report->OutputSize = out.Written();
    report->BodyLength = static_cast<uint32_t>(body.Length);
    report->BodyCrc = body.Crc;
    report->EntryCount = static_cast<uint32_t>(planned.size());
    return true;
}

bool output_status(const char *out_path, FileStatus *status, PackReport *report) {
    if (!file_status(out_path, status))
        return fail(report, std::string("cannot examine ") + out_path + ": " + file_error_text());
    if (status->IsDirectory)
        return fail(report, std::string(out_path) + " is a folder");
    return true;
}

} // namespace

std::vector<uint8_t> pack_body(const std::vector<PackBlob> &entries) {
    CPackArchive archive;
    for (const PackBlob &blob : entries)
        archive.Append(new CPackEntry)
            ->SetByName(blob.Bytes.data(), static_cast<uint32_t>(blob.Bytes.size()), blob.Name.c_str());
    std::vector<uint8_t> body(archive.GetSerializedLength());
    archive.WriteToMemory(body.data(), static_cast<uint32_t>(body.size()));
    return body;
}

void pack_append_trailer(std::vector<uint8_t> *file, size_t body_offset) {
    uint32_t length = static_cast<uint32_t>(file->size() - body_offset);
    // An empty vector may have no storage at all, and a null pointer would give 0 instead of the seed.
    uint32_t crc =
        length != 0 ? crc32_update(file->data() + body_offset, length, PACK_HASH_SEED) : PACK_HASH_SEED;
    uint8_t trailer[PAYLOAD_TRAILER_SIZE];
    put_le32(trailer, length);
    put_le32(trailer + 4, crc);
    file->insert(file->end(), trailer, trailer + sizeof trailer);
}

std::vector<uint8_t> pack_payload(const std::vector<PackBlob> &entries) {
    std::vector<uint8_t> file = pack_body(entries);
    pack_append_trailer(&file, 0);
    return file;
}

std::vector<uint8_t> pack_flasher_bytes(const std::vector<uint8_t> &base,
                                        const std::vector<PackBlob> &entries) {
    std::vector<uint8_t> file = base;
    std::vector<uint8_t> body = pack_body(entries);
    file.insert(file.end(), body.begin(), body.end());
    pack_append_trailer(&file, base.size());
    return file;
}

bool pack_create(const char *out_path, const std::vector<PackSource> &sources, const PackOptions &options,
                 PackReport *report) {
    *report = PackReport{};
    FileStatus out_status;
    if (!output_status(out_path, &out_status, report))
        return false;
    std::vector<PlannedEntry> planned;
    if (!plan_entries(sources, out_status, out_path, false, options, &planned, report))
        return false;
    if (!check_output_size(package_size(planned), report))
        return false;
    return write_package(out_path, false, nullptr, 0, planned, options, report);
}

// The platforms are named only when they differ.
std::string pack_driver_mismatch_text(const std::string &base, const ExecutableInfo &program,
                                      const ExecutableInfo &library) {
    const std::string driver = IMAGE_ENTRY_NAMES[SLOT_DRIVER_LIBRARY];
    const bool same_format = program.Format == library.Format;
    const std::string wanted = "a " + executable_architecture(program) +
                               (program.Format == EXECUTABLE_PE ? " Windows" : " Linux") + " driver library";
    if (library.Format == EXECUTABLE_UNKNOWN)
        return driver + " is not an executable of a known format, and " + base + " is " +
               executable_description(program) + ", which cannot load it: carry " + wanted + " as " + driver;
    if (!same_format)
        return driver + " is " + executable_description(library) + " and " + base + " " +
               executable_description(program) + ", which cannot load it: carry " + wanted + " as " + driver;
    return driver + " is " + executable_description(library, false) + " and " + base + " " +
           executable_description(program, false) + ", which cannot load it: build with the " +
           executable_machine(library) + " base executable, or carry " + wanted;
}

std::string pack_flasher_size_text(const ExecutableInfo &program, uint64_t size) {
    const uint64_t limit = flasher_file_size_limit(4);
    if (program.Format == EXECUTABLE_UNKNOWN || program.Bits != 32 || size < limit)
        return "";
    return "a " + executable_architecture(program) + " flasher of " + std::to_string(size) +
           " bytes, which cannot start: it holds its whole file in its 2 GiB of address space beside its "
           "code and "
           "heap, so it takes files below 1 GiB (" +
           std::to_string(limit) + " bytes) and shows \"" + IMAGE_OPEN_FAILED_TEXT +
           "\" for a larger one; build with the 64-bit base executable and a 64-bit driver library, or make "
           "the firmware smaller";
}

namespace {

// The flasher loads the driver library into its own process, so the two must agree in format, machine
// and word size; a mismatch would show only at the service counter, as "Load AdbWinApi.dll failed".
bool check_driver_architecture(const char *base_path, const std::vector<PlannedEntry> &planned,
                               const PackOptions &options, PackReport *report) {
    const PlannedEntry *driver = nullptr;
    for (const PlannedEntry &entry : planned) // the later of two wins, as in the flasher
        if (entry.Name == IMAGE_ENTRY_NAMES[SLOT_DRIVER_LIBRARY])
            driver = &entry;
    std::string error;
    if (!read_executable_file_info(base_path, &report->BaseInfo, &error))
        return fail(report, error);
    const std::string base = file_name_of(base_path);
    if (report->BaseInfo.Format == EXECUTABLE_UNKNOWN) {
        warn(options, report,
             base + " is neither a Windows (PE) nor a Linux (ELF) executable, so the architecture of the "
                    "driver library is not checked");
        return true;
    }
    if (driver == nullptr || driver->Size == 0)
        return true;
    if (!read_executable_file_info(driver->Path.c_str(), &report->DriverInfo, &error))
        return fail(report, error);
    if (!executable_can_load(report->BaseInfo, report->DriverInfo)) {
        std::string sentence = pack_driver_mismatch_text(base, report->BaseInfo, report->DriverInfo);
        if (!options.AnyDriver)
            return fail(report, sentence);
        warn(options, report, sentence + " (built anyway: --any-driver)");
        return true;
    }
    if (!report->DriverInfo.Library)
        warn(options, report,
             std::string(IMAGE_ENTRY_NAMES[SLOT_DRIVER_LIBRARY]) + " (" + driver->Path + ") is " +
                 executable_description(report->DriverInfo) +
                 ", not a library; a flasher may fail to load it");
    return true;
}

bool build_flasher(const char *base_path, const std::vector<PackSource> &sources, const char *out_path,
                   const PackOptions &options, PackReport *report) {
    FileStatus out_status, base_status;
    if (!output_status(out_path, &out_status, report))
        return false;
    if (!file_status(base_path, &base_status))
        return fail(report, std::string("cannot read ") + base_path + ": " + file_error_text());
    if (!base_status.Exists)
        return fail(report, std::string("the base executable ") + base_path + " does not exist");
    if (!base_status.IsRegular)
        return fail(report, std::string("the base executable ") + base_path + " is not a regular file");
    if (file_same(base_status, out_status))
        return fail(report,
                    std::string("the output ") + out_path +
                        " is the base executable itself; the base is never changed, so choose another "
                        "output name");

    // Table order, so that a flasher lists its entries the way the worker uses them.
    std::vector<PackSource> ordered = sources;
    std::stable_sort(ordered.begin(), ordered.end(), [](const PackSource &a, const PackSource &b) {
        unsigned sa = static_cast<unsigned>(image_slot_of_name(a.Name.c_str()));
        unsigned sb = static_cast<unsigned>(image_slot_of_name(b.Name.c_str()));
        return sa < sb; // unknown names (-1) become the largest
    });

    if (!options.AllowIncomplete) {
        std::string missing;
        for (int slot : {SLOT_DEVICE_LIST, SLOT_DRIVER_LIBRARY}) {
            const char *name = IMAGE_ENTRY_NAMES[slot];
            if (std::none_of(ordered.begin(), ordered.end(),
                             [name](const PackSource &source) { return source.Name == name; }))
                missing += std::string(missing.empty() ? "" : " and no ") + name;
        }
        if (!missing.empty())
            return fail(report, "the firmware has no " + missing +
                                    "; a flasher cannot start without them (add them, or allow an incomplete "
                                    "flasher with --allow-incomplete)");
    }

    if (std::none_of(ordered.begin(), ordered.end(), [](const PackSource &source) {
            int slot = image_slot_of_name(source.Name.c_str());
            return slot >= 0 && slot < IMAGE_COUNTED_SLOTS;
        }))
        warn(options, report, "the firmware holds no image; the flasher will have nothing to flash");

    std::vector<PlannedEntry> planned;
    if (!plan_entries(ordered, out_status, out_path, true, options, &planned, report))
        return false;
    if (!check_driver_architecture(base_path, planned, options, report))
        return false;
    const uint64_t size = base_status.Size + package_size(planned);
    if (!check_output_size(size, report))
        return false;
    if (std::string refusal = pack_flasher_size_text(report->BaseInfo, size); !refusal.empty())
        return fail(report, "the output would be " + refusal);
    return write_package(out_path, true, base_path, base_status.Size, planned, options, report);
}

} // namespace

bool pack_build_sources(const char *base_path, const std::vector<PackSource> &sources, const char *out_path,
                        const PackOptions &options, PackReport *report) {
    *report = PackReport{};
    return build_flasher(base_path, sources, out_path, options, report);
}

bool pack_build(const char *base_path, const char *firmware_dir, const char *out_path,
                const PackOptions &options, PackReport *report) {
    *report = PackReport{};
    FileStatus dir_status;
    if (!file_status(firmware_dir, &dir_status))
        return fail(report, std::string("cannot read ") + firmware_dir + ": " + file_error_text());
    if (!dir_status.Exists)
        return fail(report, std::string("the firmware folder ") + firmware_dir + " does not exist");
    if (!dir_status.IsDirectory)
        return fail(report, std::string(firmware_dir) + " is not a folder");
    std::vector<std::string> names;
    if (!file_list_directory(firmware_dir, &names))
        return fail(report, std::string("cannot list ") + firmware_dir + ": " + file_error_text());

    std::vector<PackSource> sources;
    for (const std::string &name : names) {
        std::string path = join_path(firmware_dir, name);
        FileStatus status;
        if (file_status(path.c_str(), &status) && status.IsDirectory) {
            warn(options, report, "the folder " + path + " is left out");
            continue;
        }
        if (image_slot_of_name(name.c_str()) >= 0) {
            sources.push_back({name, path});
            continue;
        }
        std::string message = name + " is not a known entry and is left out";
        for (const char *known : IMAGE_ENTRY_NAMES)
            if (same_name_ignoring_case(name, known))
                message += " (entry names are case-sensitive: did you mean " + std::string(known) + "?)";
        warn(options, report, message);
    }
    return build_flasher(base_path, sources, out_path, options, report);
}

bool pack_build_blobs(const char *base_path, const std::vector<PackBlob> &entries, const char *out_path,
                      std::string *error) {
    FilePtr file(fopen(base_path, "rb"));
    if (!file) {
        *error = std::string("cannot open ") + base_path + ": " + strerror(errno);
        return false;
    }
    std::vector<uint8_t> base;
    uint8_t piece[65536];
    while (size_t got = fread(piece, 1, sizeof piece, file.get()))
        base.insert(base.end(), piece, piece + got);
    if (ferror(file.get())) {
        *error = std::string("cannot read ") + base_path + ": " + strerror(errno);
        return false;
    }
    std::vector<uint8_t> flasher = pack_flasher_bytes(base, entries);
    return write_whole_file(out_path, flasher.data(), flasher.size(), true, error);
}

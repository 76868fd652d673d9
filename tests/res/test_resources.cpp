// The resources compiled into a Windows program against the tables the headless backend builds its
// dialogs from: both come from res/resources.inc, and this proves that the resource compiler made of it
// exactly what the tables say (no style added or lost, no text mangled by a code page). Also the
// icons' images, the manifest and the version block.
#include "res/resource.h"
#include "res/resource_tables.h"
#include "res/version.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Reads a compiled resource: explicit little-endian fields over (pointer, length). Reading past the end
// marks the reader failed and yields zeros.
class ResourceReader {
public:
    ResourceReader(const uint8_t *data, size_t size) : m_data(data), m_size(size) {}

    bool ok() const { return m_ok; }
    size_t position() const { return m_pos; }

    uint8_t u8() { return static_cast<uint8_t>(take(1)); }
    uint16_t u16() { return static_cast<uint16_t>(take(2)); }
    uint32_t u32() { return static_cast<uint32_t>(take(4)); }
    int16_t s16() { return static_cast<int16_t>(u16()); }

    // A NUL-terminated UTF-16 text, as UTF-8.
    std::string text() {
        std::wstring wide;
        for (uint16_t unit = u16(); m_ok && unit != 0; unit = u16())
            wide += static_cast<wchar_t>(unit);
        return utf8(wide);
    }

    // A name or ordinal field: empty (0), an ordinal (0xFFFF, then the number) or a text.
    struct NameOrOrdinal {
        bool is_ordinal = false;
        uint16_t ordinal = 0;
        std::string name;
    };
    NameOrOrdinal name_or_ordinal() {
        NameOrOrdinal result;
        const size_t start = m_pos;
        const uint16_t first = u16();
        if (first == 0xFFFF) {
            result.is_ordinal = true;
            result.ordinal = u16();
        } else if (first != 0) {
            m_pos = start;
            result.name = text();
        }
        return result;
    }

    void skip(size_t count) {
        if (count > m_size - m_pos) {
            m_ok = false;
            m_pos = m_size;
        } else {
            m_pos += count;
        }
    }
    void align4() { skip((4 - m_pos % 4) % 4); }

    static std::string utf8(const std::wstring &wide) {
        if (wide.empty())
            return std::string();
        const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                          nullptr, nullptr);
        std::string out(static_cast<size_t>(n), '\0');
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n, nullptr,
                            nullptr);
        return out;
    }

private:
    uint64_t take(size_t count) {
        if (!m_ok || count > m_size - m_pos) {
            m_ok = false;
            m_pos = m_size;
            return 0;
        }
        uint64_t value = 0;
        for (size_t i = 0; i < count; ++i)
            value |= static_cast<uint64_t>(m_data[m_pos + i]) << (8 * i);
        m_pos += count;
        return value;
    }

    const uint8_t *m_data;
    size_t m_size;
    size_t m_pos = 0;
    bool m_ok = true;
};

// The bytes of resource `id` of `type` in this program, or an empty range.
std::pair<const uint8_t *, size_t> resource_bytes(int id, int type) {
    HMODULE self = GetModuleHandleW(nullptr);
    HRSRC found = FindResourceW(self, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(type));
    if (found == nullptr)
        return {nullptr, 0};
    HGLOBAL loaded = LoadResource(self, found);
    return {static_cast<const uint8_t *>(LockResource(loaded)), SizeofResource(self, found)};
}

constexpr int TYPE_ICON = 3, TYPE_DIALOG = 5, TYPE_GROUP_ICON = 14, TYPE_MANIFEST = 24;

// The class names of the predefined ordinals a template may use.
std::string class_of(const ResourceReader::NameOrOrdinal &field) {
    if (!field.is_ordinal)
        return field.name;
    switch (field.ordinal) {
    case 0x80:
        return "Button";
    case 0x81:
        return "Edit";
    case 0x82:
        return "Static";
    default: {
        std::string name = "#";
        name += std::to_string(field.ordinal);
        return name;
    }
    }
}

std::string version_value(const std::wstring &path, const char *name) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    std::vector<uint8_t> block(size);
    if (size == 0 || !GetFileVersionInfoW(path.c_str(), 0, size, block.data()))
        return "(no version block)";
    std::wstring query = L"\\StringFileInfo\\040904B0\\";
    for (const char *c = name; *c != '\0'; ++c)
        query += static_cast<wchar_t>(*c);
    wchar_t *value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void **>(&value), &length) ||
        value == nullptr)
        return "(no " + std::string(name) + ")";
    return ResourceReader::utf8(value);
}

} // namespace

TEST(Resources, EveryCompiledDialogTemplateIsExactlyItsDescription) {
    size_t count = 0;
    const DialogResource *dialogs = dialog_resources(&count);
    ASSERT_EQ(count, 3u); // the About box, the main window, the station's window
    for (size_t d = 0; d < count; ++d) {
        const DialogResource &expected = dialogs[d];
        SCOPED_TRACE("dialog " + std::to_string(expected.id));
        auto [data, size] = resource_bytes(expected.id, TYPE_DIALOG);
        ASSERT_NE(data, nullptr);
        ResourceReader reader(data, size);

        // DLGTEMPLATEEX.
        EXPECT_EQ(reader.u16(), 1);      // version
        EXPECT_EQ(reader.u16(), 0xFFFF); // the extended template's signature
        reader.u32();                    // help id
        EXPECT_EQ(reader.u32(), expected.ex_style);
        EXPECT_EQ(reader.u32(), expected.style);
        const uint16_t items = reader.u16();
        EXPECT_EQ(reader.s16(), expected.x);
        EXPECT_EQ(reader.s16(), expected.y);
        EXPECT_EQ(reader.s16(), expected.width);
        EXPECT_EQ(reader.s16(), expected.height);
        EXPECT_EQ(reader.name_or_ordinal().name, ""); // no menu
        EXPECT_EQ(reader.name_or_ordinal().name, ""); // the standard dialog class
        EXPECT_EQ(reader.text(), expected.caption);
        EXPECT_EQ(reader.u16(), expected.font_points);
        EXPECT_EQ(reader.u16(), expected.font_weight);
        EXPECT_EQ(reader.u8(), expected.font_italic);
        EXPECT_EQ(reader.u8(), expected.font_charset);
        EXPECT_EQ(reader.text(), expected.font_name);
        ASSERT_EQ(items, expected.item_count);

        for (size_t i = 0; i < expected.item_count; ++i) {
            const DialogItemResource &item = expected.items[i];
            SCOPED_TRACE("control " + std::to_string(i) + " (id " + std::to_string(item.id) + ")");
            // DLGITEMTEMPLATEEX, each on a four-byte boundary.
            reader.align4();
            reader.u32(); // help id
            EXPECT_EQ(reader.u32(), 0u);
            EXPECT_EQ(reader.u32(), item.style);
            EXPECT_EQ(reader.s16(), item.x);
            EXPECT_EQ(reader.s16(), item.y);
            EXPECT_EQ(reader.s16(), item.width);
            EXPECT_EQ(reader.s16(), item.height);
            EXPECT_EQ(static_cast<int32_t>(reader.u32()), item.id);
            // Class names are case-insensitive; the resource compiler stores them in capitals.
            EXPECT_EQ(lstrcmpiA(class_of(reader.name_or_ordinal()).c_str(), item.class_name), 0)
                << item.class_name;
            const ResourceReader::NameOrOrdinal title = reader.name_or_ordinal();
            if (item.icon != 0) {
                EXPECT_TRUE(title.is_ordinal);
                EXPECT_EQ(title.ordinal, item.icon);
            } else {
                EXPECT_FALSE(title.is_ordinal);
                EXPECT_EQ(title.name, item.text);
            }
            reader.skip(reader.u16()); // creation data
        }
        EXPECT_TRUE(reader.ok());
        EXPECT_EQ(reader.position() + 3 >= size, true) << "bytes left after the last control";
    }
}

TEST(Resources, StringTableAndIconsMatchTheDescription) {
    wchar_t *text = nullptr;
    const int length =
        LoadStringW(GetModuleHandleW(nullptr), IDS_ABOUTBOX, reinterpret_cast<wchar_t *>(&text), 0);
    ASSERT_GT(length, 0);
    EXPECT_EQ(ResourceReader::utf8(std::wstring(text, static_cast<size_t>(length))),
              find_string_resource(IDS_ABOUTBOX));

    // Each icon holds its 16, 32 and 48 pixel images with alpha, so that no size is scaled from another.
    for (int id : {IDI_DEVICE, IDI_NODEVICE, IDR_MAINFRAME}) {
        SCOPED_TRACE("icon " + std::to_string(id));
        EXPECT_TRUE(has_icon_resource(id));
        auto [data, size] = resource_bytes(id, TYPE_GROUP_ICON);
        ASSERT_NE(data, nullptr);
        ResourceReader group(data, size);
        group.u16();               // reserved
        EXPECT_EQ(group.u16(), 1); // icons, not cursors
        const uint16_t images = group.u16();
        std::vector<int> sizes;
        for (uint16_t i = 0; i < images; ++i) {
            const uint8_t width = group.u8();
            group.skip(3);
            group.u16();                // planes
            EXPECT_EQ(group.u16(), 32); // bits per pixel
            group.u32();                // bytes
            const uint16_t image = group.u16();
            EXPECT_NE(resource_bytes(image, TYPE_ICON).first, nullptr);
            sizes.push_back(width);
        }
        ASSERT_TRUE(group.ok());
        EXPECT_EQ(sizes, (std::vector<int>{16, 32, 48}));
    }
    EXPECT_FALSE(has_icon_resource(4242));
}

TEST(Resources, ManifestAndVersionBlockDescribeTheProgram) {
    auto [data, size] = resource_bytes(1, TYPE_MANIFEST);
    ASSERT_NE(data, nullptr);
    const std::string manifest(reinterpret_cast<const char *>(data), size);
    EXPECT_NE(manifest.find("\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""), std::string::npos);
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
    EXPECT_NE(manifest.find("PerMonitorV2"), std::string::npos);

    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    EXPECT_EQ(version_value(path, "ProductVersion"), TARNEX_VERSION_TEXT);
    EXPECT_EQ(version_value(path, "OriginalFilename"), "test_resources.exe");
    // The About box shows the same copyright line as the file's properties.
    EXPECT_EQ(version_value(path, "LegalCopyright"), TARNEX_COPYRIGHT_TEXT);
    const DialogResource *about = find_dialog_resource(IDD_ABOUTBOX);
    ASSERT_NE(about, nullptr);
    bool shown = false;
    for (size_t i = 0; i < about->item_count; ++i)
        shown = shown || std::string(about->items[i].text) == TARNEX_COPYRIGHT_TEXT;
    EXPECT_TRUE(shown);
}

#include "package/pack_archive.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "tests/support/test_files.h"

namespace {

void put_le32(std::vector<uint8_t> *out, uint32_t v) {
    for (int i = 0; i < 4; i++)
        out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A body built by hand, record by record, so the tests do not trust the serializer they check.
std::vector<uint8_t> record(uint32_t hash, const std::vector<uint8_t> &data) {
    std::vector<uint8_t> out;
    put_le32(&out, static_cast<uint32_t>(data.size()));
    put_le32(&out, hash);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto &part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

const std::vector<uint8_t> TERMINATOR(8, 0);

std::vector<uint32_t> hashes_of(CPackArchive &archive) {
    std::vector<uint32_t> hashes;
    for (CPackEntry *entry = archive.GetFirst(); entry; entry = archive.GetNext(entry))
        hashes.push_back(entry->GetHash());
    return hashes;
}

} // namespace

TEST(PackNameHash, WorkedExamples) {
    EXPECT_EQ(pack_name_hash("boot.img"), 0xD946AC4Eu);
    EXPECT_EQ(pack_name_hash("system.img"), 0xDC44D41Fu);
    EXPECT_EQ(pack_name_hash("AdbWinApi.dll"), 0xA2CCEF44u);
    EXPECT_EQ(pack_name_hash("DeviceList.dat"), 0xBB80B15Cu);
    EXPECT_EQ(pack_name_hash(""), 0x76543210u);
    EXPECT_NE(pack_name_hash("Boot.img"), pack_name_hash("boot.img")); // case-sensitive
    uint32_t first = crc32_update("boot", 4, PACK_HASH_SEED);
    EXPECT_EQ(first, 0x56AA84FCu);
    EXPECT_EQ(crc32_update(".img", 4, first), 0xD946AC4Eu);
}

TEST(PackArchive, EmptyArchiveIsEightZeroBytes) {
    CPackArchive archive;
    EXPECT_EQ(archive.GetSerializedLength(), 8u);
    EXPECT_EQ(archive.GetFirst(), nullptr);
    std::vector<uint8_t> body(8, 0xEE);
    EXPECT_EQ(archive.WriteToMemory(body.data(), 8), 8u);
    EXPECT_EQ(body, TERMINATOR);

    std::vector<uint8_t> zeros = concat({TERMINATOR, record(1, {1, 2, 3})});
    EXPECT_EQ(archive.ReadFromMemory(zeros.data(), static_cast<uint32_t>(zeros.size())), 8u);
    EXPECT_EQ(archive.GetFirst(), nullptr);
}

// Random archives, including empty entries, hash 0 with data and repeated hashes: serialize, parse, compare.
TEST(PackArchive, RoundTripOfRandomArchives) {
    std::mt19937 rng(20240611);
    for (int round = 0; round < 200; round++) {
        std::vector<std::vector<uint8_t>> data(rng() % 12);
        CPackArchive archive;
        for (auto &bytes : data) {
            bytes.resize(rng() % 4 == 0 ? 0 : rng() % 300);
            for (auto &b : bytes)
                b = static_cast<uint8_t>(rng());
            uint32_t hash = rng() % 5 == 0 ? rng() % 3 : rng();
            if (hash == 0 && bytes.empty())
                hash = 1; // size 0 with hash 0 is the terminator, not an entry
            archive.Append(new CPackEntry)
                ->SetByHash(bytes.data(), static_cast<uint32_t>(bytes.size()), hash);
        }
        uint32_t length = archive.GetSerializedLength();
        std::vector<uint8_t> body(length);
        ASSERT_EQ(archive.WriteToMemory(body.data(), length), length);

        CPackArchive parsed;
        ASSERT_EQ(parsed.ReadFromMemory(body.data(), length), length);
        CPackEntry *a = archive.GetFirst(), *b = parsed.GetFirst();
        for (; a && b; a = archive.GetNext(a), b = parsed.GetNext(b)) {
            ASSERT_EQ(a->GetHash(), b->GetHash());
            ASSERT_EQ(a->GetSize(), b->GetSize());
            if (b->GetSize() == 0) {
                EXPECT_EQ(b->GetData(), nullptr);
            } else {
                ASSERT_GE(b->GetData(), body.data() + 8);
                ASSERT_LE(b->GetData() + b->GetSize(), body.data() + length - 8);
                ASSERT_EQ(memcmp(a->GetData(), b->GetData(), a->GetSize()), 0);
            }
        }
        EXPECT_EQ(a, nullptr);
        EXPECT_EQ(b, nullptr);
    }
}

TEST(PackArchive, LookupsPreferTheNewestAndTreatEmptyAsAbsent) {
    uint8_t older[] = {1, 1}, newer[] = {2, 2, 2};
    CPackArchive archive;
    archive.Append(new CPackEntry)->SetByHash(older, 2, 77);
    archive.Append(new CPackEntry)->SetByHash(newer, 3, 77);
    EXPECT_EQ(archive.FindByHash(77)->GetData(), newer);
    archive.RemoveByHash(77);
    EXPECT_EQ(archive.FindByHash(77)->GetData(), older);
    archive.RemoveByName("not there"); // no effect
    EXPECT_EQ(hashes_of(archive), std::vector<uint32_t>{77});

    // A parsed record of size 0 reads exactly like an absent entry.
    std::vector<uint8_t> body = concat({record(pack_name_hash("boot.img"), {}), TERMINATOR});
    ASSERT_EQ(archive.ReadFromMemory(body.data(), static_cast<uint32_t>(body.size())), 16u);
    uint32_t size = 12345;
    EXPECT_EQ(archive.GetDataByHash(&size, pack_name_hash("boot.img")), nullptr);
    EXPECT_EQ(size, 0u);
    size = 12345;
    EXPECT_EQ(archive.GetDataByHash(&size, 999), nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_NE(archive.FindByName("boot.img"), nullptr);
}

TEST(PackArchive, CopyDataByHashCutsShortAndReportsTheFullSize) {
    std::vector<uint8_t> body = concat({record(5, {10, 11, 12, 13, 14}), TERMINATOR});
    CPackArchive archive;
    ASSERT_NE(archive.ReadFromMemory(body.data(), static_cast<uint32_t>(body.size())), 0u);
    uint8_t out[8];
    memset(out, 0xEE, sizeof out);
    EXPECT_EQ(archive.CopyDataByHash(out, 3, 5), 5u);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{10, 11, 12, 0xEE}));
    memset(out, 0xEE, sizeof out);
    EXPECT_EQ(archive.CopyDataByHash(out, 8, 6), 0u);
    EXPECT_EQ(out[0], 0xEE);
}

TEST(PackArchive, OwnershipAndLinks) {
    CPackArchive archive;
    CPackEntry *a = archive.Append(new CPackEntry);
    CPackEntry *b = archive.Append(new CPackEntry);
    CPackEntry *c = archive.Append(new CPackEntry);
    a->SetByHash(nullptr, 0, 1);
    b->SetByHash(nullptr, 0, 2);
    c->SetByHash(nullptr, 0, 3);

    delete b; // deleting an entry that is in the archive takes it out of the list
    EXPECT_EQ(hashes_of(archive), (std::vector<uint32_t>{1, 3}));

    std::unique_ptr<CPackEntry> detached(archive.DetachByHash(1));
    ASSERT_EQ(detached.get(), a);
    EXPECT_EQ(archive.GetNext(a), nullptr);
    EXPECT_EQ(hashes_of(archive), std::vector<uint32_t>{3});

    // An entry moved from one archive to another leaves both lists whole.
    CPackArchive other;
    other.Append(c);
    EXPECT_EQ(archive.GetFirst(), nullptr);
    EXPECT_EQ(hashes_of(other), std::vector<uint32_t>{3});

    // Parsing replaces what was there.
    std::vector<uint8_t> body = concat({record(9, {1}), TERMINATOR});
    ASSERT_EQ(other.ReadFromMemory(body.data(), static_cast<uint32_t>(body.size())), 17u);
    EXPECT_EQ(hashes_of(other), std::vector<uint32_t>{9});
}

TEST(PackArchive, ParseStopsAtTheFirstTerminator) {
    std::vector<uint8_t> body =
        concat({record(1, {7}), record(0, {8, 8}), record(2, {}), TERMINATOR, record(3, {9}), TERMINATOR});
    CPackArchive archive;
    EXPECT_EQ(archive.ReadFromMemory(body.data(), static_cast<uint32_t>(body.size())), 9u + 10u + 8u + 8u);
    EXPECT_EQ(hashes_of(archive), (std::vector<uint32_t>{1, 0, 2})); // hash 0 with data is an entry
}

// Bodies cut short anywhere, and records claiming more bytes than there are, parse to 0 and leave the
// archive empty. Each buffer is exactly as long as the length given, so an over-read shows under ASan.
TEST(PackArchive, ParseNeverRunsPastTheLength) {
    std::vector<uint8_t> body = concat({record(1, {1, 2, 3}), record(2, {4, 5}), TERMINATOR});
    for (size_t cut = 0; cut < body.size(); cut++) {
        std::vector<uint8_t> shorter(body.begin(), body.begin() + cut);
        CPackArchive archive;
        archive.Append(new CPackEntry)->SetByHash(nullptr, 0, 42);
        EXPECT_EQ(archive.ReadFromMemory(shorter.data(), static_cast<uint32_t>(cut)), 0u) << cut;
        EXPECT_EQ(archive.GetFirst(), nullptr);
    }
    for (uint32_t claimed : {4u, 100u, 0xFFFFFFF8u, 0xFFFFFFFFu}) {
        std::vector<uint8_t> lying = concat({record(1, {1, 2, 3}), TERMINATOR});
        lying[0] = static_cast<uint8_t>(claimed);
        lying[1] = static_cast<uint8_t>(claimed >> 8);
        lying[2] = static_cast<uint8_t>(claimed >> 16);
        lying[3] = static_cast<uint8_t>(claimed >> 24);
        CPackArchive archive;
        EXPECT_EQ(archive.ReadFromMemory(lying.data(), static_cast<uint32_t>(lying.size())), 0u) << claimed;
    }
}

TEST(PackArchive, WritingNeverRunsPastTheBuffer) {
    std::vector<uint8_t> data(100, 0x5A);
    CPackArchive archive;
    archive.Append(new CPackEntry)->SetByHash(data.data(), 100, 1);
    archive.Append(new CPackEntry)->SetByHash(data.data(), 50, 2);
    std::vector<uint8_t> buffer(120, 0xEE);
    EXPECT_EQ(archive.WriteToMemory(buffer.data(), 60), archive.GetSerializedLength());
    EXPECT_EQ(buffer[59], 0x5A);
    EXPECT_EQ(buffer[60], 0xEE);

    CPackEntry entry;
    entry.SetByHash(data.data(), 100, 3);
    EXPECT_EQ(entry.WriteToMemory(buffer.data() + 100, 10), 108u);
    EXPECT_EQ(buffer[110], 0xEE);
}

TEST(PackArchive, SaveToFileWritesTheBodyOrNothing) {
    TempDir dir;
    std::vector<uint8_t> data = {1, 2, 3, 4};
    CPackArchive archive;
    archive.Append(new CPackEntry)->SetByName(data.data(), 4, "boot.img");
    std::vector<uint8_t> expected(archive.GetSerializedLength());
    archive.WriteToMemory(expected.data(), static_cast<uint32_t>(expected.size()));

    EXPECT_EQ(archive.SaveToFile(dir.Path("body").c_str()), expected.size());
    EXPECT_EQ(read_file(dir.Path("body")), expected);
    EXPECT_EQ(archive.GetFirst()->SaveToFile(dir.Path("record").c_str()), 12u);
    EXPECT_EQ(read_file(dir.Path("record")), std::vector<uint8_t>(expected.begin(), expected.end() - 8));

    std::string impossible = dir.Path("missing-folder/body");
    EXPECT_EQ(archive.SaveToFile(impossible.c_str()), 0u);
    EXPECT_EQ(archive.GetFirst()->SaveToFile(impossible.c_str()), 0u);
    EXPECT_FALSE(std::filesystem::exists(dir.Path("missing-folder")));
}

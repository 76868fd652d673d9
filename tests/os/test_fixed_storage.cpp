// Where the flasher may map its own file (os/fixed_storage.h), decided from recorded answers: the bus
// types a Windows volume's disks report, and sysfs trees laid out as Linux shows real machines' disks, so
// that every case runs anywhere, without the hardware.
#include "os/fixed_storage.h"

#include "tests/support/test_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <initializer_list>
#include <string>

#ifdef __linux__
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

namespace {

bool disks_stay(std::initializer_list<StorageDisk> disks, std::string *why) {
    return storage_disks_stay(disks, why);
}

} // namespace

TEST(WindowsDisks, DisksOnBusesThatStayAreMappedAndEveryOtherIsReadWhole) {
    std::string why;
    for (uint32_t bus : {STORAGE_BUS_SCSI, STORAGE_BUS_ATA, STORAGE_BUS_SATA, STORAGE_BUS_SAS,
                         STORAGE_BUS_NVME, STORAGE_BUS_RAID})
        EXPECT_TRUE(disks_stay({{bus, false}}, &why)) << bus << ": " << why;
    for (uint32_t bus :
         {STORAGE_BUS_UNKNOWN, STORAGE_BUS_ATAPI, STORAGE_BUS_1394, STORAGE_BUS_FIBRE, STORAGE_BUS_USB,
          STORAGE_BUS_ISCSI, STORAGE_BUS_SD, STORAGE_BUS_MMC, STORAGE_BUS_VIRTUAL,
          STORAGE_BUS_FILE_BACKED_VIRTUAL, STORAGE_BUS_SPACES, StorageBusType(0x7F)})
        EXPECT_FALSE(disks_stay({{bus, false}}, &why)) << bus;
    EXPECT_FALSE(disks_stay({{STORAGE_BUS_USB, false}}, &why));
    EXPECT_EQ(why, "disk 1 of the volume is on USB");
}

TEST(WindowsDisks, EveryDiskOfTheVolumeCountsAndANoneIsReadWhole) {
    std::string why;
    EXPECT_TRUE(disks_stay({{STORAGE_BUS_SATA, false}, {STORAGE_BUS_NVME, false}}, &why)) << why;
    EXPECT_FALSE(disks_stay({{STORAGE_BUS_SATA, false}, {STORAGE_BUS_USB, false}}, &why));
    EXPECT_EQ(why, "disk 2 of the volume is on USB");
    EXPECT_FALSE(disks_stay({{STORAGE_BUS_SATA, true}}, &why)) << "a card reader on SATA";
    EXPECT_EQ(why, "disk 1 of the volume holds a removable medium");
    EXPECT_FALSE(disks_stay({}, &why)) << "a query that named no disk";
}

#ifdef __linux__

namespace {

namespace fs = std::filesystem;

// A sysfs tree in a folder: devices under devices/ with their subsystem links, block devices under
// dev/block/MAJOR:MINOR, attributes as files.
class FakeSysfs {
public:
    std::string root() const { return m_Dir.Path("sys"); }

    // Makes the device path PATH under devices/, one node per "/"; a node written "name=subsystem" gets
    // a subsystem link to bus/subsystem. Returns the last node's folder.
    std::string Device(const std::string &path) {
        fs::path dir = fs::path(root()) / "devices";
        size_t start = 0;
        while (start <= path.size()) {
            size_t end = path.find('/', start);
            if (end == std::string::npos)
                end = path.size();
            std::string node = path.substr(start, end - start);
            const size_t equals = node.find('=');
            dir /= node.substr(0, equals);
            fs::create_directories(dir);
            if (equals != std::string::npos && !fs::exists(fs::symlink_status(dir / "subsystem"))) {
                fs::create_directories(fs::path(root()) / "bus" / node.substr(equals + 1));
                fs::create_directory_symlink(fs::path(root()) / "bus" / node.substr(equals + 1),
                                             dir / "subsystem");
            }
            start = end + 1;
        }
        return dir.string();
    }

    // A block device MAJOR:MINOR at DIR (from Device); a partition when PARTITION.
    void Block(unsigned major, unsigned minor, const std::string &dir, bool partition = false) {
        fs::create_directories(fs::path(root()) / "dev" / "block");
        fs::create_directory_symlink(dir, fs::path(root()) / "dev" / "block" /
                                              (std::to_string(major) + ":" + std::to_string(minor)));
        if (partition)
            Set(dir, "partition", "1");
    }

    static void Set(const std::string &dir, const std::string &name, const std::string &value) {
        fs::create_directories((fs::path(dir) / name).parent_path());
        write_file((fs::path(dir) / name).string(), std::vector<uint8_t>(value.begin(), value.end()));
    }

    // MEMBER becomes one of the devices LAYER (dm, md: "slaves") is made of.
    static void Member(const std::string &layer, const std::string &member) {
        fs::create_directories(fs::path(layer) / "slaves");
        fs::create_directory_symlink(member, fs::path(layer) / "slaves" / fs::path(member).filename());
    }

    bool Stays(unsigned major, unsigned minor) {
        m_Why.clear();
        return linux_block_device_stays(root().c_str(), major, minor, &m_Why);
    }
    const std::string &why() const { return m_Why; }

private:
    TempDir m_Dir;
    std::string m_Why;
};

// The disks of real machines, as their sysfs shows them.
constexpr char SATA_DISK[] =
    "pci0000:00/0000:00:17.0=pci/ata1/host0=scsi/target0:0:0/0:0:0:0=scsi/block/sda=block";
constexpr char NVME_CONTROLLER[] = "pci0000:00/0000:00:1d.0=pci/0000:3d:00.0=pci/nvme/nvme0=nvme";
constexpr char VIRTIO_DISK[] = "pci0000:00/0000:00:02.0=pci/virtio1=virtio/block/vda=block";
constexpr char SAS_DISK[] = "pci0000:00/0000:00:01.0=pci/0000:01:00.0=pci/host0=scsi/port-0:0/end_device-0:0/"
                            "target0:0:0/0:0:0:0=scsi/block/sdb=block";
constexpr char RAID_DISK[] =
    "pci0000:00/0000:00:01.0=pci/0000:02:00.0=pci/host1=scsi/target1:2:0/1:2:0:0=scsi/"
    "block/sdc=block";
constexpr char USB_DISK[] = "pci0000:00/0000:00:14.0=pci/usb2=usb/2-1=usb/2-1:1.0=usb/host6=scsi/target6:0:0/"
                            "6:0:0:0=scsi/block/sdd=block";
constexpr char SD_CARD[] =
    "pci0000:00/0000:00:14.5=pci/mmc_host/mmc0=mmc_host/mmc0:aaaa=mmc/block/mmcblk0=block";
constexpr char FIREWIRE_DISK[] = "pci0000:00/0000:00:1e.0=pci/0000:05:00.0=pci/fw1=firewire/fw1.0=firewire/"
                                 "host7=scsi/target7:0:0/7:0:0:0=scsi/block/sde=block";
constexpr char ISCSI_DISK[] = "platform/host8=scsi/session1/target8:0:0/8:0:0:0=scsi/block/sdf=block";
constexpr char FC_DISK[] = "pci0000:00/0000:00:03.0=pci/0000:06:00.0=pci/host9=scsi/rport-9:0-0/target9:0:0/"
                           "9:0:0:0=scsi/block/sdg=block";
constexpr char THUNDERBOLT_SLOT[] = "pci0000:00/0000:00:07.0=pci/0000:07:00.0=pci";

} // namespace

TEST(LinuxDisks, DisksOnBusesThatStayAreMappedPartitionsAsTheirDisk) {
    FakeSysfs sys;
    const std::string sda = sys.Device(SATA_DISK);
    sys.Block(8, 0, sda);
    sys.Block(8, 1, sys.Device(std::string(SATA_DISK) + "/sda1=block"), true);
    sys.Block(259, 0, sys.Device(std::string(NVME_CONTROLLER) + "/nvme0n1=block"));
    FakeSysfs::Set(sys.Device(NVME_CONTROLLER), "transport", "pcie\n");
    sys.Block(254, 0, sys.Device(VIRTIO_DISK));
    sys.Block(8, 16, sys.Device(SAS_DISK));
    sys.Block(8, 32, sys.Device(RAID_DISK));
    for (auto [major, minor] : {std::pair{8u, 0u}, {8u, 1u}, {259u, 0u}, {254u, 0u}, {8u, 16u}, {8u, 32u}})
        EXPECT_TRUE(sys.Stays(major, minor)) << major << ":" << minor << ": " << sys.why();
    sys.Stays(8, 1);
    EXPECT_EQ(sys.why(), "sda is on ATA");
    sys.Stays(259, 0);
    EXPECT_EQ(sys.why(), "nvme0n1 is on NVMe");

    // The same SATA port with a removable medium: an optical drive, a card reader.
    FakeSysfs::Set(sda, "removable", "1\n");
    EXPECT_FALSE(sys.Stays(8, 1));
    EXPECT_EQ(sys.why(), "sda holds a removable medium");
}

// A USB SSD reports no removable medium, and that is what the flasher once went by.
TEST(LinuxDisks, DisksThatCanBeUnpluggedOrAreServedFromElsewhereAreReadWhole) {
    FakeSysfs sys;
    const std::string usb = sys.Device(USB_DISK);
    FakeSysfs::Set(usb, "removable", "0\n");
    sys.Block(8, 48, usb);
    sys.Block(179, 0, sys.Device(SD_CARD));
    sys.Block(8, 64, sys.Device(FIREWIRE_DISK));
    sys.Block(8, 80, sys.Device(ISCSI_DISK));
    sys.Block(8, 96, sys.Device(FC_DISK));
    const std::string external = sys.Device(THUNDERBOLT_SLOT);
    FakeSysfs::Set(external, "removable", "removable\n");
    sys.Block(259, 1, sys.Device(std::string(THUNDERBOLT_SLOT) + "/nvme/nvme1=nvme/nvme1n1=block"));
    FakeSysfs::Set(external + "/nvme/nvme1", "transport", "pcie\n");
    sys.Block(259, 2, sys.Device("virtual/nvme-fabrics/ctl/nvme2=nvme/nvme2n1=block"));
    FakeSysfs::Set(sys.Device("virtual/nvme-fabrics/ctl/nvme2=nvme"), "transport", "tcp\n");
    const struct {
        unsigned major, minor;
        const char *why;
    } cases[] = {
        {8, 48, "sdd is on USB"},
        {179, 0, "mmcblk0 is on an SD/MMC card"},
        {8, 64, "sde is on FireWire"},
        {8, 80, "sdf is on iSCSI"},
        {8, 96, "sdg is on Fibre Channel"},
        {259, 1, "nvme1n1 is on an external PCI Express link (Thunderbolt, USB4)"},
        {259, 2, "nvme2n1 is NVMe over tcp"},
    };
    for (const auto &each : cases) {
        EXPECT_FALSE(sys.Stays(each.major, each.minor)) << each.why;
        EXPECT_EQ(sys.why(), each.why);
    }
}

// LVM, LUKS and md RAID stay only when every member does; a member on USB makes the whole read whole.
TEST(LinuxDisks, LayeredDevicesStayOnlyWhenEveryMemberDoes) {
    FakeSysfs sys;
    const std::string sda1 = sys.Device(std::string(SATA_DISK) + "/sda1=block");
    FakeSysfs::Set(sda1, "partition", "1");
    const std::string nvme = sys.Device(std::string(NVME_CONTROLLER) + "/nvme0n1=block");
    FakeSysfs::Set(sys.Device(NVME_CONTROLLER), "transport", "pcie\n");
    const std::string usb = sys.Device(USB_DISK);

    const std::string md0 = sys.Device("virtual/block/md0=block");
    FakeSysfs::Member(md0, sda1);
    FakeSysfs::Member(md0, nvme);
    sys.Block(9, 0, md0);
    EXPECT_TRUE(sys.Stays(9, 0)) << sys.why();

    // LVM on LUKS on the RAID: every layer is followed down.
    const std::string crypt = sys.Device("virtual/block/dm-0=block"),
                      lvm = sys.Device("virtual/block/dm-1=block");
    FakeSysfs::Member(crypt, md0);
    FakeSysfs::Member(lvm, crypt);
    sys.Block(253, 1, lvm);
    EXPECT_TRUE(sys.Stays(253, 1)) << sys.why();

    // A volume group that was grown onto a USB disk.
    const std::string grown = sys.Device("virtual/block/dm-2=block");
    FakeSysfs::Member(grown, sda1);
    FakeSysfs::Member(grown, usb);
    sys.Block(253, 2, grown);
    EXPECT_FALSE(sys.Stays(253, 2));
    EXPECT_EQ(sys.why(), "sdd is on USB");

    // A damaged tree whose device is its own member ends, read whole.
    const std::string loop = sys.Device("virtual/block/dm-3=block");
    FakeSysfs::Member(loop, loop);
    sys.Block(253, 3, loop);
    EXPECT_FALSE(sys.Stays(253, 3));
    EXPECT_EQ(sys.why(), "the devices under it nest too deep");
}

// A loop device is as good as the file behind it: here a file of this test's folder, whose device the
// tree says is on SATA, then on USB.
TEST(LinuxDisks, ALoopDeviceCountsAsTheFileBehindIt) {
    TempDir dir;
    write_file(dir.Path("image"), {1});
    struct stat st;
    ASSERT_EQ(stat(dir.Path("image").c_str(), &st), 0);
    // Without sysfs the decision ends at the device lookup, unless the folder has no block device.
    std::string why;
    linux_file_stays(dir.Path("image").c_str(), "/nonexistent", &why);
    if (why.find("is not in sysfs") == std::string::npos)
        GTEST_SKIP() << "the test's folder has no block device of its own here (" << why << ")";
    for (const char *disk : {SATA_DISK, USB_DISK}) {
        FakeSysfs sys;
        sys.Block(major(st.st_dev), minor(st.st_dev), sys.Device(disk));
        const std::string loop0 = sys.Device("virtual/block/loop0=block");
        FakeSysfs::Set(loop0, "loop/backing_file", dir.Path("image") + "\n");
        sys.Block(7, 0, loop0);
        EXPECT_EQ(sys.Stays(7, 0), disk == SATA_DISK) << sys.why();
    }
}

TEST(LinuxDisks, WhatCannotBeToldIsReadWhole) {
    FakeSysfs sys;
    sys.Block(252, 0, sys.Device("virtual/block/nbd0=block")); // a disk served over the network
    sys.Block(251, 0, sys.Device("virtual/block/zram0=block"));
    EXPECT_FALSE(sys.Stays(252, 0));
    EXPECT_EQ(sys.why(), "nbd0 is on no bus known to stay (/devices/virtual/block/nbd0)");
    EXPECT_FALSE(sys.Stays(251, 0));
    EXPECT_FALSE(sys.Stays(8, 200));
    EXPECT_EQ(sys.why(), "the block device 8:200 is not in sysfs");
    const std::string loop1 = sys.Device("virtual/block/loop1=block");
    fs::create_directories(fs::path(loop1) / "loop");
    sys.Block(7, 1, loop1);
    EXPECT_FALSE(sys.Stays(7, 1));
    EXPECT_EQ(sys.why(), "loop1 is a loop device without a file");

    // btrfs: the devices its sysfs list names; none listed, nothing known.
    const std::string sda1 = sys.Device(std::string(SATA_DISK) + "/sda1=block");
    FakeSysfs::Set(sda1, "partition", "1");
    const std::string fsid = "0b1d5e3a-1111-2222-3333-444455556666";
    const fs::path devices = fs::path(sys.root()) / "fs" / "btrfs" / fsid / "devices";
    fs::create_directories(devices);
    std::string why;
    EXPECT_FALSE(linux_btrfs_devices_stay(sys.root().c_str(), fsid, &why));
    EXPECT_EQ(why, "btrfs without a readable device list");
    fs::create_directory_symlink(sda1, devices / "sda1");
    EXPECT_TRUE(linux_btrfs_devices_stay(sys.root().c_str(), fsid, &why)) << why;
    fs::create_directory_symlink(sys.Device(USB_DISK), devices / "sdd");
    EXPECT_FALSE(linux_btrfs_devices_stay(sys.root().c_str(), fsid, &why));
}

// The file systems themselves: memory stays; this machine's own answer for the test's folder is printed.
TEST(LinuxDisks, FilesInMemoryStay) {
    std::string why;
    if (!fs::is_directory("/dev/shm"))
        GTEST_SKIP() << "no /dev/shm here";
    TempDir dir;
    const std::string shm = "/dev/shm/tarnex-test-" + std::to_string(getpid());
    write_file(shm, {1});
    const bool stays = linux_file_stays(shm.c_str(), "/sys", &why);
    fs::remove(shm);
    if (why.find("in memory") == std::string::npos)
        GTEST_SKIP() << "/dev/shm is no tmpfs here (" << why << ")";
    EXPECT_TRUE(stays);
    write_file(dir.Path("f"), {1});
    const bool here = linux_file_stays(dir.Path("f").c_str(), "/sys", &why);
    std::printf("%s: %s (%s)\n", dir.Path("f").c_str(), here ? "mapped" : "read whole", why.c_str());
}

#endif

// Where a file may be mapped: the decision behind file_may_be_mapped (os/file_io.h), as pure functions
// over what the system reports, so that every case can be tested from recorded answers.
//
// A read error in a mapped file ends the process (SIGBUS, an in-page error) instead of failing a read.
// The flasher maps its own file only where it cannot go away in use: on disks whose bus cannot be
// unplugged while the machine runs (SATA, SAS, NVMe, SCSI, ATA, RAID adapters, the virtual disks of a
// virtual machine), and in memory (tmpfs). Anything else is read whole: USB, FireWire, SD/MMC and
// Thunderbolt media can be pulled, the bytes of network storage (NFS, SMB, iSCSI, Fibre Channel, NBD) and
// of FUSE come from another machine or program, and what the check cannot tell (overlay, ZFS, a query
// that fails) is treated like them. Every device under the file counts: the members of LVM, LUKS and md
// RAID devices, the file behind a loop device.
//
// Each function leaves the reason for its answer in *why, as a clause ("sdb is on USB").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// --- Windows: the bus of each disk a volume spans (IOCTL_STORAGE_QUERY_PROPERTY).

// The STORAGE_BUS_TYPE values of the platform's headers, named here so that the decision compiles and is
// tested everywhere.
enum StorageBusType : uint32_t {
    STORAGE_BUS_UNKNOWN = 0x00,
    STORAGE_BUS_SCSI = 0x01,
    STORAGE_BUS_ATAPI = 0x02,
    STORAGE_BUS_ATA = 0x03,
    STORAGE_BUS_1394 = 0x04,
    STORAGE_BUS_SSA = 0x05,
    STORAGE_BUS_FIBRE = 0x06,
    STORAGE_BUS_USB = 0x07,
    STORAGE_BUS_RAID = 0x08,
    STORAGE_BUS_ISCSI = 0x09,
    STORAGE_BUS_SAS = 0x0A,
    STORAGE_BUS_SATA = 0x0B,
    STORAGE_BUS_SD = 0x0C,
    STORAGE_BUS_MMC = 0x0D,
    STORAGE_BUS_VIRTUAL = 0x0E,
    STORAGE_BUS_FILE_BACKED_VIRTUAL = 0x0F,
    STORAGE_BUS_SPACES = 0x10,
    STORAGE_BUS_NVME = 0x11,
    STORAGE_BUS_SCM = 0x12,
    STORAGE_BUS_UFS = 0x13,
};

// What STORAGE_DEVICE_DESCRIPTOR says of one disk.
struct StorageDisk {
    uint32_t BusType;    // a StorageBusType
    bool RemovableMedia; // a drive whose medium comes out (an optical drive, a card slot)
};

// True when DISKS is not empty and every disk in it sits on SCSI, ATA, SATA, SAS, NVMe or a RAID adapter
// without a removable medium. False for any other bus: USB, 1394, SD, MMC, iSCSI, Fibre Channel, ATAPI
// (optical drives), a virtual or file-backed disk (a VHD) or Storage Spaces (whose own disks are not
// seen), and those the platform added later.
bool storage_disks_stay(const std::vector<StorageDisk> &disks, std::string *why);

// --- Linux: the block devices under a file, from sysfs. Linux builds only.

// The whole decision for the file at PATH, with sysfs at SYSFS_ROOT ("/sys" in the product): its file
// system is memory (tmpfs, ramfs): true; FUSE, or a network or cluster file system: false; btrfs: every
// device of its device list in SYSFS_ROOT/fs/btrfs/; any other without a block device (overlay, ZFS, NFS):
// false; otherwise linux_block_device_stays for the file's device.
bool linux_file_stays(const char *path, const char *sysfs_root, std::string *why);

// Whether the block device MAJOR:MINOR (SYSFS_ROOT/dev/block/MAJOR:MINOR) stays: a partition counts as
// its disk; a device-mapper or md device (and an NVMe namespace reached by several paths) as all of its
// members, a loop device as the file behind it (linux_file_stays, reading that file's status); a disk
// holds no removable medium and hangs from a transport that cannot be unplugged: NVMe over PCIe, ATA,
// virtio, Xen, or a SCSI host (SAS, RAID, SCSI) on a PCI adapter or Hyper-V's bus, with no USB, FireWire,
// MMC, Thunderbolt (a PCI device marked removable), iSCSI session or Fibre Channel port on the way up.
bool linux_block_device_stays(const char *sysfs_root, unsigned major, unsigned minor, std::string *why);

// The devices of the btrfs file system FSID ("01234567-89ab-..."), as SYSFS_ROOT/fs/btrfs/FSID/devices
// lists them, each as linux_block_device_stays would judge it. False when the list cannot be read.
bool linux_btrfs_devices_stay(const char *sysfs_root, const std::string &fsid, std::string *why);

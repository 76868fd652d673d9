// The Linux half of os/fixed_storage.h: the file system of a file, and the devices under it as sysfs
// shows them. Everything is read under the sysfs root given, so that tests feed recorded trees.
#include "os/fixed_storage.h"

#ifdef __linux__

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/btrfs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>

namespace {

// A loop device on a file on a dm device on a loop device ...: deeper than any real layout, and what a
// cycle in a damaged tree would reach.
constexpr int DEPTH_MAX = 8;

// File systems whose bytes another machine or program serves: network and cluster file systems, and
// FUSE, behind which any program (sshfs, a cloud drive, ntfs-3g) may serve them. Most of them have no
// block device at all; the cluster file systems and FUSE's fuseblk do.
constexpr unsigned long SERVED_FILE_SYSTEMS[] = {
    NFS_SUPER_MAGIC, SMB_SUPER_MAGIC, CIFS_SUPER_MAGIC, SMB2_SUPER_MAGIC, FUSE_SUPER_MAGIC, CODA_SUPER_MAGIC,
    NCP_SUPER_MAGIC, AFS_SUPER_MAGIC, AFS_FS_MAGIC,     V9FS_MAGIC,       CEPH_SUPER_MAGIC, OCFS2_SUPER_MAGIC,
    0x01161970, // GFS2
    0x0BD00BD0, // Lustre
    0x47504653, // GPFS
    0x20030528, // OrangeFS
    0x013111A8, // IBRIX
    0x19830326, // FhGFS / BeeGFS
};

std::string base_name(const std::string &path) {
    return path.substr(path.find_last_of('/') + 1);
}

std::string parent_of(const std::string &path) {
    return path.substr(0, path.find_last_of('/'));
}

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// The first line of a small attribute file, without its line end; empty when it cannot be read.
std::string attribute(const std::string &path) {
    char text[256] = "";
    FILE *file = fopen(path.c_str(), "re");
    if (file == nullptr)
        return "";
    if (fgets(text, sizeof text, file) == nullptr)
        text[0] = '\0';
    fclose(file);
    text[strcspn(text, "\n")] = '\0';
    return text;
}

std::string real_path(const std::string &path) {
    char *resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr)
        return "";
    std::string result = resolved;
    free(resolved);
    return result;
}

// The entries of a directory, sorted; empty when there is none.
std::vector<std::string> entries(const std::string &path) {
    std::vector<std::string> names;
    if (DIR *dir = opendir(path.c_str())) {
        while (const dirent *entry = readdir(dir))
            if (entry->d_name[0] != '.')
                names.push_back(entry->d_name);
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The subsystem a device directory belongs to ("usb", "pci", "scsi" ...); empty for none.
std::string subsystem(const std::string &dir) {
    char target[512];
    ssize_t length = readlink((dir + "/subsystem").c_str(), target, sizeof target - 1);
    if (length <= 0)
        return "";
    target[length] = '\0';
    return base_name(target);
}

bool file_stays(const std::string &root, const char *path, std::string *why, int depth);
bool device_dir_stays(const std::string &root, const std::string &dir, std::string *why, int depth);

// What a disk hangs from, walked from the disk up to the root of the device tree.
bool disk_bus_stays(const std::string &root, const std::string &disk, std::string *why) {
    const std::string devices = root + "/devices";
    const std::string name = base_name(disk);
    std::string bus;
    bool scsi_host = false, adapter = false;
    for (std::string dir = disk; dir.size() > devices.size() && dir.compare(0, devices.size(), devices) == 0;
         dir = parent_of(dir)) {
        const std::string kind = subsystem(dir), node = base_name(dir);
        const char *pulled = nullptr;
        if (kind == "usb")
            pulled = "USB";
        else if (kind == "firewire" || kind == "ieee1394")
            pulled = "FireWire";
        else if (kind == "mmc" || kind == "mmc_host" || kind == "sdio" || kind == "memstick")
            pulled = "an SD/MMC card";
        else if (kind == "thunderbolt" || (kind == "pci" && attribute(dir + "/removable") == "removable"))
            pulled = "an external PCI Express link (Thunderbolt, USB4)";
        else if (node.rfind("session", 0) == 0)
            pulled = "iSCSI";
        else if (node.rfind("rport-", 0) == 0)
            pulled = "Fibre Channel";
        if (pulled != nullptr) {
            *why = name + " is on " + pulled;
            return false;
        }
        if (kind == "nvme") {
            const std::string transport = attribute(dir + "/transport");
            if (transport != "pcie") {
                *why = name + " is NVMe over " +
                       (transport.empty() ? std::string("an unknown transport") : transport);
                return false;
            }
            bus = "NVMe";
        } else if ((kind == "virtio" || kind == "xen") && bus.empty()) {
            bus = "the virtual machine's " + kind + " bus";
        } else if (node.size() > 3 && node.compare(0, 3, "ata") == 0 &&
                   node.find_first_not_of("0123456789", 3) == std::string::npos) {
            bus = "ATA";
        } else if (kind == "scsi" && node.rfind("host", 0) == 0) {
            scsi_host = true;
        } else if (kind == "pci" || kind == "vmbus") {
            adapter = true;
        }
    }
    if (bus.empty() && scsi_host && adapter)
        bus = "a SCSI, SAS or RAID adapter";
    if (bus.empty()) {
        *why = name + " is on no bus known to stay (" + disk.substr(std::min(disk.size(), root.size())) + ")";
        return false;
    }
    *why = name + " is on " + bus;
    return true;
}

// Every member of a layered device (SLAVES: dm, md; or the paths of an NVMe namespace).
bool members_stay(const std::string &root, const std::string &list, std::string *why, int depth) {
    const std::vector<std::string> members = entries(list);
    for (const std::string &member : members) {
        const std::string dir = real_path(list + "/" + member);
        if (dir.empty()) {
            *why = member + " cannot be followed in sysfs";
            return false;
        }
        if (!device_dir_stays(root, dir, why, depth + 1))
            return false;
    }
    *why = "all of " + std::to_string(members.size()) + " members stay (" + *why + ")";
    return true;
}

bool device_dir_stays(const std::string &root, const std::string &dir, std::string *why, int depth) {
    if (depth > DEPTH_MAX) {
        *why = "the devices under it nest too deep";
        return false;
    }
    // A partition's disk is the directory above it.
    const std::string disk = exists(dir + "/partition") ? parent_of(dir) : dir;
    const std::string name = base_name(disk);
    if (attribute(disk + "/removable") == "1") {
        *why = name + " holds a removable medium";
        return false;
    }
    for (const char *layer : {"/slaves", "/multipath"})
        if (!entries(disk + layer).empty())
            return members_stay(root, disk + layer, why, depth);
    if (exists(disk + "/loop")) {
        const std::string backing = attribute(disk + "/loop/backing_file");
        if (backing.empty()) {
            *why = name + " is a loop device without a file";
            return false;
        }
        return file_stays(root, backing.c_str(), why, depth + 1);
    }
    return disk_bus_stays(root, disk, why);
}

bool block_device_stays(const std::string &root, unsigned major, unsigned minor, std::string *why,
                        int depth) {
    const std::string device = std::to_string(major) + ":" + std::to_string(minor);
    const std::string dir = real_path(root + "/dev/block/" + device);
    if (dir.empty()) {
        *why = "the block device " + device + " is not in sysfs";
        return false;
    }
    return device_dir_stays(root, dir, why, depth);
}

std::string btrfs_fsid(const char *path) {
    std::string fsid;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return fsid;
    btrfs_ioctl_fs_info_args info = {};
    if (ioctl(fd, BTRFS_IOC_FS_INFO, &info) == 0) {
        char text[40];
        char *at = text;
        for (int i = 0; i < BTRFS_FSID_SIZE; ++i)
            at += snprintf(at, 4, "%s%02x", i == 4 || i == 6 || i == 8 || i == 10 ? "-" : "", info.fsid[i]);
        fsid = text;
    }
    close(fd);
    return fsid;
}

bool btrfs_devices_stay(const std::string &root, const std::string &fsid, std::string *why, int depth) {
    const std::string list = root + "/fs/btrfs/" + fsid + "/devices";
    if (fsid.empty() || entries(list).empty()) {
        *why = "btrfs without a readable device list";
        return false;
    }
    return members_stay(root, list, why, depth);
}

bool file_stays(const std::string &root, const char *path, std::string *why, int depth) {
    if (depth > DEPTH_MAX) {
        *why = "the devices under it nest too deep";
        return false;
    }
    struct statfs fs;
    struct stat st;
    if (statfs(path, &fs) != 0 || stat(path, &st) != 0) {
        *why = std::string(path) + ": " + strerror(errno);
        return false;
    }
    const auto type = static_cast<unsigned long>(fs.f_type);
    if (type == TMPFS_MAGIC || type == RAMFS_MAGIC) {
        *why = std::string(path) + " is in memory";
        return true;
    }
    if (std::find(std::begin(SERVED_FILE_SYSTEMS), std::end(SERVED_FILE_SYSTEMS), type) !=
        std::end(SERVED_FILE_SYSTEMS)) {
        *why = std::string(path) + " is on a network, cluster or FUSE file system";
        return false;
    }
    if (type == BTRFS_SUPER_MAGIC)
        return btrfs_devices_stay(root, btrfs_fsid(path), why, depth);
    if (major(st.st_dev) == 0) {
        char text[64];
        snprintf(text, sizeof text, "its file system (type 0x%lx) names no block device", type);
        *why = text;
        return false;
    }
    return block_device_stays(root, major(st.st_dev), minor(st.st_dev), why, depth);
}

// The root as the links inside it resolve, so that a device's directory can be told to lie under it.
std::string resolved_root(const char *sysfs_root) {
    const std::string root = real_path(sysfs_root);
    return root.empty() ? sysfs_root : root;
}

} // namespace

bool linux_file_stays(const char *path, const char *sysfs_root, std::string *why) {
    return file_stays(resolved_root(sysfs_root), path, why, 0);
}

bool linux_block_device_stays(const char *sysfs_root, unsigned major, unsigned minor, std::string *why) {
    return block_device_stays(resolved_root(sysfs_root), major, minor, why, 0);
}

bool linux_btrfs_devices_stay(const char *sysfs_root, const std::string &fsid, std::string *why) {
    return btrfs_devices_stay(resolved_root(sysfs_root), fsid, why, 0);
}

#endif

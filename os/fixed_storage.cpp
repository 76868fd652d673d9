#include "os/fixed_storage.h"

namespace {

const char *bus_name(uint32_t bus) {
    switch (bus) {
    case STORAGE_BUS_SCSI:
        return "SCSI";
    case STORAGE_BUS_ATAPI:
        return "ATAPI";
    case STORAGE_BUS_ATA:
        return "ATA";
    case STORAGE_BUS_1394:
        return "FireWire";
    case STORAGE_BUS_SSA:
        return "SSA";
    case STORAGE_BUS_FIBRE:
        return "Fibre Channel";
    case STORAGE_BUS_USB:
        return "USB";
    case STORAGE_BUS_RAID:
        return "a RAID adapter";
    case STORAGE_BUS_ISCSI:
        return "iSCSI";
    case STORAGE_BUS_SAS:
        return "SAS";
    case STORAGE_BUS_SATA:
        return "SATA";
    case STORAGE_BUS_SD:
        return "SD";
    case STORAGE_BUS_MMC:
        return "MMC";
    case STORAGE_BUS_VIRTUAL:
        return "a virtual disk";
    case STORAGE_BUS_FILE_BACKED_VIRTUAL:
        return "a file-backed virtual disk";
    case STORAGE_BUS_SPACES:
        return "Storage Spaces";
    case STORAGE_BUS_NVME:
        return "NVMe";
    default:
        return nullptr;
    }
}

bool bus_stays(uint32_t bus) {
    switch (bus) {
    case STORAGE_BUS_SCSI:
    case STORAGE_BUS_ATA:
    case STORAGE_BUS_SATA:
    case STORAGE_BUS_SAS:
    case STORAGE_BUS_NVME:
    case STORAGE_BUS_RAID:
        return true;
    default:
        return false;
    }
}

} // namespace

bool storage_disks_stay(const std::vector<StorageDisk> &disks, std::string *why) {
    if (disks.empty()) {
        *why = "the volume names no disk";
        return false;
    }
    for (size_t i = 0; i < disks.size(); ++i) {
        const char *name = bus_name(disks[i].BusType);
        const std::string disk = "disk " + std::to_string(i + 1) + " of the volume";
        if (!bus_stays(disks[i].BusType)) {
            *why =
                disk + " is on " +
                (name != nullptr ? std::string(name) : "a bus of type " + std::to_string(disks[i].BusType));
            return false;
        }
        if (disks[i].RemovableMedia) {
            *why = disk + " holds a removable medium";
            return false;
        }
    }
    *why = "every disk of the volume is on a bus that is not unplugged in use";
    return true;
}

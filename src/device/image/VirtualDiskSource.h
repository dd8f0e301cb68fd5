#pragma once
// Virtual machine disks through their libraries: VHD and VHDX (libvhdi), VMDK (libvmdk) and
// QCOW2 (libqcow). A differencing or backed image is opened with its parents, found beside it.
#include <memory>
#include <string>

#include "device/DiskSource.h"

namespace vel {

enum class VirtualDiskKind { None, Vhdi, Vmdk, Qcow };

// Which library's signature the file carries.
VirtualDiskKind virtualDiskKind(const std::string& path);

// Opens path with the library of kind; nullptr with error set when it cannot be read.
std::shared_ptr<DiskSource> openVirtualDisk(VirtualDiskKind kind, const std::string& path,
                                            std::string& error);

}  // namespace vel

#include "support/SysfsTree.h"

#include <fstream>
#include <stdexcept>

namespace quillon::test {

namespace fs = std::filesystem;

namespace {

std::string devText(std::uint32_t major, std::uint32_t minor) {
  return std::to_string(major) + ":" + std::to_string(minor);
}

void write(const fs::path& file, std::string_view content, std::ios::openmode mode) {
  std::ofstream out(file, std::ios::binary | mode);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + file.string());
}

}  // namespace

SysfsTree::SysfsTree(const std::string& prefix) : dir_(prefix) {
  fs::create_directories(root_ / "proc" / "self");
  fs::create_directories(root_ / "sys" / "dev" / "block");
  appendMountInfo(kBaseMounts);
  // The root hub above every stick has a serial number of its own.
  writeSys("devices/pci0000:00/0000:00:14.0/usb2/serial", "0000:00:14.0\n");
  writeSys("devices/pci0000:00/0000:00:14.0/usb2/idVendor", "1d6b\n");
}

void SysfsTree::writeSys(const fs::path& relative, std::string_view content) {
  fs::create_directories((root_ / "sys" / relative).parent_path());
  write(root_ / "sys" / relative, content, std::ios::trunc);
}

void SysfsTree::linkSys(const fs::path& relative, const std::string& target) {
  const fs::path link = root_ / "sys" / relative;
  fs::create_directories(link.parent_path());
  std::error_code ec;
  fs::remove(link, ec);
  fs::create_symlink(target, link);
}

void SysfsTree::removeSys(const fs::path& relative) { fs::remove_all(root_ / "sys" / relative); }

fs::path SysfsTree::addDisk(const fs::path& scsi, const Stick& s) {
  for (const auto& [name, value] :
       {std::pair{"vendor", &s.vendor}, {"model", &s.model}, {"rev", &s.rev}, {"type", &s.type}})
    if (*value) writeSys(scsi / name, **value);
  const fs::path disk = scsi / "block" / s.disk;
  writeSys(disk / "dev", devText(s.major, s.minor) + "\n");
  if (s.removable) writeSys(disk / "removable", *s.removable);
  if (s.ro) writeSys(disk / "ro", *s.ro);
  linkSys(disk / "device", "../../../" + scsi.filename().string());
  linkSys(fs::path("dev/block") / devText(s.major, s.minor), "../../" + disk.string());
  if (s.partitioned) {
    const fs::path part = disk / (s.disk + "1");
    writeSys(part / "dev", devText(s.major, s.minor + 1) + "\n");
    writeSys(part / "partition", "1\n");
    writeSys(part / "ro", "0\n");
    linkSys(fs::path("dev/block") / devText(s.major, s.minor + 1), "../../" + part.string());
  }
  return disk;
}

fs::path SysfsTree::addUsbStick(const Stick& s) {
  const std::string h = std::to_string(s.scsiHost);
  const fs::path usbDevice = fs::path("devices/pci0000:00/0000:00:14.0/usb2") / s.usbPort;
  writeSys(usbDevice / "idVendor", "abcd\n");
  if (s.serial) writeSys(usbDevice / "serial", *s.serial);
  writeSys(usbDevice / (s.usbPort + ":1.0") / "bInterfaceNumber", "00\n");
  return addDisk(usbDevice / (s.usbPort + ":1.0") / ("host" + h) / ("target" + h + ":0:0") / (h + ":0:0:0"), s);
}

fs::path SysfsTree::addFixedDisk(const std::string& name, std::uint32_t major, std::uint32_t minor) {
  // Stick's fields in order up to `removable`: no USB device, no serial number, not removable.
  const Stick disk{name, major, minor, "", 0, "ATA     \n", "QDISK 500       \n", "2B6Q\n", std::nullopt, "0\n", "0\n"};
  return addDisk("devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0", disk);
}

void SysfsTree::mount(std::uint32_t major, std::uint32_t minor, const std::string& mountPoint,
                      const std::string& fsType, const std::string& root) {
  const int id = nextMountId_++;
  appendMountInfo(std::to_string(id) + " 26 " + devText(major, minor) + " " + root + " " + mountPoint +
                  " rw,nosuid,nodev,relatime shared:" + std::to_string(id) + " - " + fsType + " /dev/x" +
                  std::to_string(minor) + " rw,fmask=0022\n");
}

void SysfsTree::appendMountInfo(std::string_view text) {
  write(root_ / "proc" / "self" / "mountinfo", text, std::ios::app);
}

}  // namespace quillon::test

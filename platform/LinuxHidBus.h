#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/Hid.h"
#include "platform/Result.h"

namespace platform {

// The HID service on Linux hidraw. Nodes are the entries of <sysfs>/class/hidraw, each at
// <dev>/hidrawN; their descriptions come from sysfs alone (uevent, the USB device's bcdDevice and
// the report descriptor), so describing an interface needs no access to its node.
//
// A node carries every top-level collection of a USB interface. When its reports are numbered,
// each collection is an interface of its own, at <dev>/hidrawN#C (C from 1, in descriptor order):
// it is described by that collection alone, reads pass over the other collections' reports, and
// writes carry its report IDs. A node with one collection, or without report IDs, is one
// interface at <dev>/hidrawN.
//
// Sharing: hidraw has no sharing modes. An exclusive open takes flock(LOCK_EX | LOCK_NB) on the
// node and any other read or write open takes flock(LOCK_SH | LOCK_NB), so an exclusive open fails
// while another handle is open, and the other way round. The lock is advisory: it binds programs
// that lock the node, not those that merely open it.
class LinuxHidBus : public IHidBus {
public:
    explicit LinuxHidBus(std::string sysfsRoot = "/sys", std::string devRoot = "/dev");

    Result<std::vector<std::string>> listInterfaces() override;
    Result<std::unique_ptr<IHidDevice>> open(const std::string& path, HidOpenMode mode) override;

    // The description of the interface at path, read from sysfs.
    Result<HidDescription> describe(const std::string& path) const;

private:
    // The interfaces of the node <dev>/name, in collection order.
    Result<std::vector<HidDescription>> describeNode(const std::string& name) const;

    std::string m_sysfsRoot;
    std::string m_devRoot;
};

}  // namespace platform

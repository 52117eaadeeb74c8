// The questions the sections ask of the device tree and the registry, each
// answered in one place: which USB nodes are present, what a node's text
// property says, where a node's hardware key is, whether an interface of a
// class is there. The sections are the policy over these answers; the
// platform calls, their order and their result codes are here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/devices.h"
#include "platform/handles.h"
#include "util/guid.h"

namespace vq4 {

// The pause between two looks at the device tree while the repair waits for
// a node or an interface.
inline constexpr std::uint32_t kDevicePollMs = 250;

// ---- Present USB nodes ----

// The present nodes of the USB enumerator, in system order, walked one at a
// time: a node is read while the walk stands on it, so what the caller asks
// of one node happens before the next node is listed.
struct PresentUsbNodes {
    platform::DevInfoSet set;
    std::uint32_t error = 0;  // SetupDiGetClassDevsW's; nothing is listed when it is not 0
    std::uint32_t next_index = 0;
};

struct PresentNode {
    platform::DeviceInfoData device;
    std::wstring instance_id;
};

PresentUsbNodes present_usb_nodes();

// Moves to the next node whose instance id can be read (nodes whose id
// cannot be read are passed over); absent past the last node.
std::optional<PresentNode> next_present_node(PresentUsbNodes& nodes);

// ---- What one node says ----

// A property as text; empty when absent, unreadable or over 1024 bytes.
std::wstring read_text_property(const platform::DevInfoSet& set, const platform::DeviceInfoData& device,
                                std::uint32_t property);

// The node's hardware key ('Device Parameters', DIREG_DEV) opened with
// `access`; the platform's error code.
std::uint32_t open_node_hardware_key(const platform::DevInfoSet& set, const platform::DeviceInfoData& device,
                                     std::uint32_t access, platform::RegKey& key);

enum class KeyOpening { Opened, NodesNotListed, NodeDisappeared, KeyNotOpened };

struct HardwareKey {
    KeyOpening opening = KeyOpening::NodesNotListed;
    platform::RegKey key;  // open, for reading, when Opened
};

// Finds the node again among the present USB nodes (instance ids compared
// without regard to ASCII case) and opens its hardware key for reading. The
// node list is released before this returns, whether or not the key opened.
HardwareKey open_hardware_key(const std::wstring& instance_id);

// A 32-bit value of a key: present only as REG_DWORD, little-endian.
std::optional<std::uint32_t> read_dword_value(const platform::RegKey& key, const std::wstring& name);

// ---- Device interfaces ----

// True when a present device interface of `interface_class` exists on the
// node `instance_id`.
bool interface_present(const Guid& interface_class, const std::wstring& instance_id);

// The device path of the first present interface of `interface_class`, on
// any device; absent when there is none or its path cannot be read.
std::optional<std::wstring> interface_path(const Guid& interface_class);

}  // namespace vq4

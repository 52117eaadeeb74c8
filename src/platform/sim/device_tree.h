// The simulated device tree's changes: what DIF_REMOVE, re-enumeration and
// a property-change restart do to the machine's nodes, hardware keys and
// device interfaces, and how virtual time brings late nodes and interfaces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/sim/machine.h"

namespace vq4::sim {

// "HKLM\SYSTEM\CurrentControlSet\Enum\<id>": the key Windows deletes with the node.
std::wstring instance_key_path(const std::wstring& instance_id);

// The node's key of the USB descriptor cache prefix, "HKLM\...\usbflags\" +
// VID + PID of its id (the revision's four digits follow in a key's name).
std::wstring descriptor_cache_prefix(const std::wstring& instance_id);

// DIF_REMOVE with DI_REMOVEDEVICE_GLOBAL: the node leaves the tree and the
// system, its Enum key is deleted, nodes below it lose their devnodes (they
// stay as phantoms). Attached hardware is remembered for re-enumeration.
void remove_device(const std::wstring& instance_id);

// The DI_NEEDREBOOT / DI_NEEDRESTART flags that DIF_REMOVE of this node
// leaves instead of removing it, or 0. Windows cannot stop a device that a
// program holds open: a handle on an interface of the node, or of a present
// node below it, vetoes the query-remove and the removal waits for the next
// restart (DI_NEEDREBOOT); the machine file can also script the flags.
std::uint32_t removal_left_to_restart(const std::wstring& instance_id);

// CM_Reenumerate_DevNode on a present node: removed or orphaned nodes below
// it come back (at once, later, or never, as each node says).
void reenumerate_below(const std::wstring& instance_id);

// DIF_PROPERTYCHANGE (DICS_PROPCHANGE): the node stops and starts again;
// WinUSB re-reads the interface GUIDs of its hardware key.
void restart_device(const std::wstring& instance_id);

// Sleep: moves the virtual clock; nodes and interfaces that are due arrive.
void advance_clock(std::uint64_t milliseconds);

// The place in m.devices of the first node whose parents never reach a
// root (it is in a cycle of parents or below one); in time linear in the
// number of nodes. A node whose parent is not in the tree counts as a root.
std::optional<std::size_t> first_node_in_parent_cycle(const Machine& m);

// The device path Windows gives an interface of that GUID on that node.
std::wstring interface_path(const std::wstring& instance_id, const std::wstring& guid);

}  // namespace vq4::sim

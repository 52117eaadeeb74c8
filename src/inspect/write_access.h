// Who may change a file or folder: an elevated process runs or trusts only
// what SYSTEM, Administrators and TrustedInstaller alone can change, since
// anything a user's program can write would otherwise run (or be imported
// into the registry) with administrator rights.
#pragma once

#include <cstdint>
#include <string>

#include "platform/security.h"

namespace vq4 {

// The rights that let a holder change an object or its protection: write,
// append, delete a child, delete, WRITE_DAC, WRITE_OWNER, and the generic
// write and all rights.
inline constexpr std::uint32_t kChangeRights = 0x2 | 0x4 | 0x40 | 0x10000 | 0x40000 | 0x80000 | 0x40000000 | 0x10000000;

// SYSTEM, Administrators or TrustedInstaller.
bool is_administrative_sid(const std::wstring& sid);

// A SID as a person reads it: the well-known name for the common groups
// (Everyone, Users, Authenticated Users, ...), else the SID itself.
std::wstring sid_display_name(const std::wstring& sid);

// Why someone other than the three may change an object with this security
// descriptor: "owned by <name>", "<name> may change it", "it has no DACL
// (everyone may change it)"; empty when only the three may. An ACE that
// applies only to children (INHERIT_ONLY_ACE) does not count; a denying ACE
// grants nothing; an allowing one whose SID is unknown counts against it.
std::wstring who_else_may_change(const platform::ObjectSecurity& security);

// The same for a path: its security read with GetNamedSecurityInfoW. When
// it cannot be read, the reason says so with the error code: an unreadable
// descriptor is not trusted.
std::wstring who_else_may_change_path(const std::wstring& path);

}  // namespace vq4

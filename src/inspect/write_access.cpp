#include "inspect/write_access.h"

#include "util/text.h"

namespace vq4 {

namespace {

constexpr std::uint8_t kInheritOnlyAce = 0x08;

bool is_denying_ace(std::uint8_t type) {
    // ACCESS_DENIED, ACCESS_DENIED_OBJECT, ACCESS_DENIED_CALLBACK, ACCESS_DENIED_CALLBACK_OBJECT.
    return type == 1 || type == 6 || type == 10 || type == 12;
}

}  // namespace

bool is_administrative_sid(const std::wstring& sid) {
    return sid == L"S-1-5-18" || sid == L"S-1-5-32-544" ||
           sid == L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
}

std::wstring sid_display_name(const std::wstring& sid) {
    struct Known {
        const wchar_t* sid;
        const wchar_t* name;
    };
    static const Known known[] = {
        {L"S-1-1-0", L"Everyone"},
        {L"S-1-3-0", L"CREATOR OWNER"},
        {L"S-1-3-4", L"OWNER RIGHTS"},
        {L"S-1-5-4", L"INTERACTIVE"},
        {L"S-1-5-11", L"Authenticated Users"},
        {L"S-1-5-32-545", L"Users"},
        {L"S-1-5-32-546", L"Guests"},
    };
    for (const Known& k : known) {
        if (sid == k.sid) return k.name;
    }
    return sid.empty() ? std::wstring(L"an unknown account") : sid;
}

std::wstring who_else_may_change(const platform::ObjectSecurity& security) {
    if (!is_administrative_sid(security.owner)) return L"owned by " + sid_display_name(security.owner);
    if (!security.dacl_present) return L"it has no DACL (everyone may change it)";
    for (const platform::AccessEntry& ace : security.dacl) {
        if ((ace.flags & kInheritOnlyAce) != 0 || is_denying_ace(ace.type)) continue;
        if ((ace.mask & kChangeRights) == 0 || is_administrative_sid(ace.sid)) continue;
        return sid_display_name(ace.sid) + L" may change it";
    }
    return {};
}

std::wstring who_else_may_change_path(const std::wstring& path) {
    platform::ObjectSecurity security;
    const std::uint32_t error = platform::get_file_security(path, security);
    if (error != 0) return L"its security cannot be read (error code=" + decimal(error) + L")";
    return who_else_may_change(security);
}

}  // namespace vq4

// Contract of the registry operations (src/platform/registry.h): the same
// assertions run against the simulated machine and against the real
// registry (Wine, or Windows when run there).
#include <algorithm>
#include <string>
#include <vector>

#include "contract/contract_test.h"
#include "platform/registry.h"
#include "platform/win_constants.h"
#include "util/text.h"

namespace vq4::contract {
namespace {

namespace s = situation;
using platform::RegKey;
using platform::RegRead;
using platform::RegRoot;

constexpr std::int32_t status_of(std::uint32_t code) { return static_cast<std::int32_t>(code); }

const std::int32_t kSuccess = status_of(win::ERROR_SUCCESS_);
const std::int32_t kFileNotFound = status_of(win::ERROR_FILE_NOT_FOUND_);
const std::int32_t kAccessDenied = status_of(win::ERROR_ACCESS_DENIED_);
const std::int32_t kMoreData = status_of(win::ERROR_MORE_DATA_);
const std::int32_t kNoMoreItems = status_of(win::ERROR_NO_MORE_ITEMS_);
const std::int32_t kKeyDeleted = status_of(win::ERROR_KEY_DELETED_);

std::string ascii(const std::wstring& text) {
    std::string out;
    for (const wchar_t c : text) out.push_back(static_cast<unsigned>(c) < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

std::int32_t open_lm(const std::wstring& subkey, std::uint32_t access, RegKey& out) {
    return platform::reg_open_key(RegRoot::LocalMachine, s::key_path(subkey), access, out);
}

class RegistryContract : public Contract {};

// ---- Opening keys ----

TEST_F(RegistryContract, OpensExistingKeysAndReportsMissingOnes) {
    s::add_key(L"Present\\Child");
    s::add_value(L"Present", L"Marker", win::REG_DWORD_, s::dword_bytes(7));

    RegKey missing;
    EXPECT_EQ(open_lm(L"Missing", win::KEY_READ_, missing), kFileNotFound);
    EXPECT_FALSE(missing.valid());
    EXPECT_EQ(open_lm(L"Missing\\Child", win::KEY_READ_, missing), kFileNotFound);
    EXPECT_FALSE(missing.valid());

    // Key names are compared without regard to letter case.
    RegKey upper;
    EXPECT_EQ(platform::reg_open_key(RegRoot::LocalMachine, to_upper_ascii(s::key_path(L"present\\child")),
                                     win::KEY_READ_, upper),
              kSuccess);
    EXPECT_TRUE(upper.valid());

    RegKey parent;
    ASSERT_EQ(open_lm(L"Present", win::KEY_READ_, parent), kSuccess);
    RegKey child;
    EXPECT_EQ(platform::reg_open_subkey(parent, L"Child", win::KEY_READ_, child), kSuccess);
    EXPECT_TRUE(child.valid());
    RegKey absent;
    EXPECT_EQ(platform::reg_open_subkey(parent, L"Other", win::KEY_READ_, absent), kFileNotFound);
    EXPECT_FALSE(absent.valid());

    // An empty subkey name opens the parent key itself again.
    RegKey same;
    ASSERT_EQ(platform::reg_open_subkey(parent, L"", win::KEY_READ_, same), kSuccess);
    const RegRead read = platform::reg_query_value(same, L"Marker", 4);
    EXPECT_EQ(read.status, kSuccess);
    EXPECT_EQ(read.data, s::dword_bytes(7));
}

// ---- Reading values ----

TEST_F(RegistryContract, StringValueOf300BytesAgainstBufferSizes) {
    const std::vector<std::uint8_t> text = s::sz_bytes(std::wstring(149, L'x'));  // 149 characters + NUL
    ASSERT_EQ(text.size(), 300u);
    s::add_value(L"Version", L"ProductName", win::REG_SZ_, text);
    RegKey key;
    ASSERT_EQ(open_lm(L"Version", win::KEY_READ_, key), kSuccess);

    struct Case {
        const char* what;
        std::uint32_t capacity;
        std::int32_t status;
    };
    const Case cases[] = {
        {"roomy buffer", 520, kSuccess},
        {"exact fit, no room for an extra terminator", 300, kSuccess},
        {"one byte short", 299, kMoreData},
        {"too small by half", 150, kMoreData},
        {"zero bytes", 0, kMoreData},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const RegRead read = platform::reg_query_value(key, L"ProductName", c.capacity);
        EXPECT_EQ(read.status, c.status);
        EXPECT_EQ(read.type, win::REG_SZ_);
        // Bytes copied on success, bytes needed on ERROR_MORE_DATA: 300 either way.
        EXPECT_EQ(read.size, 300u);
        if (c.status == kSuccess) {
            EXPECT_EQ(read.data, text);
        } else {
            EXPECT_TRUE(read.data.empty());
        }
    }
}

TEST_F(RegistryContract, NumbersReadAtTheirExactSize) {
    s::add_value(L"Numbers", L"RevisionId", win::REG_DWORD_, s::dword_bytes(0x01020304));
    s::add_value(L"Numbers", L"Stamp", win::REG_QWORD_, s::qword_bytes(0x1122334455667788ull));
    RegKey key;
    ASSERT_EQ(open_lm(L"Numbers", win::KEY_READ_, key), kSuccess);

    struct Case {
        const wchar_t* name;
        std::uint32_t capacity;
        std::int32_t status;
        std::uint32_t type;
        std::uint32_t size;
    };
    const Case cases[] = {
        {L"RevisionId", 4, kSuccess, win::REG_DWORD_, 4},  // a DWORD read as 4 bytes
        {L"RevisionId", 520, kSuccess, win::REG_DWORD_, 4},
        {L"RevisionId", 3, kMoreData, win::REG_DWORD_, 4},
        {L"Stamp", 8, kSuccess, win::REG_QWORD_, 8},
        {L"Stamp", 4, kMoreData, win::REG_QWORD_, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ascii(c.name) + " into " + std::to_string(c.capacity) + " bytes");
        const RegRead read = platform::reg_query_value(key, c.name, c.capacity);
        EXPECT_EQ(read.status, c.status);
        EXPECT_EQ(read.type, c.type);
        EXPECT_EQ(read.size, c.size);
        EXPECT_EQ(read.data.size(), c.status == kSuccess ? c.size : 0u);
    }
    EXPECT_EQ(platform::reg_query_value(key, L"RevisionId", 4).data, s::dword_bytes(0x01020304));
    EXPECT_EQ(platform::reg_query_value(key, L"Stamp", 8).data, s::qword_bytes(0x1122334455667788ull));
}

TEST_F(RegistryContract, MissingValueIsFileNotFoundWithNothingReported) {
    s::add_value(L"Sparse", L"Present", win::REG_SZ_, s::sz_bytes(L"here"));
    s::add_value(L"Sparse\\Deeper", L"Absent", win::REG_SZ_, s::sz_bytes(L"one level down"));
    RegKey key;
    ASSERT_EQ(open_lm(L"Sparse", win::KEY_READ_, key), kSuccess);

    // A value of a subkey is not a value of the key.
    for (const std::uint32_t capacity : {520u, 0u}) {
        SCOPED_TRACE(capacity);
        const RegRead read = platform::reg_query_value(key, L"Absent", capacity);
        EXPECT_EQ(read.status, kFileNotFound);
        EXPECT_EQ(read.type, win::REG_NONE_);
        EXPECT_EQ(read.size, 0u);
        EXPECT_TRUE(read.data.empty());
    }
    const RegRead size_only = platform::reg_query_value_size(key, L"Absent");
    EXPECT_EQ(size_only.status, kFileNotFound);
    EXPECT_EQ(size_only.type, win::REG_NONE_);
    EXPECT_EQ(size_only.size, 0u);
}

TEST_F(RegistryContract, DefaultValueAndValueNamesWithoutLetterCase) {
    const std::vector<std::uint8_t> dll = s::sz_bytes(L"C:\\Program Files\\Quorvane\\Tonvela SDK\\qtv_api_core.dll");
    s::add_value(L"WithDefault", L"", win::REG_SZ_, dll);
    s::add_value(L"WithDefault", L"ThreadingModel", win::REG_SZ_, s::sz_bytes(L"Both"));
    s::add_value(L"NoDefault", L"ThreadingModel", win::REG_SZ_, s::sz_bytes(L"Both"));

    RegKey with_default;
    ASSERT_EQ(open_lm(L"WithDefault", win::KEY_READ_, with_default), kSuccess);
    const RegRead read = platform::reg_query_value(with_default, L"", 520);
    EXPECT_EQ(read.status, kSuccess);
    EXPECT_EQ(read.type, win::REG_SZ_);
    EXPECT_EQ(read.data, dll);
    EXPECT_EQ(platform::reg_query_value(with_default, L"THREADINGMODEL", 520).data, s::sz_bytes(L"Both"));

    // A key whose default value was never set has none: RegQueryValueExW
    // does not invent an empty string.
    RegKey no_default;
    ASSERT_EQ(open_lm(L"NoDefault", win::KEY_READ_, no_default), kSuccess);
    EXPECT_EQ(platform::reg_query_value(no_default, L"", 520).status, kFileNotFound);
    EXPECT_EQ(platform::reg_query_value_size(no_default, L"").status, kFileNotFound);
}

TEST_F(RegistryContract, MultiStringAndEmptyValuesComeBackByteForByte) {
    const std::vector<std::uint8_t> guids = s::multi_sz_bytes(
        {L"{8E3F4A12-6B7C-4D2E-9F01-23456789ABCD}", L"{0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9}"});
    s::add_value(L"Device Parameters", L"DeviceInterfaceGUIDs", win::REG_MULTI_SZ_, guids);
    s::add_value(L"Device Parameters", L"Empty", win::REG_BINARY_, {});
    RegKey key;
    ASSERT_EQ(open_lm(L"Device Parameters", win::KEY_READ_, key), kSuccess);

    const RegRead whole = platform::reg_query_value(key, L"DeviceInterfaceGUIDs", 520);
    EXPECT_EQ(whole.status, kSuccess);
    EXPECT_EQ(whole.type, win::REG_MULTI_SZ_);
    EXPECT_EQ(whole.data, guids);  // both strings, each NUL and the final NUL

    // Without the final NUL's two bytes it does not fit.
    const auto short_capacity = static_cast<std::uint32_t>(guids.size() - 2);
    const RegRead cut = platform::reg_query_value(key, L"DeviceInterfaceGUIDs", short_capacity);
    EXPECT_EQ(cut.status, kMoreData);
    EXPECT_EQ(cut.size, guids.size());
    EXPECT_TRUE(cut.data.empty());

    const RegRead empty = platform::reg_query_value(key, L"Empty", 0);
    EXPECT_EQ(empty.status, kSuccess);
    EXPECT_EQ(empty.type, win::REG_BINARY_);
    EXPECT_EQ(empty.size, 0u);
    EXPECT_TRUE(empty.data.empty());
}

TEST_F(RegistryContract, SizeOnlyQueryGivesTypeAndSize) {
    s::add_value(L"Sizes", L"Text", win::REG_SZ_, s::sz_bytes(std::wstring(149, L'y')));
    s::add_value(L"Sizes", L"Number", win::REG_DWORD_, s::dword_bytes(1));
    RegKey key;
    ASSERT_EQ(open_lm(L"Sizes", win::KEY_READ_, key), kSuccess);

    const RegRead text = platform::reg_query_value_size(key, L"Text");
    EXPECT_EQ(text.status, kSuccess);
    EXPECT_EQ(text.type, win::REG_SZ_);
    EXPECT_EQ(text.size, 300u);
    EXPECT_TRUE(text.data.empty());

    const RegRead number = platform::reg_query_value_size(key, L"Number");
    EXPECT_EQ(number.status, kSuccess);
    EXPECT_EQ(number.type, win::REG_DWORD_);
    EXPECT_EQ(number.size, 4u);
}

TEST_F(RegistryContract, EachCallNeedsItsAccessRight) {
    s::add_value(L"Rights", L"Value", win::REG_DWORD_, s::dword_bytes(5));
    s::add_key(L"Rights\\Sub");

    // Reading values needs KEY_QUERY_VALUE, listing subkeys KEY_ENUMERATE_SUB_KEYS.
    RegKey enumerate_only;
    ASSERT_EQ(open_lm(L"Rights", win::KEY_ENUMERATE_SUB_KEYS_, enumerate_only), kSuccess);
    EXPECT_EQ(platform::reg_query_value(enumerate_only, L"Value", 4).status, kAccessDenied);
    EXPECT_EQ(platform::reg_query_value_size(enumerate_only, L"Value").status, kAccessDenied);
    std::wstring name = L"unchanged";
    EXPECT_EQ(platform::reg_enum_key(enumerate_only, 0, 260, name), kSuccess);
    EXPECT_EQ(name, L"Sub");

    RegKey query_only;
    ASSERT_EQ(open_lm(L"Rights", win::KEY_QUERY_VALUE_, query_only), kSuccess);
    EXPECT_EQ(platform::reg_query_value(query_only, L"Value", 4).status, kSuccess);
    name = L"unchanged";
    EXPECT_EQ(platform::reg_enum_key(query_only, 0, 260, name), kAccessDenied);
    EXPECT_EQ(name, L"unchanged");
}

// ---- Listing subkeys ----

TEST_F(RegistryContract, KeyWithThreeSubkeysThenNoMoreItems) {
    const std::vector<std::wstring> created = {L"Charlie5", L"alpha", L"Bravo"};
    for (const std::wstring& name : created) s::add_key(L"Parent\\" + name);
    s::add_key(L"Parent\\alpha\\NotADirectChild");
    s::add_key(L"Empty");

    RegKey key;
    ASSERT_EQ(open_lm(L"Parent", win::KEY_READ_, key), kSuccess);
    std::vector<std::wstring> listed;
    std::uint32_t index = 0;
    std::int32_t status = kSuccess;
    for (; index < 10; ++index) {
        std::wstring name;
        status = platform::reg_enum_key(key, index, 260, name);
        if (status != kSuccess) break;
        listed.push_back(name);
    }
    EXPECT_EQ(status, kNoMoreItems);
    EXPECT_EQ(index, 3u);
    // Microsoft documents no order for RegEnumKeyExW, so the contract holds
    // none: the same names, with the letter case they were created with.
    std::vector<std::wstring> expected = created;
    std::sort(expected.begin(), expected.end());
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, expected);

    std::wstring name;
    EXPECT_EQ(platform::reg_enum_key(key, 7, 260, name), kNoMoreItems);

    RegKey empty;
    ASSERT_EQ(open_lm(L"Empty", win::KEY_READ_, empty), kSuccess);
    EXPECT_EQ(platform::reg_enum_key(empty, 0, 260, name), kNoMoreItems);
}

TEST_F(RegistryContract, SubkeyNameBufferMustHoldTheTerminator) {
    s::add_key(L"Parent\\Charlie5");
    s::add_key(L"Parent\\Ab");
    RegKey key;
    ASSERT_EQ(open_lm(L"Parent", win::KEY_READ_, key), kSuccess);

    // Find where the long name is listed, then ask again with small buffers.
    std::uint32_t at = 0;
    std::wstring name;
    while (platform::reg_enum_key(key, at, 260, name) == kSuccess && name != L"Charlie5") ++at;
    ASSERT_EQ(name, L"Charlie5");

    struct Case {
        std::uint32_t capacity;
        std::int32_t status;
    };
    for (const Case c : {Case{7, kMoreData}, Case{8, kMoreData}, Case{9, kSuccess}}) {
        SCOPED_TRACE(c.capacity);
        std::wstring got = L"untouched";
        EXPECT_EQ(platform::reg_enum_key(key, at, c.capacity, got), c.status);
        EXPECT_EQ(got, c.status == kSuccess ? std::wstring(L"Charlie5") : std::wstring(L"untouched"));
    }
}

// ---- Listing values ----

TEST_F(RegistryContract, KeyWithThreeValuesThenNoMoreItems) {
    s::add_value(L"Values", L"", win::REG_SZ_, s::sz_bytes(L"default"));
    s::add_value(L"Values", L"Quote\"Back\\slash", win::REG_BINARY_, {1, 2, 3});
    s::add_value(L"Values", L"Counter", win::REG_DWORD_, s::dword_bytes(9));
    s::add_key(L"Values\\Sub");
    s::add_key(L"Empty");

    RegKey key;
    ASSERT_EQ(open_lm(L"Values", win::KEY_READ_, key), kSuccess);
    std::vector<std::wstring> listed;
    std::uint32_t index = 0;
    std::int32_t status = kSuccess;
    for (; index < 10; ++index) {
        std::wstring name;
        status = platform::reg_enum_value(key, index, 16384, name);
        if (status != kSuccess) break;
        listed.push_back(name);
    }
    EXPECT_EQ(status, kNoMoreItems);
    EXPECT_EQ(index, 3u) << "the subkey is no value";
    // No documented order: the same names, the default value as "".
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, (std::vector<std::wstring>{L"", L"Counter", L"Quote\"Back\\slash"}));

    RegKey empty;
    ASSERT_EQ(open_lm(L"Empty", win::KEY_READ_, empty), kSuccess);
    std::wstring name = L"unchanged";
    EXPECT_EQ(platform::reg_enum_value(empty, 0, 16384, name), kNoMoreItems);
    EXPECT_EQ(name, L"unchanged");
}

TEST_F(RegistryContract, ValueNameBufferMustHoldTheTerminatorAndTheKeyNeedsQueryValue) {
    s::add_value(L"Values", L"Charlie5", win::REG_DWORD_, s::dword_bytes(1));
    RegKey key;
    ASSERT_EQ(open_lm(L"Values", win::KEY_READ_, key), kSuccess);
    struct Case {
        std::uint32_t capacity;
        std::int32_t status;
    };
    for (const Case c : {Case{8, kMoreData}, Case{9, kSuccess}}) {
        SCOPED_TRACE(c.capacity);
        std::wstring got = L"untouched";
        EXPECT_EQ(platform::reg_enum_value(key, 0, c.capacity, got), c.status);
        EXPECT_EQ(got, c.status == kSuccess ? std::wstring(L"Charlie5") : std::wstring(L"untouched"));
    }

    RegKey enumerate_only;
    ASSERT_EQ(open_lm(L"Values", win::KEY_ENUMERATE_SUB_KEYS_, enumerate_only), kSuccess);
    std::wstring name = L"unchanged";
    EXPECT_EQ(platform::reg_enum_value(enumerate_only, 0, 16384, name), kAccessDenied);
    EXPECT_EQ(name, L"unchanged");
}

// ---- Writing and deleting ----

TEST_F(RegistryContract, SettingAValueNeedsKeySetValue) {
    s::add_value(L"Target", L"Existing", win::REG_DWORD_, s::dword_bytes(1));
    const std::vector<std::uint8_t> guids = s::multi_sz_bytes({L"{8E3F4A12-6B7C-4D2E-9F01-23456789ABCD}"});

    RegKey read_only;
    ASSERT_EQ(open_lm(L"Target", win::KEY_READ_, read_only), kSuccess);
    EXPECT_EQ(platform::reg_set_value(read_only, L"DeviceInterfaceGUIDs", win::REG_MULTI_SZ_, guids), kAccessDenied);
    EXPECT_FALSE(s::stored_value(L"Target", L"DeviceInterfaceGUIDs").has_value());

    RegKey writable;
    ASSERT_EQ(open_lm(L"Target", win::KEY_SET_VALUE_ | win::KEY_QUERY_VALUE_, writable), kSuccess);
    EXPECT_EQ(platform::reg_set_value(writable, L"DeviceInterfaceGUIDs", win::REG_MULTI_SZ_, guids), kSuccess);
    const auto stored = s::stored_value(L"Target", L"DeviceInterfaceGUIDs");
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->type, win::REG_MULTI_SZ_);
    EXPECT_EQ(stored->data, guids);
    EXPECT_EQ(platform::reg_query_value(writable, L"DeviceInterfaceGUIDs", 520).data, guids);

    // Setting an existing value replaces its type and data, whatever the
    // letter case of the name.
    const std::vector<std::uint8_t> text = s::sz_bytes(L"{8E3F4A12-6B7C-4D2E-9F01-23456789ABCD}");
    EXPECT_EQ(platform::reg_set_value(writable, L"EXISTING", win::REG_SZ_, text), kSuccess);
    const auto replaced = s::stored_value(L"Target", L"Existing");
    ASSERT_TRUE(replaced.has_value());
    EXPECT_EQ(replaced->type, win::REG_SZ_);
    EXPECT_EQ(replaced->data, text);

    // The empty name sets the default value.
    EXPECT_EQ(platform::reg_set_value(writable, L"", win::REG_SZ_, s::sz_bytes(L"default")), kSuccess);
    const auto default_value = s::stored_value(L"Target", L"");
    ASSERT_TRUE(default_value.has_value());
    EXPECT_EQ(default_value->data, s::sz_bytes(L"default"));
}

TEST_F(RegistryContract, DeleteTreeRemovesTheKeyAndEverythingBelow) {
    s::add_value(L"usbflags\\2A7D5E3C0100", L"osvc", win::REG_BINARY_, {0x00, 0x00});
    s::add_value(L"usbflags\\2A7D5E3C0100\\Deeper", L"x", win::REG_DWORD_, s::dword_bytes(1));
    s::add_key(L"usbflags\\Sibling");

    EXPECT_EQ(platform::reg_delete_tree(RegRoot::LocalMachine, s::key_path(L"usbflags\\2A7D5E3C0100")), kSuccess);
    EXPECT_FALSE(s::key_exists(L"usbflags\\2A7D5E3C0100\\Deeper"));
    EXPECT_FALSE(s::key_exists(L"usbflags\\2A7D5E3C0100"));
    EXPECT_TRUE(s::key_exists(L"usbflags\\Sibling"));
    EXPECT_TRUE(s::key_exists(L"usbflags"));

    EXPECT_EQ(platform::reg_delete_tree(RegRoot::LocalMachine, s::key_path(L"usbflags\\2A7D5E3C0100")),
              kFileNotFound);
    EXPECT_EQ(platform::reg_delete_tree(RegRoot::LocalMachine, s::key_path(L"NeverThere\\Below")), kFileNotFound);
}

TEST_F(RegistryContract, DeleteKeyRemovesOnlyKeysWithoutSubkeys) {
    s::add_value(L"Leaf", L"v", win::REG_SZ_, s::sz_bytes(L"values do not stop the delete"));
    s::add_key(L"Branch\\Twig");

    EXPECT_EQ(platform::reg_delete_key(RegRoot::LocalMachine, s::key_path(L"Leaf")), kSuccess);
    EXPECT_FALSE(s::key_exists(L"Leaf"));

    EXPECT_EQ(platform::reg_delete_key(RegRoot::LocalMachine, s::key_path(L"Branch")), kAccessDenied);
    EXPECT_TRUE(s::key_exists(L"Branch\\Twig"));
    EXPECT_EQ(platform::reg_delete_key(RegRoot::LocalMachine, s::key_path(L"Branch\\Twig")), kSuccess);
    EXPECT_EQ(platform::reg_delete_key(RegRoot::LocalMachine, s::key_path(L"Branch")), kSuccess);
    EXPECT_FALSE(s::key_exists(L"Branch"));

    EXPECT_EQ(platform::reg_delete_key(RegRoot::LocalMachine, s::key_path(L"Leaf")), kFileNotFound);
}

TEST_F(RegistryContract, KeyDeletedWhileOpen) {
    s::add_value(L"Doomed", L"v", win::REG_DWORD_, s::dword_bytes(1));
    s::add_key(L"Doomed\\Sub");
    RegKey key;
    ASSERT_EQ(open_lm(L"Doomed", win::KEY_READ_ | win::KEY_SET_VALUE_, key), kSuccess);
    ASSERT_EQ(platform::reg_delete_tree(RegRoot::LocalMachine, s::key_path(L"Doomed")), kSuccess);

    EXPECT_EQ(platform::reg_query_value(key, L"v", 4).status, kKeyDeleted);
    EXPECT_EQ(platform::reg_query_value_size(key, L"v").status, kKeyDeleted);
    std::wstring name;
    EXPECT_EQ(platform::reg_enum_key(key, 0, 260, name), kKeyDeleted);
    EXPECT_EQ(platform::reg_set_value(key, L"v", win::REG_DWORD_, s::dword_bytes(2)), kKeyDeleted);
    EXPECT_FALSE(s::key_exists(L"Doomed"));
}

TEST_F(RegistryContract, WithoutAdministratorRightsMachineKeysAreReadOnly) {
    s::add_value(L"Guarded", L"v", win::REG_DWORD_, s::dword_bytes(1));
    s::add_key(L"Guarded\\Sub");
    // Wine runs every process elevated; on Windows the suite itself must run
    // elevated to write its keys. Only the simulated machine can drop rights.
    if (!s::arrange_not_elevated()) {
        GTEST_SKIP() << "this side cannot run the test without administrator rights";
    }

    RegKey read;
    ASSERT_EQ(open_lm(L"Guarded", win::KEY_READ_, read), kSuccess);
    EXPECT_EQ(platform::reg_query_value(read, L"v", 4).status, kSuccess);

    RegKey write;
    EXPECT_EQ(open_lm(L"Guarded", win::KEY_SET_VALUE_ | win::KEY_QUERY_VALUE_, write), kAccessDenied);
    EXPECT_FALSE(write.valid());
    // A missing key is still reported as missing.
    EXPECT_EQ(open_lm(L"Absent", win::KEY_SET_VALUE_, write), kFileNotFound);

    EXPECT_EQ(platform::reg_delete_tree(RegRoot::LocalMachine, s::key_path(L"Guarded")), kAccessDenied);
    EXPECT_EQ(platform::reg_delete_key(RegRoot::LocalMachine, s::key_path(L"Guarded\\Sub")), kAccessDenied);
    EXPECT_TRUE(s::key_exists(L"Guarded\\Sub"));
}

// ---- Registry views ----

std::wstring class_path(const std::wstring& below) { return L"CLSID\\" + s::clsid() + below; }

TEST_F(RegistryContract, ClassRegistrationsOfBothViews) {
    const std::vector<std::uint8_t> dll64 = s::sz_bytes(L"C:\\Program Files\\Quorvane\\qtv_api_core.dll");
    const std::vector<std::uint8_t> dll32 = s::sz_bytes(L"C:\\Program Files (x86)\\Quorvane\\qtv_api_core.dll");
    s::add_class_value(s::View::Bits64, L"InProcServer32", L"", win::REG_SZ_, dll64);
    s::add_class_value(s::View::Bits32, L"InProcServer32", L"", win::REG_SZ_, dll32);

    struct Case {
        const char* what;
        std::uint32_t access;
        const std::vector<std::uint8_t>& expected;
    };
    const Case cases[] = {
        {"KEY_WOW64_64KEY", win::KEY_READ_ | win::KEY_WOW64_64KEY_, dll64},
        {"KEY_WOW64_32KEY", win::KEY_READ_ | win::KEY_WOW64_32KEY_, dll32},
        {"no view flag in a 64-bit process", win::KEY_READ_, dll64},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RegKey key;
        ASSERT_EQ(platform::reg_open_key(RegRoot::ClassesRoot, class_path(L"\\InProcServer32"), c.access, key),
                  kSuccess);
        const RegRead read = platform::reg_query_value(key, L"", 520);
        EXPECT_EQ(read.status, kSuccess);
        EXPECT_EQ(read.data, c.expected);
    }
}

TEST_F(RegistryContract, ClassRegisteredOnlyIn64BitView) {
    s::add_class_value(s::View::Bits64, L"InProcServer32", L"", win::REG_SZ_, s::sz_bytes(L"C:\\x64.dll"));
    RegKey key;
    EXPECT_EQ(platform::reg_open_key(RegRoot::ClassesRoot, class_path(L""), win::KEY_READ_ | win::KEY_WOW64_32KEY_, key),
              kFileNotFound);
    EXPECT_EQ(platform::reg_open_key(RegRoot::ClassesRoot, class_path(L"\\InProcServer32"),
                                     win::KEY_READ_ | win::KEY_WOW64_64KEY_, key),
              kSuccess);
}

TEST_F(RegistryContract, ClassRegisteredOnlyIn32BitView) {
    s::add_class_value(s::View::Bits32, L"InProcServer32", L"", win::REG_SZ_, s::sz_bytes(L"C:\\x86.dll"));
    RegKey key;
    EXPECT_EQ(platform::reg_open_key(RegRoot::ClassesRoot, class_path(L""), win::KEY_READ_ | win::KEY_WOW64_64KEY_, key),
              kFileNotFound);
    EXPECT_EQ(platform::reg_open_key(RegRoot::ClassesRoot, class_path(L""), win::KEY_READ_, key), kFileNotFound);
    EXPECT_EQ(platform::reg_open_key(RegRoot::ClassesRoot, class_path(L"\\InProcServer32"),
                                     win::KEY_READ_ | win::KEY_WOW64_32KEY_, key),
              kSuccess);
    const RegRead read = platform::reg_query_value(key, L"", 520);
    EXPECT_EQ(read.data, s::sz_bytes(L"C:\\x86.dll"));
}

TEST_F(RegistryContract, SoftwareKeysOfThe64BitViewAreNotInThe32BitView) {
    s::add_value(L"Only64", L"v", win::REG_DWORD_, s::dword_bytes(64));
    RegKey key;
    EXPECT_EQ(open_lm(L"Only64", win::KEY_READ_ | win::KEY_WOW64_32KEY_, key), kFileNotFound);
    EXPECT_EQ(open_lm(L"Only64", win::KEY_READ_ | win::KEY_WOW64_64KEY_, key), kSuccess);
}

}  // namespace
}  // namespace vq4::contract

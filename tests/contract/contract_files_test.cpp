// Contract of the file operations (src/platform/files.h): opening, sharing,
// reading, seeking and attributes. The same assertions run against the
// simulated machine and against the real file system (Wine, or Windows).
// The profile reader is compared on both sides by tests/wine/platform_probe.cpp.
#include <string>
#include <vector>

#include "contract/contract_test.h"
#include "platform/files.h"
#include "platform/win_constants.h"

namespace vq4::contract {
namespace {

namespace s = situation;
using platform::FileHandle;

class FilesContract : public Contract {};

constexpr std::uint32_t kRead = win::GENERIC_READ_;
constexpr std::uint32_t kWrite = win::GENERIC_WRITE_;
constexpr std::uint32_t kShareRead = win::FILE_SHARE_READ_;
constexpr std::uint32_t kShareReadWrite = win::FILE_SHARE_READ_ | win::FILE_SHARE_WRITE_;

std::uint32_t open_existing(const std::wstring& path, std::uint32_t access, std::uint32_t share, FileHandle& out,
                            std::uint32_t flags = win::FILE_ATTRIBUTE_NORMAL_) {
    return platform::create_file(path, access, share, win::OPEN_EXISTING_, flags, out);
}

std::string text_of(const std::vector<std::uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

// ---- Opening ----

TEST_F(FilesContract, OpensExistingFilesAndNamesWhatIsMissing) {
    s::add_file(L"vxlinkapi_x64.dll.config.ini", "[DriverInterface]\r\n");
    s::add_folder(L"Sub");

    FileHandle file;
    ASSERT_EQ(open_existing(s::path_in_folder(L"vxlinkapi_x64.dll.config.ini"), kRead, kShareRead, file), 0u);
    EXPECT_TRUE(file.valid());

    struct Case {
        const char* what;
        std::wstring path;
        std::uint32_t flags;
        std::uint32_t error;
    };
    const Case cases[] = {
        {"another letter case", s::path_in_folder(L"VXLINKAPI_X64.DLL.CONFIG.INI"), win::FILE_ATTRIBUTE_NORMAL_, 0},
        {"missing file in an existing folder", s::path_in_folder(L"absent.ini"), win::FILE_ATTRIBUTE_NORMAL_,
         win::ERROR_FILE_NOT_FOUND_},
        {"missing file in a subfolder", s::path_in_folder(L"Sub\\absent.ini"), win::FILE_ATTRIBUTE_NORMAL_,
         win::ERROR_FILE_NOT_FOUND_},
        {"missing folder", s::path_in_folder(L"Missing\\absent.ini"), win::FILE_ATTRIBUTE_NORMAL_,
         win::ERROR_PATH_NOT_FOUND_},
        {"a file where a folder should be", s::path_in_folder(L"vxlinkapi_x64.dll.config.ini\\absent.ini"),
         win::FILE_ATTRIBUTE_NORMAL_, win::ERROR_PATH_NOT_FOUND_},
        {"a folder without FILE_FLAG_BACKUP_SEMANTICS", s::path_in_folder(L"Sub"), win::FILE_ATTRIBUTE_NORMAL_,
         win::ERROR_ACCESS_DENIED_},
        {"a folder with FILE_FLAG_BACKUP_SEMANTICS", s::path_in_folder(L"Sub"), win::FILE_FLAG_BACKUP_SEMANTICS_, 0},
        {"the scratch folder itself", s::folder(), win::FILE_FLAG_BACKUP_SEMANTICS_, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FileHandle other;
        EXPECT_EQ(open_existing(c.path, kRead, kShareReadWrite, other, c.flags), c.error);
        EXPECT_EQ(other.valid(), c.error == 0);
    }
}

TEST_F(FilesContract, FileHeldWithoutSharingRefusesReadersUntilReleased) {
    s::add_file(L"locked.bin", "busy");
    s::hold_file_exclusively(L"locked.bin");
    const std::wstring path = s::path_in_folder(L"locked.bin");

    struct Case {
        const char* what;
        std::uint32_t access;
        std::uint32_t share;
        std::uint32_t error;
    };
    const Case cases[] = {
        {"read, sharing read", kRead, kShareRead, win::ERROR_SHARING_VIOLATION_},
        {"read, sharing everything", kRead, kShareReadWrite | win::FILE_SHARE_DELETE_, win::ERROR_SHARING_VIOLATION_},
        {"read and write", kRead | kWrite, kShareReadWrite, win::ERROR_SHARING_VIOLATION_},
        // An open without data access (attributes only) is not subject to sharing.
        {"no data access", 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FileHandle file;
        EXPECT_EQ(open_existing(path, c.access, c.share, file), c.error);
        EXPECT_EQ(file.valid(), c.error == 0);
    }

    s::release_file(L"locked.bin");
    FileHandle file;
    EXPECT_EQ(open_existing(path, kRead, 0, file), 0u);
    std::vector<std::uint8_t> bytes;
    EXPECT_EQ(platform::read_file(file, 16, bytes), 0u);
    EXPECT_EQ(text_of(bytes), "busy");
}

// Another program (the maker's service) holding the file open with sharing:
// an open goes through exactly when each allows what the other asks for.
TEST_F(FilesContract, AFileHeldOpenWithSharingAdmitsWhatBothAllow) {
    constexpr std::uint32_t kDelete = 0x10000;
    constexpr std::uint32_t kShareAll = kShareReadWrite | win::FILE_SHARE_DELETE_;
    constexpr std::uint32_t kShareReadDelete = kShareRead | win::FILE_SHARE_DELETE_;
    struct Case {
        const char* what;
        std::uint32_t held_access, held_share;
        std::uint32_t access, share;
        std::uint32_t error;
    };
    const Case cases[] = {
        {"held to write, sharing read and write; a reader sharing read only", kRead | kWrite, kShareReadWrite, kRead,
         kShareRead, win::ERROR_SHARING_VIOLATION_},
        {"held to write, sharing read and write; a reader sharing everything", kRead | kWrite, kShareReadWrite, kRead,
         kShareAll, 0},
        {"held to delete, sharing read and delete; a reader sharing read only", kRead | kDelete, kShareReadDelete, kRead,
         kShareRead, win::ERROR_SHARING_VIOLATION_},
        {"held to delete, sharing read and delete; a reader sharing everything", kRead | kDelete, kShareReadDelete,
         kRead, kShareAll, 0},
        {"held to read, sharing read; a reader sharing read only", kRead, kShareRead, kRead, kShareRead, 0},
        {"held to write, sharing write only; a reader sharing everything", kWrite, win::FILE_SHARE_WRITE_, kRead,
         kShareAll, win::ERROR_SHARING_VIOLATION_},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::wstring name = L"held" + std::to_wstring(n++) + L".dll";
        s::add_file(name, "MZ held by another program");
        s::hold_file_open(name, c.held_access, c.held_share);
        FileHandle file;
        EXPECT_EQ(open_existing(s::path_in_folder(name), c.access, c.share, file), c.error);
        EXPECT_EQ(file.valid(), c.error == 0);
        file.reset();
        s::release_file(name);
    }
}

TEST_F(FilesContract, SharingBetweenTwoOpensOfTheSameFile) {
    struct Case {
        const char* what;
        std::uint32_t first_access, first_share;
        std::uint32_t second_access, second_share;
        std::uint32_t error;
    };
    const Case cases[] = {
        {"two readers sharing read", kRead, kShareRead, kRead, kShareRead, 0},
        {"a second reader that shares nothing", kRead, kShareRead, kRead, 0, win::ERROR_SHARING_VIOLATION_},
        {"a reader after one that shares nothing", kRead, 0, kRead, kShareRead, win::ERROR_SHARING_VIOLATION_},
        {"a writer after a reader that shares only read", kRead, kShareRead, kWrite, kShareReadWrite,
         win::ERROR_SHARING_VIOLATION_},
        {"a writer after a reader that shares write", kRead, kShareReadWrite, kWrite, kShareRead, 0},
        {"a reader not sharing write after a writer", kWrite, kShareReadWrite, kRead, kShareRead,
         win::ERROR_SHARING_VIOLATION_},
        {"no data access after one that shares nothing", kRead, 0, 0, 0, 0},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::wstring name = L"shared" + std::to_wstring(n++) + L".bin";
        s::add_file(name, "0123456789");
        FileHandle first;
        ASSERT_EQ(open_existing(s::path_in_folder(name), c.first_access, c.first_share, first), 0u);
        FileHandle second;
        EXPECT_EQ(open_existing(s::path_in_folder(name), c.second_access, c.second_share, second), c.error);
        EXPECT_EQ(second.valid(), c.error == 0);

        // Once the first handle is closed, nothing stands in the way.
        second.reset();
        first.reset();
        FileHandle again;
        EXPECT_EQ(open_existing(s::path_in_folder(name), c.second_access, c.second_share, again), 0u);
    }
}

// ---- Reading and seeking ----

TEST_F(FilesContract, ReadGivesExactCountsThenShortThenNothing) {
    s::add_file(L"ten.bin", "0123456789");
    s::add_file(L"empty.bin", "");
    FileHandle file;
    ASSERT_EQ(open_existing(s::path_in_folder(L"ten.bin"), kRead, kShareRead, file), 0u);

    struct Step {
        std::uint32_t count;
        const char* expected;
    };
    const Step steps[] = {{4, "0123"}, {0, ""}, {4, "4567"}, {4, "89"}, {4, ""}, {1, ""}};
    for (const Step& step : steps) {
        SCOPED_TRACE(std::to_string(step.count) + " bytes, expecting '" + step.expected + "'");
        std::vector<std::uint8_t> bytes = {'x'};
        EXPECT_EQ(platform::read_file(file, step.count, bytes), 0u);
        EXPECT_EQ(text_of(bytes), step.expected);
    }

    FileHandle empty;
    ASSERT_EQ(open_existing(s::path_in_folder(L"empty.bin"), kRead, kShareRead, empty), 0u);
    std::vector<std::uint8_t> bytes = {'x'};
    EXPECT_EQ(platform::read_file(empty, 64, bytes), 0u);
    EXPECT_TRUE(bytes.empty());
}

TEST_F(FilesContract, ReadNeedsReadAccessAndAFile) {
    s::add_file(L"data.bin", "0123456789");
    s::add_folder(L"Sub");

    FileHandle write_only;
    ASSERT_EQ(open_existing(s::path_in_folder(L"data.bin"), kWrite, kShareReadWrite, write_only), 0u);
    std::vector<std::uint8_t> bytes = {'x'};
    EXPECT_EQ(platform::read_file(write_only, 4, bytes), win::ERROR_ACCESS_DENIED_);
    EXPECT_TRUE(bytes.empty());

    // A folder opens with backup semantics, but it has no bytes to read.
    FileHandle folder;
    ASSERT_EQ(
        open_existing(s::path_in_folder(L"Sub"), kRead, kShareReadWrite, folder, win::FILE_FLAG_BACKUP_SEMANTICS_), 0u);
    bytes = {'x'};
    EXPECT_EQ(platform::read_file(folder, 4, bytes), win::ERROR_INVALID_FUNCTION_);
    EXPECT_TRUE(bytes.empty());
}

TEST_F(FilesContract, SetFilePointerWithinBeyondAndBeforeTheFile) {
    s::add_file(L"ten.bin", "0123456789");
    FileHandle file;
    ASSERT_EQ(open_existing(s::path_in_folder(L"ten.bin"), kRead, kShareRead, file), 0u);

    struct Step {
        const char* what;
        std::int32_t distance;
        std::uint32_t method;
        std::uint32_t position;  // INVALID_SET_FILE_POINTER on failure
        std::uint32_t error;
        const char* next_two;  // what a read of 2 bytes gives afterwards
    };
    const Step steps[] = {
        {"FILE_BEGIN 3", 3, win::FILE_BEGIN_, 3, 0, "34"},
        {"FILE_CURRENT -1", -1, win::FILE_CURRENT_, 4, 0, "45"},
        {"FILE_END -2", -2, win::FILE_END_, 8, 0, "89"},
        {"FILE_BEGIN 0", 0, win::FILE_BEGIN_, 0, 0, "01"},
        {"FILE_BEGIN -1 leaves the position", -1, win::FILE_BEGIN_, win::INVALID_SET_FILE_POINTER_,
         win::ERROR_NEGATIVE_SEEK_, "23"},
        {"FILE_CURRENT before the start", -1000, win::FILE_CURRENT_, win::INVALID_SET_FILE_POINTER_,
         win::ERROR_NEGATIVE_SEEK_, "45"},
        {"FILE_END -11", -11, win::FILE_END_, win::INVALID_SET_FILE_POINTER_, win::ERROR_NEGATIVE_SEEK_, "67"},
        {"FILE_END 0", 0, win::FILE_END_, 10, 0, ""},
        {"FILE_BEGIN beyond the end", 100, win::FILE_BEGIN_, 100, 0, ""},
        {"FILE_CURRENT further beyond", 5, win::FILE_CURRENT_, 105, 0, ""},
        {"an unknown method", 0, 3, win::INVALID_SET_FILE_POINTER_, win::ERROR_INVALID_PARAMETER_, ""},
        {"FILE_BEGIN 9", 9, win::FILE_BEGIN_, 9, 0, "9"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        const platform::SeekResult seek = platform::set_file_pointer(file, step.distance, step.method);
        EXPECT_EQ(seek.position, step.position);
        EXPECT_EQ(seek.error, step.error);
        std::vector<std::uint8_t> bytes;
        EXPECT_EQ(platform::read_file(file, 2, bytes), 0u);
        EXPECT_EQ(text_of(bytes), step.next_two);
    }
}

// ---- Attributes ----

TEST_F(FilesContract, AttributesOfFilesFoldersAndMissingNames) {
    s::add_file(L"qtv_api_core.dll", "MZ");
    s::add_folder(L"Tonvela SDK");

    const platform::AttributesResult file = platform::get_file_attributes(s::path_in_folder(L"qtv_api_core.dll"));
    EXPECT_EQ(file.error, 0u);
    EXPECT_NE(file.attributes, win::INVALID_FILE_ATTRIBUTES_);
    EXPECT_EQ(file.attributes & win::FILE_ATTRIBUTE_DIRECTORY_, 0u);
    // A file just written is marked for archiving.
    EXPECT_NE(file.attributes & win::FILE_ATTRIBUTE_ARCHIVE_, 0u);
    EXPECT_EQ(platform::get_file_attributes(s::path_in_folder(L"QTV_API_CORE.DLL")).attributes, file.attributes);

    struct Case {
        const char* what;
        std::wstring path;
    };
    const Case folders[] = {
        {"a folder", s::path_in_folder(L"Tonvela SDK")},
        {"a folder with a trailing separator", s::path_in_folder(L"Tonvela SDK\\")},
        {"the scratch folder", s::folder()},
    };
    for (const Case& c : folders) {
        SCOPED_TRACE(c.what);
        const platform::AttributesResult read = platform::get_file_attributes(c.path);
        EXPECT_EQ(read.error, 0u);
        EXPECT_NE(read.attributes, win::INVALID_FILE_ATTRIBUTES_);
        EXPECT_NE(read.attributes & win::FILE_ATTRIBUTE_DIRECTORY_, 0u);
    }

    struct Missing {
        const char* what;
        std::wstring path;
        std::uint32_t error;
    };
    const Missing missing[] = {
        {"missing file", s::path_in_folder(L"absent.dll"), win::ERROR_FILE_NOT_FOUND_},
        {"missing file in a folder", s::path_in_folder(L"Tonvela SDK\\absent.dll"), win::ERROR_FILE_NOT_FOUND_},
        {"missing folder", s::path_in_folder(L"Missing\\absent.dll"), win::ERROR_PATH_NOT_FOUND_},
        {"a file where a folder should be", s::path_in_folder(L"qtv_api_core.dll\\absent.dll"),
         win::ERROR_PATH_NOT_FOUND_},
    };
    for (const Missing& c : missing) {
        SCOPED_TRACE(c.what);
        const platform::AttributesResult read = platform::get_file_attributes(c.path);
        EXPECT_EQ(read.attributes, win::INVALID_FILE_ATTRIBUTES_);
        EXPECT_EQ(read.error, c.error);
    }
}

}  // namespace
}  // namespace vq4::contract

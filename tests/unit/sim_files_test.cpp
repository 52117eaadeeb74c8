// The simulated machine's files where a machine file lists only files: the
// folders that hold them exist too, as they do on the disk the file stands
// for. (The contract suite lists every folder it makes, so it does not see
// this corner.)
#include <gtest/gtest.h>

#include "platform/files.h"
#include "platform/win_constants.h"
#include "support/machine_builder.h"
#include "support/sim_support.h"

namespace vq4 {
namespace {

TEST(SimulatedFiles, FoldersOfListedFilesExistWithoutTheirOwnEntry) {
    test::machine_file().file(L"C:\\Program Files\\Quorvane\\SDK\\vxlinkapi_x64.dll", {{"text", "MZ"}}).use();

    struct Case {
        const char* what;
        const wchar_t* path;
        std::uint32_t flags;
        std::uint32_t error;
    };
    const Case cases[] = {
        {"the file's folder", L"C:\\Program Files\\Quorvane\\SDK", win::FILE_FLAG_BACKUP_SEMANTICS_, 0},
        {"a folder above it, with a trailing separator", L"C:\\Program Files\\Quorvane\\",
         win::FILE_FLAG_BACKUP_SEMANTICS_, 0},
        {"the folder without backup semantics", L"C:\\Program Files\\Quorvane\\SDK", win::FILE_ATTRIBUTE_NORMAL_,
         win::ERROR_ACCESS_DENIED_},
        {"a file beside it", L"C:\\Program Files\\Quorvane\\SDK\\absent.dll", win::FILE_ATTRIBUTE_NORMAL_,
         win::ERROR_FILE_NOT_FOUND_},
        {"a folder that holds nothing listed", L"C:\\Program Files\\Other\\absent.dll", win::FILE_ATTRIBUTE_NORMAL_,
         win::ERROR_PATH_NOT_FOUND_},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        platform::FileHandle handle;
        EXPECT_EQ(platform::create_file(c.path, win::GENERIC_READ_, win::FILE_SHARE_READ_, win::OPEN_EXISTING_, c.flags,
                                        handle),
                  c.error);
        EXPECT_EQ(handle.valid(), c.error == 0);
        if (handle.valid()) {
            std::vector<std::uint8_t> bytes;
            EXPECT_EQ(platform::read_file(handle, 4, bytes), win::ERROR_INVALID_FUNCTION_);
        }
    }
    const platform::AttributesResult folder = platform::get_file_attributes(L"C:\\Program Files\\Quorvane\\SDK");
    EXPECT_EQ(folder.attributes, win::FILE_ATTRIBUTE_DIRECTORY_);
    EXPECT_EQ(folder.error, 0u);
}

}  // namespace
}  // namespace vq4

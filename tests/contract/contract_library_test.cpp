// Contract of run-time loading (src/platform/library.h) and of the version
// API (src/platform/version.h), on small DLLs the suite puts into its scratch
// folder: x64 and x86 images with a version resource, an x64 image without
// any resource and one whose resources hold no version resource.
#include <cstring>
#include <string>
#include <vector>

#include "contract/contract_test.h"
#include "platform/library.h"
#include "platform/version.h"
#include "platform/win_constants.h"

namespace vq4::contract {
namespace {

namespace s = situation;
using platform::Library;
using s::LibraryImage;

class LibraryContract : public Contract {};
class VersionContract : public Contract {};

// ---- Loading ----

TEST_F(LibraryContract, ImagesOfTheProcessMachineLoadAndExportTheirNames) {
    struct Case {
        const char* what;
        LibraryImage image;
        std::wstring name;
    };
    const Case cases[] = {
        {"with a version resource", LibraryImage::VersionedX64, L"versioned.dll"},
        {"without resources", LibraryImage::WithoutResourcesX64, L"plain.dll"},
        {"with resources but no version resource", LibraryImage::WithoutVersionX64, L"unversioned.dll"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        s::add_library(c.name, c.image);
        Library library;
        ASSERT_EQ(platform::load_library(s::path_in_folder(c.name), library), 0u);
        ASSERT_TRUE(library.valid());
        EXPECT_TRUE(s::library_loaded(c.name));

        const platform::ProcAddress answer = platform::get_proc_address(library, s::kLibraryExports[0]);
        const platform::ProcAddress other = platform::get_proc_address(library, s::kLibraryExports[1]);
        ASSERT_NE(answer.address, nullptr);
        ASSERT_NE(other.address, nullptr);
        EXPECT_NE(answer.address, other.address);
        EXPECT_EQ(platform::get_proc_address(library, s::kLibraryExports[0]).address, answer.address);

        // Export names are matched exactly, letter case included.
        for (const char* name : {"vq4_contract_missing", "VQ4_CONTRACT_ANSWER", "vq4_contract", "vq4_contract_answer_"}) {
            SCOPED_TRACE(name);
            const platform::ProcAddress missing = platform::get_proc_address(library, name);
            EXPECT_EQ(missing.address, nullptr);
            EXPECT_EQ(missing.error, win::ERROR_PROC_NOT_FOUND_);
        }
    }
}

TEST_F(LibraryContract, EachLoadCountsAndTheLastFreeUnloads) {
    s::add_library(L"contract.dll", LibraryImage::VersionedX64);
    Library first;
    Library second;
    ASSERT_EQ(platform::load_library(s::path_in_folder(L"contract.dll"), first), 0u);
    // The same file under another letter case is the same module.
    ASSERT_EQ(platform::load_library(s::path_in_folder(L"CONTRACT.DLL"), second), 0u);
    EXPECT_EQ(first.raw(), second.raw());

    first.reset();  // FreeLibrary: one reference is left
    EXPECT_TRUE(s::library_loaded(L"contract.dll"));
    EXPECT_NE(platform::get_proc_address(second, s::kLibraryExports[1]).address, nullptr);

    second.reset();  // the last reference: the module is unloaded
    EXPECT_FALSE(s::library_loaded(L"contract.dll"));

    Library again;
    EXPECT_EQ(platform::load_library(s::path_in_folder(L"contract.dll"), again), 0u);
    EXPECT_TRUE(s::library_loaded(L"contract.dll"));
}

TEST_F(LibraryContract, WhatIsNoLoadableImage) {
    s::add_library(L"x86.dll", LibraryImage::VersionedX86);
    s::add_library(L"locked.dll", LibraryImage::VersionedX64);
    s::add_file(L"notes.dll", "This is a text file, not an image.\r\n");
    s::add_folder(L"Sub");
    s::hold_file_exclusively(L"locked.dll");

    struct Case {
        const char* what;
        std::wstring name;
        std::uint32_t error;
    };
    const Case cases[] = {
        {"a missing file", L"absent.dll", win::ERROR_MOD_NOT_FOUND_},
        {"a missing file in a subfolder", L"Sub\\absent.dll", win::ERROR_MOD_NOT_FOUND_},
        {"a missing folder", L"Missing\\absent.dll", win::ERROR_MOD_NOT_FOUND_},
        {"a text file", L"notes.dll", win::ERROR_BAD_EXE_FORMAT_},
        {"an image for x86 in an x64 process", L"x86.dll", win::ERROR_BAD_EXE_FORMAT_},
        {"a file held open without sharing", L"locked.dll", win::ERROR_SHARING_VIOLATION_},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Library library;
        EXPECT_EQ(platform::load_library(s::path_in_folder(c.name), library), c.error);
        EXPECT_FALSE(library.valid());
        EXPECT_FALSE(s::library_loaded(c.name));
    }
}

// The loader opens an image to read and execute it, sharing read and
// delete: a program that holds the file to write it keeps it from loading.
TEST_F(LibraryContract, AnImageHeldOpenByAnotherProgram) {
    struct Case {
        const char* what;
        std::uint32_t access, share;
        std::uint32_t error;
    };
    const Case cases[] = {
        {"held to read, sharing read", win::GENERIC_READ_, win::FILE_SHARE_READ_, 0},
        {"held to read and delete, sharing read and delete", win::GENERIC_READ_ | 0x10000,
         win::FILE_SHARE_READ_ | win::FILE_SHARE_DELETE_, 0},
        {"held to write, sharing read and write", win::GENERIC_READ_ | win::GENERIC_WRITE_,
         win::FILE_SHARE_READ_ | win::FILE_SHARE_WRITE_, win::ERROR_SHARING_VIOLATION_},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::wstring name = L"held" + std::to_wstring(n++) + L".dll";
        s::add_library(name, LibraryImage::VersionedX64);
        s::hold_file_open(name, c.access, c.share);
        Library library;
        EXPECT_EQ(platform::load_library(s::path_in_folder(name), library), c.error);
        EXPECT_EQ(library.valid(), c.error == 0);
        EXPECT_EQ(s::library_loaded(name), c.error == 0);
        library.reset();
        s::release_file(name);
    }
}

// The folders a library's own loads by name may come from: an absolute
// path that exists (a plain file is taken too), removed again on release.
TEST_F(LibraryContract, AddDllDirectoryTakesExistingAbsolutePaths) {
    s::add_folder(L"Sdk");
    s::add_file(L"plain.txt", "not a folder");
    struct Case {
        const char* what;
        std::wstring path;
        std::uint32_t error;
    };
    const Case cases[] = {
        {"a folder", s::path_in_folder(L"Sdk"), 0},
        {"a folder with a trailing separator", s::path_in_folder(L"Sdk\\"), 0},
        {"a plain file", s::path_in_folder(L"plain.txt"), 0},
        {"the same folder a second time", s::path_in_folder(L"Sdk"), 0},
        {"a missing folder", s::path_in_folder(L"Missing"), win::ERROR_FILE_NOT_FOUND_},
        {"a folder in a missing folder", s::path_in_folder(L"Missing\\Sdk"), win::ERROR_PATH_NOT_FOUND_},
        {"a relative path", L"Sdk", win::ERROR_INVALID_PARAMETER_},
        {"the current directory", L".\\.", win::ERROR_INVALID_PARAMETER_},
        {"a path relative to a drive's current directory", L"C:Sdk", win::ERROR_INVALID_PARAMETER_},
    };
    std::vector<platform::DllDirectory> added;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        platform::DllDirectory folder;
        EXPECT_EQ(platform::add_dll_directory(c.path, folder), c.error);
        EXPECT_EQ(folder.valid(), c.error == 0);
        if (folder.valid()) added.push_back(std::move(folder));
    }
    EXPECT_EQ(added.size(), 4u);
    // Each addition has its own cookie, removed by its owner.
    for (std::size_t i = 1; i < added.size(); ++i) EXPECT_NE(added[i].raw(), added[0].raw());
}

TEST_F(LibraryContract, AFolderIsNoLibrary) {
    // Wine reports ERROR_MOD_NOT_FOUND; Windows' loader opens the name as a
    // file only (FILE_NON_DIRECTORY_FILE), and STATUS_FILE_IS_A_DIRECTORY
    // becomes ERROR_ACCESS_DENIED, as for CreateFileW on a folder.
    VQ4_SKIP_ON_WINE("LoadLibraryW of a folder gives ERROR_MOD_NOT_FOUND");
    s::add_folder(L"Tonvela SDK");
    Library library;
    EXPECT_EQ(platform::load_library(s::path_in_folder(L"Tonvela SDK"), library), win::ERROR_ACCESS_DENIED_);
    EXPECT_FALSE(library.valid());
}

// ---- The version resource ----

std::uint32_t high_low(std::uint16_t high, std::uint16_t low) { return (std::uint32_t{high} << 16) | low; }

TEST_F(VersionContract, FixedFileInfoOfVersionedImagesOfEitherMachine) {
    // The version API reads the file as data: an image for another machine
    // has its version read all the same.
    for (const LibraryImage image : {LibraryImage::VersionedX64, LibraryImage::VersionedX86}) {
        const std::wstring name = image == LibraryImage::VersionedX64 ? L"x64.dll" : L"x86.dll";
        SCOPED_TRACE(std::string(name.begin(), name.end()));
        s::add_library(name, image);
        const std::wstring path = s::path_in_folder(name);

        const platform::VersionInfoSize size = platform::get_file_version_info_size(path);
        EXPECT_EQ(size.error, 0u);
        // At least a VS_VERSIONINFO header and its VS_FIXEDFILEINFO.
        ASSERT_GE(size.size, 40u + 52u);

        std::vector<std::uint8_t> buffer(size.size, 0xAB);
        ASSERT_EQ(platform::get_file_version_info(path, buffer), 0u);
        // The block starts with its own length, which the size covers.
        const std::uint32_t length = buffer[0] | (buffer[1] << 8);
        EXPECT_GE(length, 40u + 52u);
        EXPECT_LE(length, size.size);

        const platform::FixedFileVersion version = platform::ver_query_root_version(buffer);
        ASSERT_TRUE(version.found);
        EXPECT_EQ(version.file_version_ms, high_low(s::kLibraryVersion[0], s::kLibraryVersion[1]));
        EXPECT_EQ(version.file_version_ls, high_low(s::kLibraryVersion[2], s::kLibraryVersion[3]));

        // A smaller buffer gets the start of the same block (the call
        // truncates the information to the buffer).
        std::vector<std::uint8_t> start(24, 0xCD);
        ASSERT_EQ(platform::get_file_version_info(path, start), 0u);
        EXPECT_EQ(std::memcmp(start.data(), buffer.data(), start.size()), 0);
    }
}

TEST_F(VersionContract, FilesWithoutAVersionResource) {
    s::add_library(L"plain.dll", LibraryImage::WithoutResourcesX64);
    s::add_file(L"notes.txt", "This is a text file, not an image.\r\n");
    s::add_folder(L"Sub");

    struct Case {
        const char* what;
        std::wstring name;
        std::uint32_t error;
    };
    const Case cases[] = {
        {"an image without resources", L"plain.dll", win::ERROR_RESOURCE_DATA_NOT_FOUND_},
        {"a text file", L"notes.txt", win::ERROR_RESOURCE_DATA_NOT_FOUND_},
        {"a missing file", L"absent.dll", win::ERROR_FILE_NOT_FOUND_},
        {"a missing folder", L"Missing\\absent.dll", win::ERROR_PATH_NOT_FOUND_},
        {"a folder", L"Sub", win::ERROR_ACCESS_DENIED_},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const platform::VersionInfoSize size = platform::get_file_version_info_size(s::path_in_folder(c.name));
        EXPECT_EQ(size.size, 0u);
        EXPECT_EQ(size.error, c.error);
        std::vector<std::uint8_t> buffer(4096, 0);
        EXPECT_EQ(platform::get_file_version_info(s::path_in_folder(c.name), buffer), c.error);
    }
}

TEST_F(VersionContract, ResourcesWithoutAVersionResource) {
    // FindResource in an image whose resources hold other types fails with
    // ERROR_RESOURCE_TYPE_NOT_FOUND, and GetFileVersionInfoSizeW passes it
    // on. Wine reports ERROR_RESOURCE_DATA_NOT_FOUND for every image without
    // a version resource.
    VQ4_SKIP_ON_WINE("an image with resources but no version resource gives ERROR_RESOURCE_DATA_NOT_FOUND");
    s::add_library(L"unversioned.dll", LibraryImage::WithoutVersionX64);
    const platform::VersionInfoSize size = platform::get_file_version_info_size(s::path_in_folder(L"unversioned.dll"));
    EXPECT_EQ(size.size, 0u);
    EXPECT_EQ(size.error, win::ERROR_RESOURCE_TYPE_NOT_FOUND_);
    std::vector<std::uint8_t> buffer(4096, 0);
    EXPECT_EQ(platform::get_file_version_info(s::path_in_folder(L"unversioned.dll"), buffer),
              win::ERROR_RESOURCE_TYPE_NOT_FOUND_);
}

}  // namespace
}  // namespace vq4::contract

// The simulated machine's PE images, version API and SDK library entries.
#include <gtest/gtest.h>

#include "platform/library.h"
#include "platform/sim/loaded_modules.h"
#include "platform/sim/machine_file.h"
#include "platform/sim/pe_image.h"
#include "platform/version.h"
#include "platform/win_constants.h"
#include "support/machine_builder.h"
#include "support/sim_support.h"

namespace vq4 {
namespace {

TEST(SimPeImage, SynthesizedImagesReadBack) {
    for (const std::uint16_t machine : {std::uint16_t{0x8664}, std::uint16_t{0x014C}, std::uint16_t{0xAA64}}) {
        sim::PeImageShape shape;
        shape.machine = machine;
        shape.file_version = std::array<std::uint16_t, 4>{1, 51, 2, 3};
        const std::vector<std::uint8_t> bytes = sim::synthesize_pe_image(shape);
        EXPECT_EQ(sim::pe_machine(bytes), machine);
        const sim::VersionResource found = sim::find_version_resource(bytes);
        ASSERT_EQ(found.error, 0u);
        const std::vector<std::uint8_t> block(bytes.begin() + static_cast<std::ptrdiff_t>(found.offset),
                                              bytes.begin() + static_cast<std::ptrdiff_t>(found.offset + found.size));
        const sim::RootVersionBlock root = sim::root_version_block(block);
        ASSERT_TRUE(root.ok);
        EXPECT_EQ(root.value_length, 52u);
        EXPECT_EQ(block[root.value_offset], 0xBD);  // VS_FIXEDFILEINFO's signature 0xFEEF04BD
        EXPECT_EQ(block[root.value_offset + 3], 0xFE);
    }
    EXPECT_EQ(sim::parse_file_version("1.51.0.0"), (std::array<std::uint16_t, 4>{1, 51, 0, 0}));
    EXPECT_EQ(sim::parse_file_version("1.51.0"), std::nullopt);
    EXPECT_EQ(sim::parse_file_version("1.51.0.0x"), std::nullopt);
    EXPECT_EQ(sim::parse_file_version("1.65536.0.0"), std::nullopt);
}

// Every prefix and every single-byte corruption of an image: the readers
// answer something for each and never read outside the bytes.
TEST(SimPeImage, ReadersSurviveTruncationAndCorruption) {
    sim::PeImageShape shape;
    shape.file_version = std::array<std::uint16_t, 4>{1, 2, 3, 4};
    shape.exports = {"QTV_Init", "QTV_Exit"};
    const std::vector<std::uint8_t> image = sim::synthesize_pe_image(shape);
    std::size_t found = 0;
    std::size_t exported = 0;
    for (std::size_t length = 0; length <= image.size(); ++length) {
        const std::vector<std::uint8_t> cut(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(length));
        sim::pe_machine(cut);
        if (sim::find_version_resource(cut).error == 0) ++found;
        if (sim::find_export(cut, "QTV_Exit")) ++exported;
    }
    EXPECT_GE(found, 1u) << "the whole image at least";
    EXPECT_GE(exported, 1u) << "the whole image at least";
    for (std::size_t at = 0; at < image.size(); ++at) {
        for (const std::uint8_t value : {std::uint8_t{0x00}, std::uint8_t{0x7F}, std::uint8_t{0xFF}}) {
            std::vector<std::uint8_t> bent = image;
            bent[at] = value;
            sim::pe_machine(bent);
            sim::find_export(bent, "QTV_Init");
            const sim::VersionResource r = sim::find_version_resource(bent);
            if (r.error == 0) {
                ASSERT_LE(r.offset + r.size, bent.size()) << "byte " << at;
                const std::vector<std::uint8_t> block(bent.begin() + static_cast<std::ptrdiff_t>(r.offset),
                                                      bent.begin() + static_cast<std::ptrdiff_t>(r.offset + r.size));
                const sim::RootVersionBlock root = sim::root_version_block(block);
                if (root.ok) {
                    ASSERT_LE(root.value_offset + root.value_length, block.size());
                }
            }
        }
    }
}

TEST(SimPeImage, ExportsAreFoundByTheirExactNames) {
    sim::PeImageShape shape;
    shape.exports = {"beta", "alpha", "alphabet"};
    const std::vector<std::uint8_t> image = sim::synthesize_pe_image(shape);
    const auto alpha = sim::find_export(image, "alpha");
    const auto alphabet = sim::find_export(image, "alphabet");
    const auto beta = sim::find_export(image, "beta");
    ASSERT_TRUE(alpha && alphabet && beta);
    EXPECT_NE(*alpha, *alphabet);
    EXPECT_NE(*alpha, *beta);
    for (const char* name : {"Alpha", "alph", "alphabets", "gamma", ""}) {
        EXPECT_EQ(sim::find_export(image, name), std::nullopt) << name;
    }
    // An image without exports, and one without resources but with exports.
    EXPECT_EQ(sim::find_export(sim::synthesize_pe_image(sim::PeImageShape{}), "alpha"), std::nullopt);
    shape.resource_section = false;
    const std::vector<std::uint8_t> bare = sim::synthesize_pe_image(shape);
    EXPECT_TRUE(sim::find_export(bare, "beta"));
    EXPECT_EQ(sim::find_version_resource(bare).error, win::ERROR_RESOURCE_DATA_NOT_FOUND_);

    // Through the loader: the address lies inside the module; the machine
    // file names the exports.
    test::machine_file().pe_file(L"C:\\x\\a.dll", {{"machine", "0x8664"}, {"exports", {"alpha"}}}).use();
    platform::Library library;
    ASSERT_EQ(platform::load_library(L"C:\\x\\a.dll", library), 0u);
    const platform::ProcAddress found = platform::get_proc_address(library, "alpha");
    ASSERT_NE(found.address, nullptr);
    EXPECT_GT(reinterpret_cast<std::uintptr_t>(found.address), library.raw());
    EXPECT_EQ(platform::get_proc_address(library, "beta").error, win::ERROR_PROC_NOT_FOUND_);
}

TEST(SimVersionApi, SizeBufferAndRootQuery) {
    test::machine_file().pe_file(L"C:\\x\\a.dll", {{"machine", "0x8664"}, {"file_version", "7.6.5.4"}}).use();
    const sim::VersionResource resource = sim::find_version_resource(sim::machine().files[0].bytes);
    const platform::VersionInfoSize size = platform::get_file_version_info_size(L"C:\\x\\a.dll");
    EXPECT_EQ(size.size, resource.size * 2 + 4);
    std::vector<std::uint8_t> buffer(size.size, 0);
    ASSERT_EQ(platform::get_file_version_info(L"C:\\x\\a.dll", buffer), 0u);
    EXPECT_EQ(std::string(buffer.begin() + static_cast<std::ptrdiff_t>(resource.size),
                          buffer.begin() + static_cast<std::ptrdiff_t>(resource.size) + 4),
              "FE2X");
    const platform::FixedFileVersion version = platform::ver_query_root_version(buffer);
    EXPECT_TRUE(version.found);
    EXPECT_EQ(version.file_version_ms, 0x00070006u);
    EXPECT_EQ(version.file_version_ls, 0x00050004u);

    // A buffer that is no version block, or too short for its root value.
    EXPECT_FALSE(platform::ver_query_root_version(std::vector<std::uint8_t>(64, 0)).found);
    std::vector<std::uint8_t> cut(buffer.begin(), buffer.begin() + 60);
    cut[0] = 60;  // wLength says 60: the 52-byte value no longer fits
    cut[1] = 0;
    EXPECT_FALSE(platform::ver_query_root_version(cut).found);

    EXPECT_EQ(platform::get_file_version_info_size(L"C:\\x\\missing.dll").error, win::ERROR_FILE_NOT_FOUND_);
}

TEST(SimSdkLibrary, LoaderRulesAndReferenceCounts) {
    test::machine_file()
        .pe_file(L"C:\\SDK\\qtv_api_core.dll")
        .pe_file(L"C:\\SDK\\vxlinkapi_x64.dll")
        .text_file(L"C:\\SDK\\text.dll", "hello")
        .pe_file(L"C:\\Lone\\qtv_api_core.dll")
        .sdk(L"C:\\SDK\\qtv_api_core.dll")
        .sdk(L"C:\\Lone\\qtv_api_core.dll")
        .use();
    platform::Library a;
    platform::Library b;
    EXPECT_EQ(platform::load_library(L"C:\\SDK\\qtv_api_core.dll", a), 0u);
    EXPECT_EQ(platform::load_library(L"c:/sdk/QTV_API_CORE.DLL", b), 0u);
    EXPECT_EQ(a.raw(), b.raw()) << "the same module, counted twice";
    a.reset();
    EXPECT_NE(platform::get_proc_address(b, "QTV_Init").address, nullptr) << "still loaded after one FreeLibrary";
    b.reset();

    platform::Library c;
    EXPECT_EQ(platform::load_library(L"C:\\SDK\\text.dll", c), win::ERROR_BAD_EXE_FORMAT_);
    EXPECT_EQ(platform::load_library(L"C:\\SDK\\none.dll", c), win::ERROR_MOD_NOT_FOUND_);
    EXPECT_EQ(platform::load_library(L"C:\\Lone\\qtv_api_core.dll", c), win::ERROR_MOD_NOT_FOUND_)
        << "its vxlinkapi_x64.dll is not beside it";
    EXPECT_EQ(platform::load_library(L"C:\\SDK", c), win::ERROR_ACCESS_DENIED_);
    EXPECT_FALSE(c.valid());
}

// The tool runs from download folders: a name that would have to be
// searched for is never loaded, and the SDK's import counts only in its own
// folder, whatever lies beside the executable.
TEST(SimSdkLibrary, LoadsOnlyFullyQualifiedPathsWithImportsFromTheirOwnFolder) {
    test::machine_file()
        .module_path(L"C:\\Downloads\\VQ4_Diag.exe")
        .pe_file(L"C:\\Downloads\\qtv_api_core.dll")
        .pe_file(L"C:\\Downloads\\vxlinkapi_x64.dll")
        .pe_file(L"C:\\SDK\\qtv_api_core.dll")
        .sdk(L"C:\\Downloads\\qtv_api_core.dll")
        .sdk(L"C:\\SDK\\qtv_api_core.dll")
        .use();
    const std::wstring not_searched[] = {L"qtv_api_core.dll", L".\\qtv_api_core.dll", L"Downloads\\qtv_api_core.dll",
                                         L"\\Downloads\\qtv_api_core.dll", L"C:qtv_api_core.dll"};
    platform::Library library;
    for (const std::wstring& path : not_searched) {
        EXPECT_EQ(platform::load_library(path, library), win::ERROR_MOD_NOT_FOUND_) << sim::narrow(path);
    }
    EXPECT_EQ(platform::load_library(L"C:\\SDK\\qtv_api_core.dll", library), win::ERROR_MOD_NOT_FOUND_)
        << "vxlinkapi_x64.dll beside the executable does not serve a library elsewhere";
    EXPECT_FALSE(library.valid());
    EXPECT_EQ(sim::count_calls("LoadLibraryW"), 6u) << "every attempt is in the trace";

    ASSERT_EQ(platform::load_library(L"C:\\Downloads\\qtv_api_core.dll", library), 0u);
    platform::Library again;
    EXPECT_EQ(platform::load_library(L"qtv_api_core.dll", again), win::ERROR_MOD_NOT_FOUND_)
        << "not even the loaded module is found by its bare name";
    EXPECT_FALSE(again.valid());
}

TEST(SimSdkLibrary, EntryPointsRefuseUseOutsideInitialisation) {
    test::machine_file()
        .pe_file(L"C:\\SDK\\qtv_api_core.dll")
        .pe_file(L"C:\\SDK\\vxlinkapi_x64.dll")
        .sdk(L"C:\\SDK\\qtv_api_core.dll", {{"device_count", 2}})
        .use();
    platform::Library library;
    ASSERT_EQ(platform::load_library(L"C:\\SDK\\qtv_api_core.dll", library), 0u);
    using Init = std::int32_t (*)(std::uint32_t, std::intptr_t, std::intptr_t);
    using Count = std::int32_t (*)(std::int32_t*);
    using Exit = void (*)();
    const auto init = reinterpret_cast<Init>(platform::get_proc_address(library, "QTV_Init").address);
    const auto count = reinterpret_cast<Count>(platform::get_proc_address(library, "QTV_GetDeviceCount").address);
    const auto exit = reinterpret_cast<Exit>(platform::get_proc_address(library, "QTV_Exit").address);
    std::int32_t n = 99;
    EXPECT_NE(count(&n), 0) << "before QTV_Init";
    EXPECT_EQ(n, 99);
    EXPECT_EQ(init(0x152, 0, 0), 0);
    EXPECT_EQ(count(&n), 0);
    EXPECT_EQ(n, 2);
    exit();
    EXPECT_NE(count(&n), 0) << "after QTV_Exit";
}

// What an SDK that loads vxlinkapi_x64.dll by its bare name in QTV_Init
// gets, by the process's DLL search: copies beside the executable, in the
// current directory and on PATH, and its own.
TEST(SimDllSearch, WhereAnSdkFindsWhatItLoadsByName) {
    const test::MachineFile machine = test::machine_file()
                                          .module_path(L"C:\\Downloads\\VQ4_Diag.exe")
                                          .current_directory(L"C:\\Users\\me")
                                          .environment_variable(L"Path", L"C:\\Windows\\system32;;C:\\Tools")
                                          .pe_file(L"C:\\SDK\\qtv_api_core.dll")
                                          .pe_file(L"C:\\SDK\\vxlinkapi_x64.dll")
                                          .pe_file(L"C:\\Downloads\\vxlinkapi_x64.dll")
                                          .pe_file(L"C:\\Users\\me\\vxlinkapi_x64.dll")
                                          .pe_file(L"C:\\Tools\\vxlinkapi_x64.dll")
                                          .sdk(L"C:\\SDK\\qtv_api_core.dll", {{"loads_companion_by_name", true}});
    constexpr std::uint32_t kSystem32 = 0x800, kUserDirs = 0x400, kApplicationDir = 0x200;
    struct Case {
        const char* what;
        std::uint32_t defaults;         // SetDefaultDllDirectories; 0: never called
        bool sdk_folder_added;          // AddDllDirectory(C:\SDK)
        std::vector<std::wstring> gone;  // copies removed from the machine
        std::int32_t init;              // QTV_Init's result
        std::wstring bound;             // the copy QTV_Init got (empty: none)
    };
    const std::vector<Case> cases = {
        {"the tool's start-up and the SDK's folder added", kSystem32 | kUserDirs, true, {}, 0, L"C:\\SDK\\vxlinkapi_x64.dll"},
        {"the same without the folder: System32 has none", kSystem32 | kUserDirs, false, {}, -22, L""},
        {"System32 only: the folder added is not searched", kSystem32, true, {}, -22, L""},
        {"the application folder asked for: the copy beside the executable", kApplicationDir | kUserDirs, true, {}, -23,
         L"C:\\Downloads\\vxlinkapi_x64.dll"},
        {"the standard search order: beside the executable first", 0, false, {}, -23,
         L"C:\\Downloads\\vxlinkapi_x64.dll"},
        {"... then the current directory", 0, false, {L"C:\\Downloads\\vxlinkapi_x64.dll"}, -23,
         L"C:\\Users\\me\\vxlinkapi_x64.dll"},
        {"... then PATH", 0, false, {L"C:\\Downloads\\vxlinkapi_x64.dll", L"C:\\Users\\me\\vxlinkapi_x64.dll"}, -23,
         L"C:\\Tools\\vxlinkapi_x64.dll"},
    };
    using Init = std::int32_t (*)(std::uint32_t, std::intptr_t, std::intptr_t);
    using Exit = void (*)();
    for (const Case& c : cases) {
        machine.use();
        for (const std::wstring& path : c.gone) {
            std::erase_if(sim::machine().files, [&](const sim::File& f) { return f.path == path; });
        }
        sim::set_default_dll_directories(c.defaults);
        platform::DllDirectory folder;
        if (c.sdk_folder_added) {
            ASSERT_EQ(platform::add_dll_directory(L"C:\\SDK", folder), 0u) << c.what;
        }
        platform::Library library;
        ASSERT_EQ(platform::load_library(L"C:\\SDK\\qtv_api_core.dll", library), 0u)
            << c.what << ": it imports nothing, so it loads without its companion";
        const auto init = reinterpret_cast<Init>(platform::get_proc_address(library, "QTV_Init").address);
        const auto exit = reinterpret_cast<Exit>(platform::get_proc_address(library, "QTV_Exit").address);
        EXPECT_EQ(init(0x152, 0, 0), c.init) << c.what;
        for (const wchar_t* copy : {L"C:\\SDK\\vxlinkapi_x64.dll", L"C:\\Downloads\\vxlinkapi_x64.dll",
                                    L"C:\\Users\\me\\vxlinkapi_x64.dll", L"C:\\Tools\\vxlinkapi_x64.dll"}) {
            // Kept while initialised; a copy from elsewhere is let go at once.
            EXPECT_EQ(sim::library_loaded(copy), c.init == 0 && c.bound == copy) << c.what << ": " << sim::narrow(copy);
            EXPECT_EQ(sim::count_calls("FreeLibrary from the SDK", sim::narrow(copy)), c.init == -23 && c.bound == copy ? 1u : 0u)
                << c.what << ": " << sim::narrow(copy);
        }
        exit();
        EXPECT_FALSE(sim::library_loaded(c.bound)) << c.what << ": released in QTV_Exit";
    }
}

// A module of that name already loaded is used, wherever it came from.
TEST(SimDllSearch, ALoadedModuleOfTheNameIsUsedWithoutSearching) {
    test::machine_file()
        .pe_file(L"C:\\SDK\\qtv_api_core.dll")
        .pe_file(L"C:\\SDK\\vxlinkapi_x64.dll")
        .pe_file(L"C:\\Tools\\vxlinkapi_x64.dll")
        .sdk(L"C:\\SDK\\qtv_api_core.dll", {{"loads_companion_by_name", true}})
        .use();
    sim::set_default_dll_directories(0x800 | 0x400);
    platform::DllDirectory folder;
    ASSERT_EQ(platform::add_dll_directory(L"C:\\SDK", folder), 0u);
    platform::Library other;
    ASSERT_EQ(platform::load_library(L"C:\\Tools\\vxlinkapi_x64.dll", other), 0u);
    platform::Library sdk;
    ASSERT_EQ(platform::load_library(L"C:\\SDK\\qtv_api_core.dll", sdk), 0u);
    using Init = std::int32_t (*)(std::uint32_t, std::intptr_t, std::intptr_t);
    EXPECT_EQ(reinterpret_cast<Init>(platform::get_proc_address(sdk, "QTV_Init").address)(0x152, 0, 0), -23);
    EXPECT_FALSE(sim::library_loaded(L"C:\\SDK\\vxlinkapi_x64.dll"));
    EXPECT_TRUE(sim::library_loaded(L"C:\\Tools\\vxlinkapi_x64.dll")) << "the tool's own reference is left";
}

// LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR takes the folder up to the last
// backslash: a path written with '/' loads, but not its import beside it.
TEST(SimDllSearch, ImportsAreFoundBesideALibraryNamedWithBackslashes) {
    test::machine_file()
        .pe_file(L"C:\\SDK\\qtv_api_core.dll")
        .pe_file(L"C:\\SDK\\vxlinkapi_x64.dll")
        .pe_file(L"C:\\Plain\\other.dll")
        .sdk(L"C:\\SDK\\qtv_api_core.dll")
        .use();
    platform::Library library;
    EXPECT_EQ(platform::load_library(L"C:/SDK/qtv_api_core.dll", library), win::ERROR_MOD_NOT_FOUND_);
    EXPECT_EQ(platform::load_library(L"C:\\SDK/qtv_api_core.dll", library), win::ERROR_MOD_NOT_FOUND_)
        << "C:\\ is searched, not C:\\SDK";
    EXPECT_EQ(platform::load_library(L"C:/Plain/other.dll", library), 0u) << "a library without imports loads";
    library.reset();
    EXPECT_EQ(platform::load_library(L"C:\\SDK\\qtv_api_core.dll", library), 0u);
    library.reset();

    // The import from System32, for a library whose folder lacks it.
    test::machine_file()
        .pe_file(L"C:\\Lone\\qtv_api_core.dll")
        .pe_file(L"C:\\Windows\\System32\\vxlinkapi_x64.dll")
        .sdk(L"C:\\Lone\\qtv_api_core.dll")
        .use();
    EXPECT_EQ(platform::load_library(L"C:\\Lone\\qtv_api_core.dll", library), 0u);
}

TEST(SimDllSearch, AddDllDirectoryAndItsRemoval) {
    test::machine_file().pe_file(L"C:\\SDK\\qtv_api_core.dll").use();
    {
        platform::DllDirectory folder;
        ASSERT_EQ(platform::add_dll_directory(L"C:\\SDK", folder), 0u);
        EXPECT_EQ(sim::machine().dll_directories.size(), 1u);
        EXPECT_EQ(sim::count_calls("AddDllDirectory", "C:\\SDK"), 1u);
    }
    EXPECT_TRUE(sim::machine().dll_directories.empty());
    EXPECT_EQ(sim::count_calls("RemoveDllDirectory", "C:\\SDK"), 1u);
    test::machine_file().fault("AddDllDirectory", 8).use();
    platform::DllDirectory refused;
    EXPECT_EQ(platform::add_dll_directory(L"C:\\SDK", refused), 8u);
    EXPECT_FALSE(refused.valid());
}

TEST(SimMachineFile, SdkAndPeEntriesAreChecked) {
    struct Case {
        std::string json;
        std::string message;
    };
    const std::vector<Case> cases = {
        {R"({"files": [{"path": "a", "pe": {"machine": "0x8664", "file_version": "1.2"}}]})",
         "at /files/0/pe/file_version: file_version is"},
        {R"({"files": [{"path": "a", "pe": {"file_version": "1.2.3.4"}}]})", "at /files/0/pe: missing \"machine\""},
        {R"({"files": [{"path": "a", "pe": {"machine": "0x8664", "bits": 64}}]})", "unknown entry \"bits\""},
        {R"({"sdk": [{"path": "a", "is_device_changed": "sometimes"}]})", "at /sdk/0/is_device_changed:"},
        {R"({"sdk": [{"path": "a", "init_result": "x"}]})", "at /sdk/0/init_result: expected a signed 32-bit integer"},
        {R"({"sdk": [{"path": "a", "devices": [{"vid": 70000}]}]})", "at /sdk/0/devices/0/vid: number does not fit 16 bits"},
        {R"({"sdk": [{"load_error": 5}]})", "at /sdk/0: missing \"path\""},
        {R"({"sdk": [{"path": "a", "loads_companion_by_name": 1}]})", "at /sdk/0/loads_companion_by_name: expected true"},
        {R"({"files": [{"path": "a", "held_open": {"access": 1}}]})", "at /files/0/held_open: missing \"share\""},
        {R"({"files": [{"path": "a", "held_open": {"access": 1, "share": 1, "pid": 4}}]})", "unknown entry \"pid\""},
        {R"({"devices": [{"instance_id": "X\\1", "interfaces": [{"guid": "g", "path": "p", "held_by_other_process": 0}]}]})",
         "at /devices/0/interfaces/0/held_by_other_process: a held interface"},
        {R"({"environment": ["Path"]})", "at /environment: expected an object"},
        {R"({"environment": {"A=B": "x"}})", "at /environment: a variable name"},
        {R"({"environment": {"A": 1}})", "at /environment/A: expected a string"},
        {R"({"current_directory": 3})", "at /current_directory: expected a string"},
    };
    for (const Case& c : cases) {
        sim::Machine m;
        std::string error;
        EXPECT_FALSE(sim::parse_machine_json(c.json, "m", m, error)) << c.json;
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
    }
}

}  // namespace
}  // namespace vq4

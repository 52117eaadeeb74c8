// Numeric values of the Windows constants the logic passes through the
// platform layer. They are the documented values, spelled here so that the
// logic compiles without <windows.h>.
#pragma once

#include <cstdint>

namespace vq4::win {

// Win32 error codes (GetLastError, registry LSTATUS).
constexpr std::uint32_t ERROR_SUCCESS_ = 0;
constexpr std::uint32_t ERROR_INVALID_FUNCTION_ = 1;
constexpr std::uint32_t ERROR_FILE_NOT_FOUND_ = 2;
constexpr std::uint32_t ERROR_PATH_NOT_FOUND_ = 3;
constexpr std::uint32_t ERROR_ACCESS_DENIED_ = 5;
constexpr std::uint32_t ERROR_INVALID_HANDLE_ = 6;
constexpr std::uint32_t ERROR_NOT_ENOUGH_MEMORY_ = 8;
constexpr std::uint32_t ERROR_INVALID_DATA_ = 13;
constexpr std::uint32_t ERROR_GEN_FAILURE_ = 31;
constexpr std::uint32_t ERROR_SHARING_VIOLATION_ = 32;
constexpr std::uint32_t ERROR_NO_MORE_FILES_ = 18;
constexpr std::uint32_t ERROR_FILE_EXISTS_ = 80;
constexpr std::uint32_t ERROR_DISK_FULL_ = 112;
constexpr std::uint32_t ERROR_ALREADY_EXISTS_ = 183;
constexpr std::uint32_t ERROR_INVALID_OWNER_ = 1307;
constexpr std::uint32_t ERROR_INVALID_PARAMETER_ = 87;
constexpr std::uint32_t ERROR_SEM_TIMEOUT_ = 121;
constexpr std::uint32_t ERROR_NEGATIVE_SEEK_ = 131;
constexpr std::uint32_t ERROR_INSUFFICIENT_BUFFER_ = 122;
constexpr std::uint32_t ERROR_BAD_PATHNAME_ = 161;
constexpr std::uint32_t ERROR_MOD_NOT_FOUND_ = 126;
constexpr std::uint32_t ERROR_PROC_NOT_FOUND_ = 127;
constexpr std::uint32_t ERROR_BAD_EXE_FORMAT_ = 193;
constexpr std::uint32_t ERROR_MORE_DATA_ = 234;
constexpr std::uint32_t ERROR_NO_MORE_ITEMS_ = 259;
constexpr std::uint32_t ERROR_INVALID_FLAGS_ = 1004;
constexpr std::uint32_t ERROR_KEY_DELETED_ = 1018;
constexpr std::uint32_t ERROR_DEVICE_NOT_CONNECTED_ = 1167;
constexpr std::uint32_t ERROR_CANCELLED_ = 1223;
constexpr std::uint32_t ERROR_INVALID_USER_BUFFER_ = 1784;
constexpr std::uint32_t ERROR_RESOURCE_TYPE_NOT_FOUND_ = 1813;
constexpr std::uint32_t ERROR_RESOURCE_DATA_NOT_FOUND_ = 1812;
constexpr std::uint32_t ERROR_RESOURCE_NAME_NOT_FOUND_ = 1814;
constexpr std::uint32_t ERROR_RESOURCE_LANG_NOT_FOUND_ = 1815;
constexpr std::uint32_t ERROR_IN_WOW64_ = 0xE0000235;
constexpr std::uint32_t ERROR_NO_SUCH_DEVINST_ = 0xE000020B;
constexpr std::uint32_t ERROR_KEY_DOES_NOT_EXIST_ = 0xE0000204;
constexpr std::uint32_t ERROR_INVALID_REG_PROPERTY_ = 0xE0000209;

// Registry.
constexpr std::uint32_t KEY_QUERY_VALUE_ = 0x0001;
constexpr std::uint32_t KEY_SET_VALUE_ = 0x0002;
constexpr std::uint32_t KEY_ENUMERATE_SUB_KEYS_ = 0x0008;
constexpr std::uint32_t KEY_READ_ = 0x20019;
constexpr std::uint32_t KEY_ALL_ACCESS_ = 0xF003F;
constexpr std::uint32_t KEY_WOW64_64KEY_ = 0x0100;
constexpr std::uint32_t KEY_WOW64_32KEY_ = 0x0200;
constexpr std::uint32_t REG_NONE_ = 0;
constexpr std::uint32_t REG_SZ_ = 1;
constexpr std::uint32_t REG_EXPAND_SZ_ = 2;
constexpr std::uint32_t REG_BINARY_ = 3;
constexpr std::uint32_t REG_DWORD_ = 4;
constexpr std::uint32_t REG_MULTI_SZ_ = 7;
constexpr std::uint32_t REG_QWORD_ = 11;

// Processor architectures of GetNativeSystemInfo.
constexpr std::uint16_t PROCESSOR_ARCHITECTURE_INTEL_ = 0;
constexpr std::uint16_t PROCESSOR_ARCHITECTURE_AMD64_ = 9;
constexpr std::uint16_t PROCESSOR_ARCHITECTURE_ARM64_ = 12;

// Machines of IsWow64Process2 and of PE headers (IMAGE_FILE_MACHINE_*).
constexpr std::uint16_t IMAGE_FILE_MACHINE_UNKNOWN_ = 0;
constexpr std::uint16_t IMAGE_FILE_MACHINE_I386_ = 0x014C;
constexpr std::uint16_t IMAGE_FILE_MACHINE_AMD64_ = 0x8664;
constexpr std::uint16_t IMAGE_FILE_MACHINE_ARM64_ = 0xAA64;

// Files.
constexpr std::uint32_t GENERIC_READ_ = 0x80000000;
constexpr std::uint32_t GENERIC_WRITE_ = 0x40000000;
constexpr std::uint32_t FILE_SHARE_READ_ = 0x1;
constexpr std::uint32_t FILE_SHARE_WRITE_ = 0x2;
constexpr std::uint32_t FILE_SHARE_DELETE_ = 0x4;
constexpr std::uint32_t OPEN_EXISTING_ = 3;
constexpr std::uint32_t FILE_ATTRIBUTE_DIRECTORY_ = 0x10;
constexpr std::uint32_t FILE_ATTRIBUTE_ARCHIVE_ = 0x20;
constexpr std::uint32_t FILE_ATTRIBUTE_NORMAL_ = 0x80;
constexpr std::uint32_t FILE_FLAG_OVERLAPPED_ = 0x40000000;
constexpr std::uint32_t FILE_FLAG_BACKUP_SEMANTICS_ = 0x02000000;
constexpr std::uint32_t INVALID_FILE_ATTRIBUTES_ = 0xFFFFFFFF;
constexpr std::uint32_t INVALID_SET_FILE_POINTER_ = 0xFFFFFFFF;
constexpr std::uint32_t FILE_BEGIN_ = 0;
constexpr std::uint32_t FILE_CURRENT_ = 1;
constexpr std::uint32_t FILE_END_ = 2;

// SetupAPI and the configuration manager.
constexpr std::uint32_t DIGCF_PRESENT_ = 0x2;
constexpr std::uint32_t DIGCF_ALLCLASSES_ = 0x4;
constexpr std::uint32_t DIGCF_DEVICEINTERFACE_ = 0x10;
constexpr std::uint32_t SPDRP_DEVICEDESC_ = 0;
constexpr std::uint32_t SPDRP_HARDWAREID_ = 1;
constexpr std::uint32_t SPDRP_SERVICE_ = 4;
constexpr std::uint32_t SPDRP_FRIENDLYNAME_ = 12;
constexpr std::uint32_t DICS_FLAG_GLOBAL_ = 1;
constexpr std::uint32_t DIREG_DEV_ = 1;
constexpr std::uint32_t DIREG_DRV_ = 2;
constexpr std::uint32_t DIREG_BOTH_ = 4;
constexpr std::uint32_t CR_SUCCESS_ = 0;
constexpr std::uint32_t CR_NO_SUCH_DEVNODE_ = 0x0D;
constexpr std::uint32_t SPINT_ACTIVE_ = 0x1;

// Toolhelp and the service control manager.
constexpr std::uint32_t TH32CS_SNAPPROCESS_ = 0x2;
constexpr std::uint32_t SC_MANAGER_CONNECT_ = 0x1;
constexpr std::uint32_t SC_MANAGER_CREATE_SERVICE_ = 0x2;
constexpr std::uint32_t SC_MANAGER_ENUMERATE_SERVICE_ = 0x4;
constexpr std::uint32_t SC_MANAGER_ALL_ACCESS_ = 0xF003F;
constexpr std::uint32_t SERVICE_WIN32_OWN_PROCESS_ = 0x10;
constexpr std::uint32_t SERVICE_WIN32_SHARE_PROCESS_ = 0x20;
constexpr std::uint32_t SERVICE_WIN32_ = 0x30;
constexpr std::uint32_t SERVICE_ACTIVE_ = 1;
constexpr std::uint32_t SERVICE_INACTIVE_ = 2;
constexpr std::uint32_t SERVICE_STATE_ALL_ = 3;
constexpr std::uint32_t SERVICE_STOPPED_ = 1;
constexpr std::uint32_t SERVICE_RUNNING_ = 4;
// Device tree changes (repair).
constexpr std::uint32_t DIF_REMOVE_ = 0x05;
constexpr std::uint32_t DIF_PROPERTYCHANGE_ = 0x12;
constexpr std::uint32_t DI_REMOVEDEVICE_GLOBAL_ = 0x1;
constexpr std::uint32_t DICS_PROPCHANGE_ = 3;
constexpr std::uint32_t DICS_FLAG_CONFIGSPECIFIC_ = 2;
constexpr std::uint32_t DI_NEEDRESTART_ = 0x80;
constexpr std::uint32_t DI_NEEDREBOOT_ = 0x100;
constexpr std::uint32_t CM_LOCATE_DEVNODE_NORMAL_ = 0;
constexpr std::uint32_t CM_LOCATE_DEVNODE_PHANTOM_ = 1;
constexpr std::uint32_t CM_REENUMERATE_SYNCHRONOUS_ = 1;
constexpr std::uint32_t CM_REGISTRY_HARDWARE_ = 0;
constexpr std::uint32_t RegDisposition_OpenAlways_ = 0;
constexpr std::uint32_t RegDisposition_OpenExisting_ = 1;
constexpr std::uint32_t CR_INVALID_POINTER_ = 0x03;
constexpr std::uint32_t CR_INVALID_FLAG_ = 0x04;
constexpr std::uint32_t CR_INVALID_DEVNODE_ = 0x05;
constexpr std::uint32_t CR_FAILURE_ = 0x13;
constexpr std::uint32_t CR_BUFFER_SMALL_ = 0x1A;
constexpr std::uint32_t CR_INVALID_DEVICE_ID_ = 0x1E;
constexpr std::uint32_t CR_NO_SUCH_REGISTRY_KEY_ = 0x2E;
constexpr std::uint32_t ERROR_NO_CLASSINSTALL_PARAMS_ = 0xE0000215;

// Token, shell and process (elevated relaunch).
constexpr std::uint32_t TOKEN_QUERY_ = 0x0008;
constexpr std::int32_t SW_SHOWNORMAL_ = 1;
constexpr std::uint32_t INFINITE_ = 0xFFFFFFFF;
constexpr std::uint32_t WAIT_OBJECT_0_ = 0;
constexpr std::uint32_t WAIT_TIMEOUT_ = 258;
constexpr std::uint32_t WAIT_FAILED_ = 0xFFFFFFFF;
constexpr std::uint32_t STILL_ACTIVE_ = 259;

}  // namespace vq4::win

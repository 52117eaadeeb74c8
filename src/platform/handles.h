// Move-only owners for the platform's handles.
//
// The logic never sees a Windows type: every handle is an opaque integer
// wrapped in Handle<Tag>. Each platform implementation defines
// release_handle() for every tag, so the owner closes a registry key with
// RegCloseKey on Windows and drops the simulated key on the simulated
// machine. Owners are declared in the order of acquisition, so C++ scope
// rules release them in the reverse order.
#pragma once

#include <cstdint>
#include <utility>

namespace vq4::platform {

struct RegKeyTag {};
struct DevInfoSetTag {};
struct FileTag {};
struct WinUsbTag {};
struct LibraryTag {};
struct SnapshotTag {};
struct ServiceManagerTag {};
struct ProcessTag {};
struct TokenTag {};
struct ReportFileTag {};
struct DllDirectoryTag {};

void release_handle(RegKeyTag, std::uintptr_t raw) noexcept;
void release_handle(DevInfoSetTag, std::uintptr_t raw) noexcept;
void release_handle(FileTag, std::uintptr_t raw) noexcept;
void release_handle(WinUsbTag, std::uintptr_t raw) noexcept;
void release_handle(LibraryTag, std::uintptr_t raw) noexcept;
void release_handle(SnapshotTag, std::uintptr_t raw) noexcept;
void release_handle(ServiceManagerTag, std::uintptr_t raw) noexcept;
void release_handle(ProcessTag, std::uintptr_t raw) noexcept;
void release_handle(TokenTag, std::uintptr_t raw) noexcept;
void release_handle(ReportFileTag, std::uintptr_t raw) noexcept;
void release_handle(DllDirectoryTag, std::uintptr_t raw) noexcept;

template <class Tag>
class Handle {
public:
    Handle() = default;
    explicit Handle(std::uintptr_t raw) : raw_(raw), owned_(true) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    Handle(Handle&& other) noexcept : raw_(other.raw_), owned_(std::exchange(other.owned_, false)) {}
    Handle& operator=(Handle&& other) noexcept {
        if (this != &other) {
            reset();
            raw_ = other.raw_;
            owned_ = std::exchange(other.owned_, false);
        }
        return *this;
    }
    ~Handle() { reset(); }

    bool valid() const noexcept { return owned_; }
    std::uintptr_t raw() const noexcept { return raw_; }

    // Closes the handle now; used where the order of release is part of
    // the behaviour (a key is closed before the line about it is printed).
    void reset() noexcept {
        if (owned_) {
            owned_ = false;
            release_handle(Tag{}, raw_);
        }
    }

private:
    std::uintptr_t raw_ = 0;
    bool owned_ = false;
};

using RegKey = Handle<RegKeyTag>;
using DevInfoSet = Handle<DevInfoSetTag>;
using FileHandle = Handle<FileTag>;
using WinUsbHandle = Handle<WinUsbTag>;
using Library = Handle<LibraryTag>;
using Snapshot = Handle<SnapshotTag>;
using ServiceManager = Handle<ServiceManagerTag>;
using ProcessHandle = Handle<ProcessTag>;
using TokenHandle = Handle<TokenTag>;
using ReportFile = Handle<ReportFileTag>;
using DllDirectory = Handle<DllDirectoryTag>;  // a folder added to the DLL search

}  // namespace vq4::platform

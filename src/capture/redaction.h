// What a capture leaves on the customer's PC: the texts that name the user,
// the computer and the other devices are replaced, before the capture is
// written, by placeholders that stay the same wherever the text was, so that
// the replay still finds every file and every node. The Vantro Q4's own
// serial number stays: the desk needs it. docs/machine-file.md ("What a
// capture holds") lists what is replaced and how.
#pragma once

#include <string>

#include "capture/machine_capture.h"

namespace vq4::capture {

// What names this user and this PC, as the process's environment gives it
// (USERPROFILE, USERNAME, COMPUTERNAME). An empty text: not known.
struct Identity {
    std::wstring profile_folder;  // the last folder of USERPROFILE, e.g. "jdoe" of "C:\Users\jdoe"
    std::wstring user_name;
    std::wstring computer_name;
};

Identity read_identity();

inline constexpr const wchar_t* kProfilePlaceholder = L"[profile]";
inline constexpr const wchar_t* kUserPlaceholder = L"[user]";
inline constexpr const wchar_t* kComputerPlaceholder = L"[computer]";
// "[serial-1]", "[serial-2]", ...: one per node other than the Vantro Q4's,
// numbered in the order the capture holds them.
std::wstring serial_placeholder(int number);

// `text` with each whole occurrence of `secret` (ASCII letters in any case;
// not inside a longer run of letters and digits) replaced by `placeholder`.
std::wstring replaced_whole(const std::wstring& text, const std::wstring& secret, const std::wstring& placeholder);

// Replaces, everywhere in the capture:
// - the profile folder's name, the user name and the computer name, in every
//   path, registry text, property, environment value, profile entry, SDK
//   record name, process and service name;
// - the serial part (after the second '\') of every instance id that is not
//   the Vantro Q4's, and of the device paths of those nodes, by one
//   placeholder per node (VID and PID stay);
// - the serial number and the link's serial part in the SDK records of
//   devices other than the Vantro Q4, by the same placeholders.
void redact(Capture& capture, const Identity& identity);

}  // namespace vq4::capture

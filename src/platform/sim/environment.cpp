// The simulated process's environment: the machine's variables.
#include "platform/environment.h"

#include "platform/sim/machine.h"
#include "util/text.h"

namespace vq4::sim {

std::vector<EnvironmentVariable> default_environment() {
    return {
        {L"ALLUSERSPROFILE", L"C:\\ProgramData"},
        {L"CommonProgramFiles", L"C:\\Program Files\\Common Files"},
        {L"CommonProgramFiles(x86)", L"C:\\Program Files (x86)\\Common Files"},
        {L"CommonProgramW6432", L"C:\\Program Files\\Common Files"},
        {L"Path", L"C:\\Windows\\system32;C:\\Windows;C:\\Windows\\System32\\Wbem"},
        {L"PROCESSOR_ARCHITECTURE", L"AMD64"},
        {L"ProgramData", L"C:\\ProgramData"},
        {L"ProgramFiles", L"C:\\Program Files"},
        {L"ProgramFiles(x86)", L"C:\\Program Files (x86)"},
        {L"ProgramW6432", L"C:\\Program Files"},
        {L"PUBLIC", L"C:\\Users\\Public"},
        {L"SystemDrive", L"C:"},
        {L"SystemRoot", L"C:\\Windows"},
        {L"windir", L"C:\\Windows"},
    };
}

const EnvironmentVariable* find_variable(const std::vector<EnvironmentVariable>& variables, const std::wstring& name) {
    for (const EnvironmentVariable& variable : variables) {
        if (equals_nocase(variable.name, name)) return &variable;
    }
    return nullptr;
}

const EnvironmentVariable* find_environment_variable(const std::wstring& name) {
    return find_variable(machine().environment, name);
}

void set_variable(std::vector<EnvironmentVariable>& variables, const std::wstring& name,
                  const std::optional<std::wstring>& value) {
    std::erase_if(variables, [&](const EnvironmentVariable& v) { return equals_nocase(v.name, name); });
    if (value) variables.push_back({name, *value});
}

namespace {

// ExpandEnvironmentStringsW's rule over a set of variables.
std::wstring expanded_with(const std::wstring& text, const std::vector<EnvironmentVariable>& variables) {
    std::wstring expanded;
    std::size_t at = 0;
    while (at < text.size()) {
        if (text[at] != L'%') {
            expanded.push_back(text[at++]);
            continue;
        }
        const std::size_t close = text.find(L'%', at + 1);
        if (close == std::wstring::npos) {
            expanded.append(text, at, std::wstring::npos);  // no closing '%': as it is
            break;
        }
        const EnvironmentVariable* variable =
            close == at + 1 ? nullptr : find_variable(variables, text.substr(at + 1, close - at - 1));
        if (variable != nullptr) {
            expanded += variable->value;
        } else {
            expanded.append(text, at, close - at + 1);  // an unknown name stays, both '%' with it
        }
        at = close + 1;
    }
    return expanded;
}

}  // namespace

}  // namespace vq4::sim

namespace vq4::platform {

std::uint32_t expand_environment_strings(const std::wstring& text, std::wstring& out) {
    const auto injected = sim::enter_call("ExpandEnvironmentStringsW", sim::narrow(text));
    if (injected) return sim::finish(*injected);
    out = sim::expanded_with(text, sim::machine().environment);
    // The count of characters stored, the terminating NUL included.
    sim::record_result(static_cast<std::int64_t>(out.size() + 1));
    return 0;
}

std::uint32_t expand_system_environment_strings(const std::wstring& text, std::wstring& out) {
    const auto injected = sim::enter_call("ExpandEnvironmentStringsForUserW", "NULL, " + sim::narrow(text));
    if (injected) return sim::finish(*injected);
    out = sim::expanded_with(text, sim::machine().system_environment);
    return sim::finish(0);
}

}  // namespace vq4::platform

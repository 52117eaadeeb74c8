#include "app/json_report.h"

#include "platform/handles.h"
#include "platform/win_constants.h"
#include "sdk/sdk_registration_section.h"
#include "util/json_writer.h"
#include "util/text.h"

#ifndef VQ4_VERSION
#define VQ4_VERSION "0.0.0"
#endif

namespace vq4 {

namespace {

const char* tag_name(StatusKind kind) {
    switch (kind) {
        case StatusKind::Ok:
            return "OK";
        case StatusKind::Warn:
            return "WARN";
        case StatusKind::Fail:
            return "FAIL";
        default:
            return "INFO";
    }
}

const char* outcome_name(SectionOutcome outcome) {
    switch (outcome) {
        case SectionOutcome::NothingToRepair:
            return "nothing_to_repair";
        case SectionOutcome::RepairNotApplied:
            return "not_applied";
        case SectionOutcome::RepairSucceeded:
            return "succeeded";
        case SectionOutcome::RepairNeedsReplug:
            return "needs_replug";
        case SectionOutcome::RepairFailed:
            return "failed";
        case SectionOutcome::RepairDelegated:
            return "delegated";
    }
    return "unknown";
}

const char* registration_name(SdkRegistrationState state) {
    switch (state) {
        case SdkRegistrationState::KeyMissing:
            return "missing";
        case SdkRegistrationState::Unreadable:
            return "unreadable";
        case SdkRegistrationState::Found:
            return "found";
    }
    return "unknown";
}

void text_list(JsonWriter& out, const std::vector<std::wstring>& texts) {
    out.begin_array();
    for (const std::wstring& text : texts) out.value(text);
    out.end_array();
}

void nodes_json(JsonWriter& out, const std::vector<UsbNode>& nodes) {
    out.begin_array();
    for (const UsbNode& node : nodes) {
        out.begin_object();
        out.member("instance_id", node.instance_id);
        out.member("description", node.description);
        out.member("service", node.service);
        if (node.has_status) {
            out.member("status", node.status);
            out.member("problem", node.problem);
        } else {
            out.member("status", nullptr);
            out.member("problem", nullptr);
        }
        out.end_object();
    }
    out.end_array();
}

void mi03_json(JsonWriter& out, const LowLevelResult& low_level) {
    out.begin_object();
    out.member("guids_read", low_level.guids_read);
    if (low_level.guids_read) {
        out.key("registered_guids");
        text_list(out, low_level.registered_guids);
        out.member("expected_guid", low_level.expected_guid);
        out.member("expected_guid_source", low_level.expected_guid_source);
    } else {
        out.member("registered_guids", nullptr);
        out.member("expected_guid", nullptr);
        out.member("expected_guid_source", nullptr);
    }
    out.member("interface_found", !low_level.interface_path.empty());
    out.end_object();
}

void view_json(JsonWriter& out, const SdkViewFacts& view) {
    out.begin_object();
    out.member("view", view.view);
    out.member("registration", registration_name(view.state));
    out.key("path");
    if (view.state == SdkRegistrationState::Found) {
        out.value(view.path);
    } else {
        out.value(nullptr);
    }
    out.member("file_present", view.file_present);
    out.key("version");
    if (view.file_present) {
        out.value(view.version);
    } else {
        out.value(nullptr);
    }
    out.key("architecture");
    if (view.machine) {
        out.value(machine_name(*view.machine));
    } else {
        out.value(nullptr);
    }
    out.end_object();
}

void device_count_json(JsonWriter& out, const SdkTestResult& test) {
    if (test.devices_counted) {
        out.value(test.device_count);
    } else {
        out.value(nullptr);
    }
}

// What a pass of the sections found: the run's, with the SDK's registration
// views, or the re-checks' after a repair, which read no registration.
void facts_json(JsonWriter& out, const std::vector<UsbNode>& nodes, const LowLevelResult& low_level,
                const SdkRegistrationFacts* registration, const SdkTestResult& sdk_test) {
    out.begin_object();
    out.key("nodes");
    nodes_json(out, nodes);
    out.key("mi03");
    mi03_json(out, low_level);
    out.key("sdk");
    out.begin_object();
    if (registration != nullptr) {
        out.key("views");
        out.begin_array();
        view_json(out, registration->view_64);
        view_json(out, registration->view_32);
        out.end_array();
    }
    out.key("device_count");
    device_count_json(out, sdk_test);
    out.end_object();
    out.end_object();
}

void counts_json(JsonWriter& out, const SummaryShown& summary) {
    out.begin_object();
    out.member("title", summary.title);
    out.member("ok", summary.counts.ok);
    out.member("warn", summary.counts.warn);
    out.member("fail", summary.counts.fail);
    out.member("verdict", tag_name(summary.verdict));
    out.end_object();
}

std::string two_digits(int value) { return std::string(1, char('0' + value / 10 % 10)) + char('0' + value % 10); }

std::string local_time_text(const platform::LocalTime& t) {
    std::string year = std::to_string(t.year);
    while (year.size() < 4) year.insert(year.begin(), '0');
    return year + "-" + two_digits(t.month) + "-" + two_digits(t.day) + "T" + two_digits(t.hour) + ":" +
           two_digits(t.minute) + ":" + two_digits(t.second);
}

}  // namespace

std::wstring tool_version() { return widen(VQ4_VERSION); }

std::string json_report_text(const RunRecord& record) {
    // Written as it is read, member by member into one text: building a
    // document first and printing it cost more than the whole run around it.
    const std::size_t line_count = record.log != nullptr ? record.log->lines.size() : 0;
    JsonWriter out(4096 + 192 * line_count);
    out.begin_object();
    out.member("schema", kJsonReportSchema);
    out.key("tool");
    out.begin_object();
    out.member("name", "VQ4_Diag");
    out.member("version", tool_version());
    out.end_object();
    out.member("local_time", local_time_text(record.time));
    out.key("options");
    out.begin_object();
    out.member("nopause", !record.options.interactive);
    out.member("fix", record.options.fix_requested);
    out.member("nofix", record.options.skip_repair);
    out.member("json", record.options.json);
    out.member("capture", record.options.capture);
    out.member("elevated", record.options.relaunched);
    out.end_object();
    out.key("report_file");
    if (record.report_file.empty()) {
        out.value(nullptr);
    } else {
        out.value(record.report_file);
    }

    out.key("lines");
    out.begin_array();
    if (record.log != nullptr) {
        for (const ReportLine& line : record.log->lines) {
            out.begin_object();
            out.member("section", line.section);
            out.key("tag");
            if (line.tag.empty()) {
                out.value(nullptr);
            } else {
                out.value(line.tag);
            }
            out.member("text", line.text);
            out.key("details");
            text_list(out, line.details);
            out.end_object();
        }
    }
    out.end_array();
    out.key("summaries");
    out.begin_array();
    for (const SummaryShown& summary : record.summaries) counts_json(out, summary);
    out.end_array();

    out.key("repair");
    out.begin_object();
    out.member("ran", record.repair_ran);
    out.key("outcome");
    if (record.repair_ran) {
        out.value(outcome_name(record.repair.outcome));
    } else {
        out.value(nullptr);
    }
    out.key("elevated_exit_code");
    if (record.repair_ran && record.repair.relaunch && record.repair.relaunch->exit_code_known) {
        out.value(record.repair.relaunch->exit_code);
    } else {
        out.value(nullptr);
    }
    out.end_object();
    out.member("exit_code", record.exit_code);

    const ReportFacts& facts = record.facts;
    out.key("facts");
    facts_json(out, facts.nodes, facts.low_level, &facts.sdk_registration, facts.sdk_test);

    out.key("facts_after_repair");
    if (record.facts_after_repair) {
        const VerificationFacts& after = *record.facts_after_repair;
        facts_json(out, after.nodes, after.low_level, nullptr, after.sdk_test);
    } else {
        out.value(nullptr);
    }
    out.end_object();
    std::string text = out.take();
    text += '\n';
    return text;
}

std::uint32_t write_json_report(const std::wstring& path, const RunRecord& record, bool reserved) {
    platform::ReportFile file;
    // A reserved name holds the empty file made for this run; gone, its
    // name is created anew, never over another file.
    std::uint32_t error = reserved ? platform::output_file_open_reserved(path, file) : win::ERROR_FILE_NOT_FOUND_;
    if (error == win::ERROR_FILE_NOT_FOUND_) error = platform::output_file_create_new(path, file);
    if (error != 0) return error;
    const std::string text = json_report_text(record);
    return platform::report_file_write(file, std::vector<std::uint8_t>(text.begin(), text.end()));
}

}  // namespace vq4

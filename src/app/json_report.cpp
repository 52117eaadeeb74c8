#include "app/json_report.h"

#include <nlohmann/json.hpp>

#include "platform/handles.h"
#include "sdk/sdk_registration_section.h"
#include "util/text.h"

#ifndef VQ4_VERSION
#define VQ4_VERSION "0.0.0"
#endif

namespace vq4 {

namespace {

using json = nlohmann::ordered_json;

std::string u8(const std::wstring& text) { return utf8_text(text); }

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

json text_list(const std::vector<std::wstring>& texts) {
    json list = json::array();
    for (const std::wstring& text : texts) list.push_back(u8(text));
    return list;
}

json nodes_json(const std::vector<UsbNode>& nodes) {
    json list = json::array();
    for (const UsbNode& node : nodes) {
        json entry = {{"instance_id", u8(node.instance_id)},
                      {"description", u8(node.description)},
                      {"service", u8(node.service)},
                      {"status", nullptr},
                      {"problem", nullptr}};
        if (node.has_status) {
            entry["status"] = node.status;
            entry["problem"] = node.problem;
        }
        list.push_back(std::move(entry));
    }
    return list;
}

json mi03_json(const LowLevelResult& low_level) {
    json mi03 = {{"guids_read", low_level.guids_read},
                 {"registered_guids", nullptr},
                 {"expected_guid", nullptr},
                 {"expected_guid_source", nullptr},
                 {"interface_found", !low_level.interface_path.empty()}};
    if (low_level.guids_read) {
        mi03["registered_guids"] = text_list(low_level.registered_guids);
        mi03["expected_guid"] = u8(low_level.expected_guid);
        mi03["expected_guid_source"] = u8(low_level.expected_guid_source);
    }
    return mi03;
}

json view_json(const SdkViewFacts& view) {
    json entry = {{"view", u8(view.view)},
                  {"registration", registration_name(view.state)},
                  {"path", nullptr},
                  {"file_present", view.file_present},
                  {"version", nullptr},
                  {"architecture", nullptr}};
    if (view.state == SdkRegistrationState::Found) entry["path"] = u8(view.path);
    if (view.file_present) entry["version"] = u8(view.version);
    if (view.machine) entry["architecture"] = u8(machine_name(*view.machine));
    return entry;
}

json device_count_json(const SdkTestResult& test) {
    return test.devices_counted ? json(test.device_count) : json(nullptr);
}

json counts_json(const SummaryShown& summary) {
    return {{"title", u8(summary.title)},
            {"ok", summary.counts.ok},
            {"warn", summary.counts.warn},
            {"fail", summary.counts.fail},
            {"verdict", tag_name(summary.verdict)}};
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

std::wstring json_report_path(const std::wstring& text_report_path) {
    const std::wstring::size_type dot = text_report_path.rfind(L".txt");
    if (dot != std::wstring::npos && dot + 4 == text_report_path.size()) {
        return text_report_path.substr(0, dot) + L".json";
    }
    return text_report_path + L".json";
}

std::string json_report_text(const RunRecord& record) {
    json lines = json::array();
    if (record.log != nullptr) {
        for (const ReportLine& line : record.log->lines) {
            lines.push_back({{"section", u8(line.section)},
                             {"tag", line.tag.empty() ? json(nullptr) : json(u8(line.tag))},
                             {"text", u8(line.text)},
                             {"details", text_list(line.details)}});
        }
    }
    json summaries = json::array();
    for (const SummaryShown& summary : record.summaries) summaries.push_back(counts_json(summary));

    json repair = {{"ran", record.repair_ran},
                   {"outcome", record.repair_ran ? json(outcome_name(record.repair.outcome)) : json(nullptr)},
                   {"elevated_exit_code", nullptr}};
    if (record.repair_ran && record.repair.outcome == SectionOutcome::RepairDelegated) {
        repair["elevated_exit_code"] = record.repair.elevated_exit_code;
    }

    const ReportFacts& facts = record.facts;
    json sdk_views = json::array({view_json(facts.sdk_registration.view_64), view_json(facts.sdk_registration.view_32)});
    json document = {
        {"schema", kJsonReportSchema},
        {"tool", {{"name", "VQ4_Diag"}, {"version", u8(tool_version())}}},
        {"local_time", local_time_text(record.time)},
        {"options",
         {{"nopause", !record.options.interactive},
          {"fix", record.options.fix_requested},
          {"nofix", record.options.skip_repair},
          {"json", record.options.json},
          {"capture", record.options.capture},
          {"elevated", record.options.relaunched}}},
        {"report_file", record.report_file.empty() ? json(nullptr) : json(u8(record.report_file))},
        {"lines", std::move(lines)},
        {"summaries", std::move(summaries)},
        {"repair", std::move(repair)},
        {"exit_code", record.exit_code},
        {"facts",
         {{"nodes", nodes_json(facts.nodes)},
          {"mi03", mi03_json(facts.low_level)},
          {"sdk", {{"views", std::move(sdk_views)}, {"device_count", device_count_json(facts.sdk_test)}}}}},
        {"facts_after_repair", nullptr},
    };
    if (record.facts_after_repair) {
        const VerificationFacts& after = *record.facts_after_repair;
        document["facts_after_repair"] = {{"nodes", nodes_json(after.nodes)},
                                          {"mi03", mi03_json(after.low_level)},
                                          {"sdk", {{"device_count", device_count_json(after.sdk_test)}}}};
    }
    // Every text was made valid UTF-8 above; the handler only guards that.
    return document.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

std::uint32_t write_json_report(const std::wstring& path, const RunRecord& record) {
    platform::ReportFile file;
    if (const std::uint32_t error = platform::output_file_create_new(path, file); error != 0) return error;
    const std::string text = json_report_text(record);
    return platform::report_file_write(file, std::vector<std::uint8_t>(text.begin(), text.end()));
}

}  // namespace vq4

#include "src/cli/dev_command.hpp"

#include <chrono>

#include "platform/standard_streams.hpp"
#include "src/cli/clean_command.hpp"
#include "src/cli/commands.hpp"
#include "src/cli/dev_json.hpp"
#include "src/cli/dev_report.hpp"
#include "src/cli/dev_view_model.hpp"
#include "src/cli/errors.hpp"
#include "src/cli/format.hpp"
#include "src/cli/interrupt.hpp"

namespace bramvelt::cli {
namespace {

constexpr std::uint64_t kSearchDepth = 8;
constexpr std::uint64_t kSearchEntries = 2'000'000;

std::uint64_t system_now() {
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count();
    return seconds < 0 ? 0 : static_cast<std::uint64_t>(seconds);
}

}  // namespace

DevCommandEnv real_dev_command_env() {
    DevCommandEnv env;
    env.search = [](development::DevScanRequest request, CancelFlag cancel, platform::Writer& err,
                    ProgressLine progress) {
        return run_cli_dev_search(std::move(request), std::move(cancel), err, progress);
    };
    env.now = system_now;
    env.err_is_terminal = platform::is_terminal(platform::kStandardError);
    return env;
}

void report_cli_failure(platform::Writer& out, platform::Writer& err, bool json,
                        std::string_view code, std::string_view message) {
    if (json) {
        nlohmann::json document = nlohmann::json::object();
        document["error"] = {{"code", json_text(code)}, {"message", json_text(message)}};
        document["schemaVersion"] = 1;
        (void)out.write(dump_compact(document) + "\n");
        (void)out.flush();
    } else {
        (void)err.write("bramvelt: " + escape_for_display(message) + "\n");
        (void)err.flush();
    }
}

std::expected<DevSearchResult, std::string> run_dev_scan_with_progress(
    bool verify_remotes, std::span<const std::string> folders, CancelFlag cancel,
    ProgressLine wanted, platform::Writer& err, const DevCommandEnv& env) {
    development::DevScanRequest request;
    request.roots.assign(folders.begin(), folders.end());
    request.max_depth = kSearchDepth;
    request.max_entries = kSearchEntries;
    request.verify_remotes = verify_remotes;
    const bool shown = wanted == ProgressLine::Shown && env.err_is_terminal;
    return env.search(std::move(request), std::move(cancel), err,
                      shown ? ProgressLine::Shown : ProgressLine::Hidden);
}

int dev_command(const DevCommandOptions& options, platform::Writer& out, platform::Writer& err,
                const DevCommandEnv& env) {
    auto targets = resolve_targets(options.folders);
    if (!targets) {
        report_cli_failure(out, err, options.json, "invalidArguments", targets.error());
        return 2;
    }

    const CancelFlag cancel = make_cancel_flag();
    auto bridge = install_interrupt_bridge(cancel);
    // Being told to end stops the search as Ctrl-C does, so that its Git commands are
    // ended with it instead of running on without us.
    auto ending_signals = bridge->catch_ending_signals();
    auto result = run_dev_scan_with_progress(
        options.verify_remotes, *targets, cancel,
        options.json ? ProgressLine::Hidden : ProgressLine::Shown, err, env);
    // Signals only act while the search runs; during the report they end the process.
    ending_signals.reset();
    const int stop_signal = bridge->stop_signal();
    bridge.reset();
    if (!result) {
        report_cli_failure(out, err, options.json, "scanFailed", result.error());
        return 1;
    }

    DevItemFilter filter;
    filter.kinds = options.kinds;
    filter.older_than_days = options.older_than_days;
    filter.min_size = options.min_size;
    filter.sort = options.sort;
    const std::uint64_t now = env.now();

    DevReport report;
    report.targets = std::move(*targets);
    for (const auto* c : filter_and_sort_items(filter, result->candidates, now)) {
        if (options.categories.empty() ||
            std::ranges::find(options.categories, item_category(*c)) != options.categories.end()) {
            report.items.push_back(c);
        }
    }
    report.summary = result->summary;
    report.categories = options.categories;
    report.top = options.top;
    report.now = now;
    report.home = home_dir();

    const int status = report.summary.cancelled || told_to_end(stop_signal)
                           ? interrupted_status(stop_signal)
                       : report.summary.limited ? 3
                                                : 0;
    const bool written =
        options.json ? out.write(dev_json_document(report)) : write_dev_report(out, report);
    if (!written || !out.flush()) return 1;
    return status;
}

int development_command(std::span<const std::string> args, CliStreams& io) {
    const bool clean = args[0] == "clean";
    auto options = parse_dev_options(args, clean ? DevVerb::Clean : DevVerb::Dev);
    if (!options) {
        return usage_error(io, json_requested(args), options.error());
    }
    if (clean) {
        return clean_command(*options, io.out, io.err, real_clean_command_env());
    }
    if (options->interactive) {
        UiOptions ui;
        ui.dev_folders = options->folders;
        ui.verify_remotes = options->verify_remotes;
        return run_interactive(ui, io);
    }
    return dev_command(*options, io.out, io.err, real_dev_command_env());
}

}  // namespace bramvelt::cli

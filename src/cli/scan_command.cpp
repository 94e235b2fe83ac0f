#include "src/cli/scan_command.hpp"

#include <pthread.h>
#include <signal.h>

#include <fmt/format.h>

#include <cstdint>
#include <memory>

#include "platform/processor_count.hpp"
#include "platform/real_path.hpp"
#include "scan/scan.hpp"
#include "scan/session.hpp"
#include "src/cli/commands.hpp"
#include "src/cli/errors.hpp"
#include "src/cli/interrupt.hpp"
#include "src/cli/open_in_app.hpp"
#include "src/cli/scan_report.hpp"
#include "src/cli/usage.hpp"

namespace bramvelt::cli {
namespace {

// The text report's limits when none are given.
constexpr std::uint64_t kTextReportDepth = 2;
constexpr std::uint64_t kTextReportTop = 20;

// A decimal unsigned integer with one optional leading "+".
std::optional<std::uint64_t> parse_count(std::string_view text) {
    if (text.starts_with('+')) text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

// Holds SIGINT back on this thread while the report is written, so an interrupt that
// comes once the scan is over ends the program after a whole document, never inside one.
class DeferredInterrupt {
  public:
    DeferredInterrupt() {
        sigset_t set;
        ::sigemptyset(&set);
        ::sigaddset(&set, SIGINT);
        ::pthread_sigmask(SIG_BLOCK, &set, &old_);
    }
    ~DeferredInterrupt() { ::pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
    DeferredInterrupt(const DeferredInterrupt&) = delete;
    DeferredInterrupt& operator=(const DeferredInterrupt&) = delete;

  private:
    sigset_t old_;
};

// Freeing a tree of millions of nodes just before the process ends costs time and
// gains nothing; the last report's tree, and what the report cut from it, stay
// reachable until exit instead.
// The session goes with them: its sets hold an entry per directory walked.
void keep_until_exit(std::shared_ptr<scan::ScanSession> session, scan::ScanOutcome outcome,
                     TrimmedNodes trimmed) {
    struct Kept {
        std::shared_ptr<scan::ScanSession> session;
        scan::ScanOutcome outcome;
        TrimmedNodes trimmed;
    };
    static std::unique_ptr<Kept>* kept = new std::unique_ptr<Kept>();
    *kept =
        std::make_unique<Kept>(Kept{std::move(session), std::move(outcome), std::move(trimmed)});
}

int run_scan_command(const ScanCommandOptions& options, CliStreams& io) {
    OutputLimits limits{options.depth, options.top};
    if (!options.json) {
        if (!limits.depth) limits.depth = kTextReportDepth;
        if (!limits.top) limits.top = kTextReportTop;
    }

    CancelFlag cancel = make_cancel_flag();
    std::expected<scan::ScanOutcome, std::string> outcome;
    std::optional<DeferredInterrupt> deferred;
    std::shared_ptr<scan::ScanSession> session;
    {
        auto bridge = install_interrupt_bridge(cancel);
        scan::ScanOptions scan_options;
        scan_options.retention = scan::KeepAll{};
        scan_options.snapshot_interval = {2, 0};
        scan_options.jobs = options.jobs;
        scan_options.max_depth = scan::kMaxScanDepth;
        scan_options.collapse_packages = options.collapse_packages;
        scan_options.skip_links = options.skip_links;
        scan_options.profile = options.profile;
        scan_options.one_filesystem = true;
        scan_options.portable_listing = false;
        session = std::make_shared<scan::ScanSession>(
            scan_options, std::make_unique<platform::NullWriter>(), cancel);
        scan::set_event_callback(*session, scan::ignore_scan_event);
        outcome = scan::run_scan(session, options.folder);
        // Before the bridge gives SIGINT back to its old handler.
        deferred.emplace();
    }
    if (!outcome) {
        if (options.json) {
            write_json_error(io.out, "scanFailed", outcome.error());
        } else {
            print_cli_error(io.err, outcome.error());
        }
        return 1;
    }
    const bool incomplete = tree_has_problems(outcome->tree, options.jobs);
    bool written = false;
    TrimmedNodes trimmed;
    // Memory that runs out while the report is written goes on to the entry, which tells
    // it in the report's place or after the cut output.
    if (options.json) {
        written =
            trim_and_write_json_report(io.out, *outcome, limits, incomplete, options.jobs, trimmed);
    } else {
        written = write_text_report(io.out, *outcome, limits, incomplete);
    }
    const bool flushed = io.out.flush();
    const bool cancelled = outcome->cancelled;
    keep_until_exit(std::move(session), std::move(*outcome), std::move(trimmed));
    if (!written || !flushed) return 1;
    if (cancelled) return 130;
    return incomplete ? 3 : 0;
}

}  // namespace

unsigned default_scan_jobs() {
    const auto online = platform::online_processors();
    if (!online) return 4;
    return static_cast<unsigned>(std::min<unsigned long>(*online, 16));
}

std::expected<ScanCommandOptions, std::string> parse_scan_options(std::span<const std::string> args,
                                                                  ScanCommandWord word) {
    const bool is_open = word == ScanCommandWord::open;
    ScanCommandOptions options;
    options.jobs = default_scan_jobs();
    bool have_folder = false;
    bool output_chosen = false;
    bool options_ended = false;
    const auto take_folder = [&](const std::string& arg) -> std::expected<void, std::string> {
        if (have_folder) return std::unexpected(std::string("provide exactly one folder"));
        options.folder = arg;
        have_folder = true;
        return {};
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (options_ended || arg.empty() || !arg.starts_with('-')) {
            if (auto ok = take_folder(arg); !ok) return std::unexpected(ok.error());
            continue;
        }
        if (arg == "--") {
            options_ended = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            options.help = true;
            return options;
        }
        if (is_open) return std::unexpected(fmt::format("unknown open option: {}", arg));

        const auto eq = arg.find('=');
        const std::string name = arg.substr(0, eq);
        const std::optional<std::string> inline_value =
            eq == std::string::npos ? std::nullopt : std::optional<std::string>(arg.substr(eq + 1));
        const auto flag = [&](auto&& apply) -> std::expected<void, std::string> {
            if (inline_value) return std::unexpected(fmt::format("unknown scan option: {}", arg));
            apply();
            return {};
        };
        const auto value = [&]() -> std::optional<std::string> {
            if (inline_value) return inline_value;
            if (i + 1 < args.size()) return args[++i];
            return std::nullopt;
        };
        std::expected<void, std::string> step;
        if (name == "--json" || name == "--text") {
            step = flag([&] {});
            if (step) {
                if (output_chosen)
                    return std::unexpected(std::string("choose --json or --text once"));
                output_chosen = true;
                options.json = name == "--json";
            }
        } else if (name == "--depth" || name == "--top" || name == "--jobs") {
            const auto text = value();
            const auto number = text ? parse_count(*text) : std::nullopt;
            if (!number)
                return std::unexpected(fmt::format("{} requires a nonnegative integer", name));
            if (name == "--depth") {
                if (*number > 512)
                    return std::unexpected(std::string("--depth must be 0 through 512"));
                options.depth = *number;
            } else if (name == "--top") {
                options.top = *number;
            } else {
                if (*number < 1 || *number > 64) {
                    return std::unexpected(std::string("--jobs must be 1 through 64"));
                }
                options.jobs = static_cast<unsigned>(*number);
            }
        } else if (name == "--profile") {
            const auto text = value();
            const auto profile = text ? scan::parse_profile(*text) : std::nullopt;
            if (!profile) return std::unexpected(std::string("--profile must be general or dev"));
            options.profile = *profile;
        } else if (name == "-i" || name == "--interactive") {
            step = flag([&] { options.interactive = true; });
        } else if (name == "--no-packages") {
            step = flag([&] { options.collapse_packages = false; });
        } else if (name == "--include-links") {
            step = flag([&] { options.skip_links = false; });
        } else {
            return std::unexpected(fmt::format("unknown scan option: {}", arg));
        }
        if (!step) return std::unexpected(step.error());
    }
    if (!have_folder) return std::unexpected(std::string("provide a folder"));
    return options;
}

int scan_or_open_command(std::span<const std::string> args, bool json, CliStreams& io) {
    const bool is_open = args[0] == "open";
    auto options = parse_scan_options(args.subspan(1),
                                      is_open ? ScanCommandWord::open : ScanCommandWord::scan);
    if (!options) return usage_error(io, json, options.error());
    if (options->help) {
        const bool written = io.out.write(kUsageText);
        return io.out.flush() && written ? 0 : 1;
    }
    if (is_open) {
        if (auto opened = open_in_app(options->folder); !opened) {
            print_cli_error(io.err, opened.error());
            return 1;
        }
        return 0;
    }
    if (options->interactive) {
        const auto resolved = platform::real_directory(options->folder);
        if (!resolved) {
            print_cli_error(io.err, fmt::format("not a directory: {}", options->folder));
            return 2;
        }
        UiOptions ui;
        ui.folder = *resolved;  // as bytes: the folder's real path need not be UTF-8
        return run_interactive(ui, io);
    }
    return run_scan_command(*options, io);
}

}  // namespace bramvelt::cli

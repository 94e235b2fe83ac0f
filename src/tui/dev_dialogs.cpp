#include "src/tui/dev_dialogs.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "platform/host_name.hpp"
#include "platform/utf8.hpp"
#include "src/cli/cleanup_sink.hpp"
#include "src/cli/cleanup_totals.hpp"
#include "src/cli/format.hpp"
#include "src/tui/kit/clear.hpp"
#include "src/tui/kit/gauge.hpp"
#include "src/tui/kit/layout.hpp"
#include "src/tui/kit/paragraph.hpp"
#include "src/tui/widgets.hpp"

namespace bramvelt::tui {
namespace {

using cli::CleanAction;
using development::CandidateKind;
using development::DevCandidate;

constexpr std::size_t kMostListedItems = 10;
constexpr std::size_t kMostListedWarnings = 6;

kit::Color badge_color(const DevCandidate& c) {
    switch (cli::item_category(c)) {
        case cli::DevCategory::Rebuildable:
            return palette::kAccent;
        case cli::DevCategory::Worktree:
            return palette::kViolet;
        case cli::DevCategory::Keep:
            break;
    }
    return c.kind == CandidateKind::Repository ? palette::kMuted : palette::kWarning;
}

std::string_view method_name(CleanAction method) {
    return method == CleanAction::Delete ? "Delete permanently" : "Move to Trash";
}

kit::Rect dialog_rect(kit::Rect area, std::uint32_t height) {
    const std::uint32_t width = std::min<std::uint32_t>(area.width >= 4 ? area.width - 4u : 0, 100);
    height = std::min<std::uint32_t>(height, area.height >= 2 ? area.height - 2u : 0);
    return kit::Rect::make(area.x + (area.width - width) / 2, area.y + (area.height - height) / 2,
                           width, height);
}

kit::Line option(CleanAction method, CleanAction chosen) {
    if (method == chosen) {
        const kit::Color bg = method == CleanAction::Delete ? palette::kError : palette::kAccent;
        return kit::Line(kit::Span(fmt::format(" ● {} ", method_name(method)),
                                   kit::fg_bg(palette::kDarkText, bg).bold()));
    }
    return kit::Line(kit::Span(fmt::format(" ○ {} ", method_name(method)), kit::fg(palette::kMuted)));
}

void render_line(kit::Line line, kit::Rect area, kit::Buffer& buf, std::uint32_t row) {
    if (row >= area.height) return;
    line.render(kit::Rect::make(area.x, area.y + row, area.width, 1), buf);
}

std::string lower(std::string text) {
    std::ranges::transform(text, text.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    });
    return text;
}

}  // namespace

std::string host_label_of(const std::optional<std::string>& name) {
    if (!name) return "this computer";
    std::string text = platform::to_utf8_lossy(*name);
    if (text.empty()) return "this computer";
    while (text.ends_with(".local")) text.resize(text.size() - 6);
    return fmt::format("this computer ({})", cli::escape_for_display(text));
}

std::string host_label() { return host_label_of(platform::host_name()); }

namespace {

// The review dialog's regions from top to bottom: the head line, the items, the method
// choice, the notes (the rest), the warnings and the action line.
struct ReviewRegions {
    kit::Rect rect;  // the whole dialog, borders included
    kit::Rect head;
    kit::Rect items;
    kit::Rect method;
    kit::Rect notes;
    kit::Rect warnings;
    kit::Rect action;
    std::uint32_t item_rows = 0;
};

ReviewRegions review_regions(const cli::CleanupReview& review, kit::Rect area) {
    const std::size_t c = review.candidates.size();
    const std::size_t w = review.warnings.size();
    ReviewRegions r;
    r.item_rows = c == 0 ? 1 : static_cast<std::uint32_t>(std::min(c, kMostListedItems));
    const std::uint32_t warning_rows =
        w == 0 ? 0 : static_cast<std::uint32_t>(std::min(w, kMostListedWarnings)) + 2;
    const std::uint32_t worktree_rows = review.worktree_count != 0 ? 3 : 0;
    r.rect = dialog_rect(area, 17 + r.item_rows + warning_rows + worktree_rows);
    const kit::Rect inner = popup_block("").inner(r.rect);
    const auto split =
        kit::Layout::vertical({kit::Constraint::length(2), kit::Constraint::length(r.item_rows + 1),
                               kit::Constraint::length(3), kit::Constraint::min(2),
                               kit::Constraint::length(warning_rows), kit::Constraint::length(2)})
            .split(inner);
    r.head = split[0];
    r.items = split[1];
    r.method = split[2];
    r.notes = split[3];
    r.warnings = split[4];
    r.action = split[5];
    return r;
}

// " {} selected · {} on disk", and a note when a worktree took in other selected items.
void draw_review_head(const DevView& view, const cli::CleanupReview& review, kit::Rect region,
                      kit::Buffer& buf) {
    const std::size_t c = review.candidates.size();
    std::vector<kit::Span> head{
        kit::Span(fmt::format(" {} selected", c), kit::fg(palette::kLight).bold()),
        kit::Span(fmt::format(" · {} on disk", cli::format_size(review.total_bytes)),
                  kit::fg(palette::kMuted))};
    if (c < view.selected_paths.size()) {
        head.emplace_back(" · items inside a selected worktree are included once",
                          kit::fg(palette::kMuted));
    }
    render_line(kit::Line(std::move(head)), region, buf, 0);
}

kit::Line review_item_line(const DevCandidate& candidate, std::size_t dialog_width,
                           const std::optional<std::string>& home) {
    std::string branch;
    if (candidate.git && candidate.git->branch) {
        branch = "  branch kept: " + cli::escape_for_display(*candidate.git->branch);
    }
    const std::size_t branch_chars = char_count(branch);
    const std::size_t room =
        dialog_width > 19 + branch_chars ? dialog_width - 19 - branch_chars : 0;
    return kit::Line(std::vector<kit::Span>{
        kit::Span(candidate.kind == CandidateKind::Worktree ? " ⎇ " : " ⟲ ",
                  kit::fg(badge_color(candidate))),
        kit::Span(fmt::format("{:>10}  ", cli::format_size(candidate.allocated_bytes)),
                  kit::fg(palette::kLight)),
        kit::Span(truncate_start(cli::display_path(candidate.path, home),
                                 std::max<std::size_t>(room, 16)),
                  kit::fg(palette::kMuted)),
        kit::Span(branch, kit::fg(palette::kAccent))});
}

// The items from the dialog's scroll position on, one line each.
void draw_review_items(const ReviewDialog& dialog, const ReviewRegions& r, kit::Buffer& buf,
                       const std::optional<std::string>& home) {
    const auto& candidates = dialog.review.candidates;
    for (std::size_t i = dialog.scroll, row = 0; i < candidates.size() && row < r.item_rows;
         ++i, ++row) {
        render_line(review_item_line(candidates[i], r.rect.width, home), r.items, buf,
                    static_cast<std::uint32_t>(row));
    }
}

// The two methods with the chosen one highlighted, and what the chosen one does.
void draw_review_method(CleanAction method, kit::Rect region, kit::Buffer& buf) {
    std::vector<kit::Span> options{
        kit::Span(" Generated files  ", kit::fg(palette::kLight).bold())};
    for (auto& s : option(CleanAction::Trash, method).spans) options.push_back(s);
    options.emplace_back(" ");
    for (auto& s : option(CleanAction::Delete, method).spans) options.push_back(s);
    render_line(kit::Line(std::move(options)), region, buf, 0);
    render_line(method == CleanAction::Delete
                    ? kit::Line(kit::Span(
                          " Generated output is deleted permanently. This cannot be undone.",
                          kit::fg(palette::kWarning)))
                    : kit::Line(kit::Span(" Generated output goes to this computer's Trash. "
                                          "Space is reclaimed after the Trash is emptied.",
                                          kit::fg(palette::kMuted))),
                region, buf, 1);
}

// What happens to worktrees, when there are any, and the advice to stop builds first.
void draw_review_notes(std::uint64_t worktrees, kit::Rect region, kit::Buffer& buf) {
    const kit::Style muted = kit::fg(palette::kMuted);
    std::vector<kit::Line> notes;
    if (worktrees != 0) {
        notes.emplace_back(std::vector<kit::Span>{
            kit::Span(fmt::format("{} Git worktree{}: ", worktrees, worktrees == 1 ? "" : "s"),
                      kit::fg(palette::kLight).bold()),
            kit::Span("generated output is cleaned up first, then Git removes each working copy "
                      "and its registration. Branches and shared history are kept. Working "
                      "copies are removed permanently.",
                      muted)});
        notes.emplace_back("");
    }
    notes.emplace_back(
        kit::Span("Stop builds and tools using these folders first. Ownership, "
                  "identity and Git safety checks run again before each removal.",
                  muted));
    const kit::Rect inset = kit::Rect::make(
        region.x + 1, region.y, region.width >= 2 ? region.width - 2u : 0, region.height);
    kit::Paragraph(kit::Text(std::move(notes))).wrapped(kit::LeadingSpace::Keep).render(inset, buf);
}

// The first warnings, then the acknowledgement, or how many more there are when the
// dialog cannot show them all.
void draw_review_warnings(const ReviewDialog& dialog, kit::Rect region, kit::Buffer& buf) {
    const auto& warnings = dialog.review.warnings;
    const std::size_t w = warnings.size();
    if (w == 0) return;
    std::vector<kit::Line> lines;
    for (std::size_t i = 0; i < std::min(w, kMostListedWarnings); ++i) {
        lines.emplace_back(kit::Span(" ⚠ " + warnings[i], kit::fg(palette::kWarning)));
    }
    if (w <= kMostListedWarnings) {
        lines.emplace_back(std::vector<kit::Span>{
            kit::Span(dialog.acknowledged ? " [✓] " : " [ ] ", kit::fg(palette::kAccent).bold()),
            kit::Span("I reviewed these location warnings (a)")});
    } else {
        lines.emplace_back(
            kit::Span(fmt::format(" +{} more — select fewer items to review every warning",
                                  w - kMostListedWarnings),
                      kit::fg(palette::kError)));
    }
    kit::Paragraph(kit::Text(std::move(lines)))
        .wrapped(kit::LeadingSpace::Trim)
        .render(region, buf);
}

// The action line on the right: the keys and the action, or the confirmation question.
void draw_review_action(const ReviewDialog& dialog, kit::Rect region, kit::Buffer& buf) {
    const std::size_t c = dialog.review.candidates.size();
    const std::string items = fmt::format("{} item{}", c, c == 1 ? "" : "s");
    const std::string action = dialog.method == CleanAction::Delete
                                   ? fmt::format("Delete {} permanently", items)
                                   : fmt::format("Move {} to Trash", items);
    kit::Line line;
    if (dialog.confirm_pending) {
        line = kit::Line(
            std::vector<kit::Span>{kit::Span(" Are you sure? ", kit::fg(palette::kError).bold()),
                                   kit::Span(fmt::format("Press y to {}.", lower(action)),
                                             kit::fg(palette::kLight).bold())});
    } else {
        const kit::Color bg =
            dialog.method == CleanAction::Delete ? palette::kError : palette::kAccent;
        line = kit::Line(
            std::vector<kit::Span>{kit::Span(" Esc ", kit::fg(palette::kAccent).bold()),
                                   kit::Span("cancel   ", kit::fg(palette::kMuted)),
                                   kit::Span(" Enter ", kit::fg_bg(palette::kDarkText, bg).bold()),
                                   kit::Span(" " + action, kit::fg(palette::kLight).bold())});
    }
    kit::Paragraph(kit::Text(std::vector<kit::Line>{kit::Line(""), std::move(line)}))
        .aligned(kit::Alignment::Right)
        .render(region, buf);
}

KeyHints review_hints(const ReviewDialog& dialog) {
    if (dialog.confirm_pending) return {{"y", "confirm"}, {"any other key", "go back"}};
    KeyHints hints{{"t", "Trash"}, {"d", "delete permanently"}};
    if (!dialog.review.warnings.empty()) hints.push_back({"a", "acknowledge warnings"});
    hints.push_back({"Enter", "continue"});
    hints.push_back({"Esc", "cancel"});
    return hints;
}

}  // namespace

KeyHints draw_review_dialog(const DevView& view, kit::Buffer& buf, kit::Rect area,
                            const std::optional<std::string>& home) {
    const auto& dialog = std::get<ReviewDialog>(view.dialog);
    const ReviewRegions regions = review_regions(dialog.review, area);
    kit::Clear{}.render(regions.rect, buf);
    popup_block(fmt::format(" Review cleanup · {} ", host_label())).render(regions.rect, buf);
    draw_review_head(view, dialog.review, regions.head, buf);
    draw_review_items(dialog, regions, buf, home);
    draw_review_method(dialog.method, regions.method, buf);
    draw_review_notes(dialog.review.worktree_count, regions.notes, buf);
    draw_review_warnings(dialog, regions.warnings, buf);
    draw_review_action(dialog, regions.action, buf);
    return review_hints(dialog);
}

namespace {

struct StatusLook {
    std::string_view mark;
    std::string_view word;
    kit::Color color;
};

StatusLook status_look(const cleanup::CleanupItemResult& result) {
    const cli::StatusMark shown = cli::cleanup_status_mark(result);
    switch (result.status) {
        case cleanup::CleanupStatus::Removed:
        case cleanup::CleanupStatus::Trashed:
            return {shown.mark, shown.word, palette::kSuccess};
        case cleanup::CleanupStatus::Cancelled:
            return {shown.mark, shown.word, palette::kWarning};
        default:
            break;
    }
    return {shown.mark, shown.word, palette::kError};
}

}  // namespace

KeyHints draw_progress_dialog(const DevView& view, kit::Buffer& buf, kit::Rect area,
                              const std::optional<std::string>& home, std::uint64_t tick) {
    const auto& dialog = std::get<ProgressDialog>(view.dialog);
    const kit::Rect rect = dialog_rect(area, std::min<std::uint32_t>(area.height >= 2 ? area.height - 2u : 0, 24));
    kit::Clear{}.render(rect, buf);
    const std::string title =
        dialog.finished ? std::string(" Cleanup finished ")
        : dialog.method == CleanAction::Delete
            ? fmt::format(" {} Deleting · {} ", spinner_frame(tick), host_label())
            : fmt::format(" {} Moving to Trash · {} ", spinner_frame(tick), host_label());
    const kit::Block block = popup_block(title);
    const kit::Rect inner = block.inner(rect);
    block.render(rect, buf);
    const auto regions = kit::Layout::vertical({kit::Constraint::length(2), kit::Constraint::length(2),
                                                kit::Constraint::min(3), kit::Constraint::length(3)})
                             .split(inner);
    const kit::Style muted = kit::fg(palette::kMuted);

    const std::size_t n = std::max<std::size_t>(dialog.review.candidates.size(), 1);
    std::uint64_t processed = 0;
    if (dialog.outcome) {
        processed = dialog.outcome->processed_bytes;
    } else {
        for (const auto& r : dialog.results) processed += r.processed_bytes;
    }
    if (regions[0].height > 0 && regions[0].width >= 2) {
        kit::Gauge gauge;
        gauge.ratio = dialog.finished ? 1.0
                                      : std::min(1.0, static_cast<double>(dialog.results.size()) /
                                                          static_cast<double>(n));
        gauge.label = kit::Span(
            fmt::format("{}/{} items · {}", dialog.results.size(), n, cli::format_size(processed)));
        gauge.gauge_style = kit::fg_bg(palette::kAccent, palette::kDim);
        gauge.render(kit::Rect::make(regions[0].x + 1, regions[0].y, regions[0].width - 2u, 1), buf);
    }

    const std::size_t room = rect.width > 30 ? rect.width - 30u : 0;
    if (!dialog.finished) {
        std::string stage = dialog.current ? dialog.current->stage : std::string("starting");
        std::ranges::replace(stage, '_', ' ');
        std::vector<kit::Span> spans{kit::Span(fmt::format(" {}: ", stage), kit::fg(palette::kAccent))};
        if (dialog.current && dialog.current->detail) {
            spans.emplace_back(truncate_start(cli::display_path(*dialog.current->detail, home), room),
                               muted);
        }
        render_line(kit::Line(std::move(spans)), regions[1], buf, 0);
    }

    // The newest results last, kept in view at the region's bottom however they wrap.
    std::vector<kit::Line> lines;
    const std::size_t shown = std::min<std::size_t>(dialog.results.size(), regions[2].height);
    for (std::size_t i = dialog.results.size() - shown; i < dialog.results.size(); ++i) {
        const auto& r = dialog.results[i];
        const StatusLook l = status_look(r);
        std::vector<kit::Span> spans{
            kit::Span(fmt::format(" {} {:<8}", l.mark, l.word), kit::fg(l.color)),
            kit::Span(fmt::format("{:>10}  ", cli::format_size(r.processed_bytes)),
                      kit::fg(palette::kLight)),
            kit::Span(truncate_start(cli::display_path(r.path, home), room), muted)};
        if (r.error) spans.emplace_back("  " + *r.error, kit::fg(palette::kWarning));
        lines.emplace_back(std::move(spans));
    }
    kit::Paragraph(kit::Text(std::move(lines)))
        .wrapped(kit::LeadingSpace::Trim)
        .anchored(kit::Anchor::Bottom)
        .render(regions[2], buf);

    std::vector<kit::Line> end;
    if (dialog.error) end.emplace_back(kit::Span(" ✗ " + *dialog.error, kit::fg(palette::kError)));
    if (dialog.finished && dialog.outcome) {
        const auto& o = *dialog.outcome;
        const cli::RemovedBytesText removed =
            cli::removed_bytes_text(dialog.method, o.processed_bytes, o.trashed_bytes);
        end.emplace_back(std::vector<kit::Span>{
            kit::Span(" " + removed.text, kit::fg(palette::kSuccess).bold()),
            kit::Span(fmt::format(" · {} done · {} kept · {} stopped", o.completed_items,
                                  o.failed_items, o.cancelled_items),
                      muted)});
        if (removed.remind_to_empty_trash) {
            end.emplace_back(kit::Span(" Empty the Trash to reclaim the space.", muted));
        }
    } else if (!dialog.finished && dialog.stopping) {
        end.emplace_back(kit::Span(" Stopping after the current item…", kit::fg(palette::kWarning)));
    }
    kit::Paragraph(kit::Text(std::move(end))).render(regions[3], buf);

    if (dialog.finished) return {{"Enter", "close and rescan"}};
    return {{"Esc", "stop after the current item"}};
}

}  // namespace bramvelt::tui

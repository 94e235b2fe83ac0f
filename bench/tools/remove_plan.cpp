// The bramvelt side of bench/remove: deletes one folder with a whole permanent-removal
// plan (validation walk included), as the `clean` command's Delete action would.
//   remove_plan DIR        exit 0 once DIR is removed
#include <cstdio>
#include <cstdlib>
#include <string>
#include <variant>

#include "core/cleanup/orchestrator.hpp"
#include "core/filesystem/byte_path.hpp"
#include "platform/change_clock.hpp"
#include "platform/open_file_limit.hpp"

namespace cleanup = bramvelt::cleanup;

int main(int argc, char** argv) {
    const char* home = std::getenv("HOME");
    if (argc != 2 || home == nullptr) {
        std::fprintf(stderr, "usage: remove_plan DIR (with HOME set)\n");
        return 2;
    }
    (void)bramvelt::platform::raise_open_file_limit();
    const std::string item = argv[1];
    cleanup::CleanupPlan plan;
    plan.context.home = home;
    plan.context.protected_paths = {std::string(home) + "/Library/Application Support/BramVelt"};
    plan.scan_root = bramvelt::filesystem::path_parent(item).value_or("");
    // As a worktree's folder goes: every entry's change time is checked against a moment
    // marked first (nothing changed after it, so all of it goes).
    plan.items = {{std::nullopt, "item-0", item, bramvelt::platform::mark_change_moment()}};
    plan.action = cleanup::CleanupAction::remove();
    plan.acknowledged = bramvelt::policy::Acknowledgement::Given;

    bool removed = false;
    std::string failure;
    // A Delete plan never asks a host for anything; the link only has to exist.
    auto [link, senders] = bramvelt::host_trash::open_host_link(nullptr);
    cleanup::execute_cleanup_plan(
        plan, bramvelt::make_cancel_flag(), link, [&](cleanup::CleanupEvent event) {
            if (auto* f = std::get_if<cleanup::Failed>(&event)) {
                failure = f->message;
            } else if (auto* done = std::get_if<cleanup::ItemFinished>(&event)) {
                removed = !done->result.error;
                failure = done->result.error.value_or("");
            }
        });
    if (!removed) {
        std::fprintf(stderr, "remove_plan: %s\n", failure.c_str());
        return 1;
    }
    return 0;
}

#include "core/development/inspection_prefetch.hpp"

#include <algorithm>
#include <memory>
#include <mutex>

#include "core/development/config_file.hpp"
#include "core/development/git_queries.hpp"
#include "core/development/worktree_list.hpp"
#include "core/filesystem/byte_path.hpp"

namespace bramvelt::development {
namespace {

// One forecast in progress; pool threads fill it in as answers arrive.
struct Plan {
    GitPrefetch* pool = nullptr;
    std::string folder;
    std::uint64_t generation = 0;
    Urgency urgency = Urgency::Now;
    StatusEnded status_ended;

    std::mutex mutex;
    std::optional<bool> not_partial;  // known once the common directory was looked at
    bool head_known = false;
    std::optional<std::string> head;
    bool refs_asked = false;
};

void ask(const std::shared_ptr<Plan>& plan, const std::vector<std::string>& args,
         const FilterDrivers* filters = nullptr, GitPrefetch::Then then = {}) {
    plan->pool->ask_for(plan->generation,
                        GitCommandRef{plan->folder, args, filters, GitQuery::Local}, plan->urgency,
                        std::move(then));
}

// The refs and the commit time, once HEAD is known and a partial clone ruled out.
void ask_refs_when_ready(const std::shared_ptr<Plan>& plan) {
    std::optional<std::string> head;
    {
        std::lock_guard lock(plan->mutex);
        if (plan->refs_asked || !plan->head_known || !plan->head || plan->not_partial != true) {
            return;
        }
        plan->refs_asked = true;
        head = plan->head;
    }
    ask(plan, git_query::refs_containing(*head));
    ask(plan, git_query::commit_time());
}

void ask_facts(const std::shared_ptr<Plan>& plan, const std::string& common_dir) {
    if (!plan->pool->claim_repository_facts(common_dir)) {
        return;
    }
    if (!plan->pool->worktree_list_noted(common_dir)) {
        ask(plan, git_query::worktree_list());
    }
    ask(plan, git_query::remotes());
    ask(plan, git_query::partial_clone_settings());
}

// Reads the common directory's configuration: the status, with the drivers the inspection
// will read there too (or Git's listing of them, as it asks), and once it has ended the
// tracked files with the index's flags, which the inspection reads after the status they
// complete.
void ask_working_tree(const std::shared_ptr<Plan>& plan, const std::string& common_dir) {
    const bool not_partial = config_rules_out_partial_clone(common_dir);
    if (not_partial) {
        const auto ended = [plan](const GitAnswer&) {
            ask(plan, git_query::tracked_files());
            if (plan->status_ended) {
                plan->status_ended(plan->folder, plan->urgency == Urgency::Later);
            }
        };
        if (auto drivers = read_filter_drivers(common_dir)) {
            ask(plan, git_query::status(), &*drivers, ended);
        } else {
            ask(plan, filter_listing_args(), nullptr, [plan, ended](const GitAnswer& answer) {
                if (answer) {
                    const FilterDrivers listed = parse_filter_listing(*answer);
                    ask(plan, git_query::status(), &listed, ended);
                }
            });
        }
    }
    {
        std::lock_guard lock(plan->mutex);
        plan->not_partial = not_partial;
    }
    ask_refs_when_ready(plan);
}

bool names_partial_clone(std::string text) {
    // Section and key names are compared without case; a value may name anything.
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    });
    for (const std::string_view word : {"partialclone", "promisor", "include"}) {
        if (text.find(word) != std::string::npos) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool config_rules_out_partial_clone(const std::string& common_dir) {
    std::string text;
    switch (read_config_file(filesystem::path_join(common_dir, "config"), text)) {
        case FileRead::Absent:
            return true;
        case FileRead::Unsure:
            return false;
        case FileRead::Read:
            return !names_partial_clone(std::move(text));
    }
    return false;
}

void forecast_inspection(GitPrefetch& pool, const InspectionForecast& forecast) {
    auto plan = std::make_shared<Plan>();
    plan->pool = &pool;
    plan->folder = forecast.folder;
    plan->generation = forecast.generation.value_or(pool.folder_generation(forecast.folder));
    plan->urgency = forecast.urgency;
    plan->status_ended = forecast.status_ended;

    // In the order the inspection asks; facts are claimed here, on the search's thread,
    // so that claims follow the order of inspections when the common directory is known.
    if (forecast.common_dir) {
        ask(plan, git_query::common_dir());
    } else {
        // Without a known common directory nobody can tell which inspection of the
        // repository comes first: its facts are asked when it starts gathering them.
        ask(plan, git_query::common_dir(), nullptr, [plan](const GitAnswer& answer) {
            if (!answer) return;
            if (auto common_dir = parse_single_line(*answer)) {
                ask_working_tree(plan, *common_dir);
            }
        });
    }
    ask(plan, git_query::git_dir());
    if (forecast.common_dir) {
        ask_facts(plan, *forecast.common_dir);
    }
    ask(plan, git_query::head(), nullptr, [plan](const GitAnswer& answer) {
        {
            std::lock_guard lock(plan->mutex);
            plan->head_known = true;
            if (answer) plan->head = parse_single_line(*answer);
        }
        ask_refs_when_ready(plan);
    });
    if (forecast.common_dir) {
        pool.post(plan->urgency, [plan, common_dir = *forecast.common_dir] {
            ask_working_tree(plan, common_dir);
        });
    }
}

void ask_repository_facts(GitPrefetch& pool, const std::string& folder,
                          const std::string& common_dir, WorktreeListKnown list) {
    pool.claim_repository_facts(common_dir);
    if (list == WorktreeListKnown::No) {
        pool.ask_unless_asked({folder, git_query::worktree_list()}, Urgency::Now);
    }
    pool.ask_unless_asked({folder, git_query::remotes()}, Urgency::Now);
    pool.ask_unless_asked({folder, git_query::partial_clone_settings()}, Urgency::Now);
}

void forecast_queued_checkout(GitPrefetch& pool, const QueuedFolder& folder, bool main_checkout,
                              const WalkOrder& order, const StatusEnded& status_ended) {
    const auto generation = pool.generation_if_new(folder.path, folder.place, order);
    if (!generation) {
        return;
    }
    if (main_checkout) {
        pool.ask_for(*generation, GitCommandRef{folder.path, git_query::common_dir()},
                     Urgency::Soon);
        pool.ask_for(*generation, GitCommandRef{folder.path, git_query::worktree_list()},
                     Urgency::Soon);
    } else {
        forecast_inspection(pool,
                            {folder.path, std::nullopt, Urgency::Soon, generation, status_ended});
    }
}

}  // namespace bramvelt::development

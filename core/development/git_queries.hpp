#pragma once
// The arguments of the queries the discovery asks Git about a checkout, kept in one
// place so that a query asked ahead is the very command the inspection runs.

#include <string>
#include <vector>

namespace bramvelt::development::git_query {

const std::vector<std::string>& common_dir();
const std::vector<std::string>& git_dir();
const std::vector<std::string>& worktree_list();
const std::vector<std::string>& remotes();
const std::vector<std::string>& partial_clone_settings();
const std::vector<std::string>& head();
// Each path after its tag, which also tells the entries the status looks past.
const std::vector<std::string>& tracked_files();
// Submodule contents stay out: a submodule's own configuration names its own filters.
const std::vector<std::string>& status();
std::vector<std::string> refs_containing(const std::string& head);
const std::vector<std::string>& commit_time();
// Exits with 0 only when the path, relative to the checkout, is ignored.
std::vector<std::string> ignored(const std::string& relative);

}  // namespace bramvelt::development::git_query

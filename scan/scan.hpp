#pragma once
// The one entry of the scan engine. Runs the whole scan on the calling thread (with its
// own worker threads), delivering progress, live snapshots and the end events through
// the session, and returns the outcome or an error text. A cancelled scan is not an
// error: its outcome has `cancelled` set and a partial tree.
//
//   auto session = std::make_shared<ScanSession>(options, std::make_unique<NullWriter>(),
//                                                cancel);
//   set_event_callback(*session, ignore_scan_event);
//   auto outcome = run_scan(session, "~/src");

#include <expected>
#include <memory>
#include <string>
#include <string_view>

#include "scan/event.hpp"
#include "scan/session.hpp"

namespace bramvelt::scan {

// Memory, or a thread's resources, running out anywhere in the scan is a failure with
// its text (see platform/resource_exhaustion.hpp), never an exception.
std::expected<ScanOutcome, std::string> run_scan(const std::shared_ptr<ScanSession>& session,
                                                 std::string_view folder);

// The scan itself, without the end events; `jobs` is 1 to 64.
std::expected<ScanOutcome, std::string> scan_driver(const std::shared_ptr<ScanSession>& session,
                                                    std::string_view folder, unsigned jobs,
                                                    double snapshot_interval);

// The folder as the driver scans it: "~" expanded, trailing "/" removed, made absolute.
std::string normalize_scan_root(std::string_view folder);

inline constexpr std::string_view kScanWorkerFailed = "scan worker failed";
inline constexpr std::string_view kScanOutputClosed = "scan output closed";

}  // namespace bramvelt::scan

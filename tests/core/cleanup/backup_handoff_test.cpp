#include "core/cleanup/backup_handoff.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include "cleanup_fixture.hpp"
#include "core/cleanup/backup_archive.hpp"
#include "core/cleanup/cancelled.hpp"
#include "support/run_process.hpp"

namespace bramvelt::cleanup {
namespace {

namespace fs = std::filesystem;

class BackupHandoffTest : public CleanupTest {
  protected:
    BackupHandoffTest() : tmpdir_env_("TMPDIR", tmp_.make_dir("staging-area").c_str()) {}

    // The host's answer to a request, built from its own copy of the archive.
    using Answer = std::function<host_trash::HostAcknowledgement(const ExternalBackupRequest&)>;

    std::vector<CleanupEvent> hand_off(const Answer& answer) {
        std::vector<CleanupEvent> events;
        auto [link, senders] = host_trash::open_host_link(registry_);
        execute_cleanup_plan(plan_of({"item"}, CleanupAction::external_backup()),
                             make_cancel_flag(), link, [&](CleanupEvent event) {
                                 if (const auto* request = std::get_if<ExternalBackupRequest>(&event)) {
                                     senders.backup.send(answer(*request));
                                 }
                                 events.push_back(std::move(event));
                             });
        return events;
    }

    // Copies the archive to the host's backup and describes the copy.
    host_trash::HostAcknowledgement honest(const ExternalBackupRequest& request) {
        const std::string kept = tmp_ / "host-copy.tar";
        fs::copy_file(request.archive_path, kept, fs::copy_options::overwrite_existing);
        auto receipt = verify_saved_backup(kept, request.sha256, request.size, nullptr);
        EXPECT_TRUE(receipt) << receipt.error();
        return {request.item_id, request.token, true, std::nullopt, receipt.value_or(host_trash::ArchiveReceipt{})};
    }

    // The handoff run directly, with a clock that stands still until the request is sent
    // and then reads `after_request` in turn (its first reading is the wait's start; the
    // last value repeats). `on_request` sees the request before the answer, if any, is sent.
    std::expected<void, std::string> hand_off_timed(
        std::vector<std::chrono::milliseconds> after_request, const Answer& answer,
        const CancelFlag& cancel, const std::function<void()>& on_request = [] {}) {
        const CleanupPlan plan = plan_of({"item"}, CleanupAction::external_backup());
        auto items = validate_cleanup_plan(plan, cancel);
        EXPECT_TRUE(items) << items.error();
        if (!items) return std::unexpected(items.error());
        auto [link, senders] = host_trash::open_host_link(registry_);
        auto sent = std::make_shared<bool>(false);
        auto readings = std::make_shared<std::size_t>(0);
        const Instant base = std::chrono::steady_clock::now();
        ProgressReporter reporter(
            plan, cancel,
            [&](const CleanupEvent& event) {
                if (const auto* request = std::get_if<ExternalBackupRequest>(&event)) {
                    *sent = true;
                    on_request();
                    if (answer) senders.backup.send(answer(*request));
                }
            },
            [=] {
                if (!*sent) return base;
                const std::size_t at = std::min(*readings, after_request.size() - 1);
                ++*readings;
                return base + after_request[at];
            });
        std::optional<std::string> backup_path;
        return archive_handoff_backup(items->front(), link.backup_acknowledgements, reporter,
                                      backup_path);
    }

    testing::ScopedEnv tmpdir_env_;
};

TEST_F(BackupHandoffTest, AConfirmedHandoffRemovesTheItemAndItsStaging) {
    tmp_.write_file("work/item/a", "alpha");
    tmp_.write_file("work/item/sub/b", "beta");
    ASSERT_EQ(::chmod(at("item/sub").c_str(), 0555), 0);  // read-only copies still go
    const auto events = hand_off([&](const ExternalBackupRequest& r) { return honest(r); });
    const CleanupItemResult result = only_result(events);
    EXPECT_EQ(result.status, CleanupStatus::Removed) << result.error.value_or("");
    EXPECT_FALSE(exists_nofollow(at("item")));
    ASSERT_TRUE(result.backup_path);
    EXPECT_TRUE(result.backup_path->ends_with("/verified.tar"));
    EXPECT_TRUE(fs::is_empty(tmp_ / "staging-area"));
    const auto listed = testing::run_process("tar", {"-tf", tmp_ / "host-copy.tar"});
    EXPECT_EQ(listed.out, "item/\nitem/a\nitem/sub\nitem/sub/b\n");
}

TEST_F(BackupHandoffTest, WrongAcknowledgementsKeepTheItem) {
    const struct {
        const char* name;
        std::function<void(host_trash::HostAcknowledgement&)> spoil;
        std::string text;
    } cases[] = {
        {"other item", [](auto& a) { a.item_id = "item-9"; }, std::string(kHandoffMismatch)},
        {"other token", [](auto& a) { a.token[0] = a.token[0] == 'a' ? 'b' : 'a'; },
         std::string(kHandoffMismatch)},
        {"refused", [](auto& a) { a.success = false; a.message = "disk\nfull"; }, "disk full"},
        {"refused silently", [](auto& a) { a.success = false; }, std::string(kHandoffTransferFailed)},
        {"no receipt", [](auto& a) { a.receipt.reset(); }, std::string(kHandoffNeedsReceipt)},
        {"two links", [](auto& a) { a.receipt->identity.links = 2; },
         std::string(kHandoffReceiptMismatch)},
        {"upper-case digest",
         [](auto& a) {
             for (char& c : a.receipt->sha256) c = static_cast<char>(std::toupper(c));
         },
         std::string(kHandoffReceiptMismatch)},
        {"wrong size", [](auto& a) { a.receipt->size += 1; }, std::string(kHandoffReceiptMismatch)},
    };
    tmp_.write_file("work/item/a", "alpha");
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        const auto events = hand_off([&](const ExternalBackupRequest& r) {
            auto answer = honest(r);
            test.spoil(answer);
            return answer;
        });
        const CleanupItemResult result = only_result(events);
        EXPECT_EQ(result.status, CleanupStatus::Failed);
        EXPECT_EQ(result.error, test.text);
        EXPECT_EQ(read_text(at("item/a")), "alpha");
        EXPECT_TRUE(fs::is_empty(tmp_ / "staging-area"));
    }
}

TEST_F(BackupHandoffTest, TheWaitEndsAfterSixHundredSecondsNotAtThem) {
    using std::chrono::milliseconds;
    const struct {
        const char* name;
        std::vector<milliseconds> clock;  // readings after the request was sent
        bool answered;
        std::string text;  // empty: removed
    } cases[] = {
        {"answered at 600 s exactly", {milliseconds(0), milliseconds(600'000)}, true, ""},
        {"answered, read at 600.5 s",
         {milliseconds(0), milliseconds(600'500)},
         true,
         std::string(kHandoffExpired)},
        {"silent, polled at 600 s, then 600.5 s",
         {milliseconds(0), milliseconds(600'000), milliseconds(600'000), milliseconds(600'500)},
         false,
         std::string(kHandoffExpired)},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        tmp_.write_file("work/item/a", "alpha");
        Answer answer;
        if (test.answered) answer = [&](const ExternalBackupRequest& r) { return honest(r); };
        auto result = hand_off_timed(test.clock, answer, make_cancel_flag());
        if (test.text.empty()) {
            EXPECT_TRUE(result) << result.error();
            EXPECT_FALSE(exists_nofollow(at("item")));
        } else {
            ASSERT_FALSE(result);
            EXPECT_EQ(result.error(), test.text);
            EXPECT_EQ(read_text(at("item/a")), "alpha");
        }
        EXPECT_TRUE(fs::is_empty(tmp_ / "staging-area"));
    }
}

TEST_F(BackupHandoffTest, CancellingTheWaitKeepsTheItemAndDropsTheStaging) {
    using std::chrono::milliseconds;
    tmp_.write_file("work/item/a", "alpha");
    // Cancelled as the request goes out, with a good answer already waiting: cancel wins.
    const CancelFlag at_once = make_cancel_flag();
    auto result = hand_off_timed(
        {milliseconds(0)}, [&](const ExternalBackupRequest& r) { return honest(r); }, at_once,
        [&] { at_once->store(true); });
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), kCleanupCancelled);
    EXPECT_EQ(read_text(at("item/a")), "alpha");
    EXPECT_TRUE(fs::is_empty(tmp_ / "staging-area"));

    // Cancelled from another thread while the host stays silent; the real wait would take
    // 600 s, so returning at all shows the flag was seen.
    const CancelFlag later = make_cancel_flag();
    std::thread canceller;
    result = hand_off_timed({milliseconds(0)}, {}, later, [&] {
        canceller = std::thread([&] {
            std::this_thread::sleep_for(milliseconds(200));
            later->store(true);
        });
    });
    canceller.join();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), kCleanupCancelled);
    EXPECT_EQ(read_text(at("item/a")), "alpha");
    EXPECT_TRUE(fs::is_empty(tmp_ / "staging-area"));
}

}  // namespace
}  // namespace bramvelt::cleanup

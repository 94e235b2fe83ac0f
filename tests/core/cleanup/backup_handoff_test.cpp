#include "core/cleanup/backup_handoff.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "cleanup_fixture.hpp"
#include "core/cleanup/backup_archive.hpp"
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

}  // namespace
}  // namespace bramvelt::cleanup

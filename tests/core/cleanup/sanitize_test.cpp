#include "core/cleanup/sanitize.hpp"

#include <gtest/gtest.h>

namespace bramvelt::cleanup {
namespace {

TEST(SanitizeReportText, ControlCharactersBecomeSpacesAndOthersStay) {
    struct Case {
        std::string in;
        std::string out;
    };
    const std::vector<Case> cases = {
        {"a\tb\nc", "a b c"},
        {"caf\u00e9 \u2013 na\u00efve", "caf\u00e9 \u2013 na\u00efve"},
        {"x\u0085y\u009f\u00a0z", "x y \u00a0z"},
        {std::string("nul\0in", 6), "nul in"},
        {"esc\x1b[31m del\x7f", "esc [31m del "},
        {"bad \xff\xfe byte", "bad \ufffd\ufffd byte"},
        {"", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(sanitize_report_text(c.in), c.out) << c.in;
        EXPECT_EQ(sanitize_report_text(c.out), c.out) << "sanitizing twice changes " << c.out;
    }
}

TEST(SanitizeReportText, CutAfter1600Characters) {
    EXPECT_EQ(sanitize_report_text(std::string(2000, 'a')), std::string(1600, 'a'));
    EXPECT_EQ(sanitize_report_text(std::string(1600, 'b')), std::string(1600, 'b'));
    // Characters, not bytes: two-byte letters keep 1600 of them.
    std::string accented;
    for (int i = 0; i < 1700; ++i) accented += "\u00e9";
    const std::string cut = sanitize_report_text(accented);
    EXPECT_EQ(cut.size(), 3200u);
}

}  // namespace
}  // namespace bramvelt::cleanup

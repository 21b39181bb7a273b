#include <gtest/gtest.h>

#include <stdlib.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "LocaleFreeFormat.h"

namespace {

TEST(LocaleFreeFormat, RoundsAsPrintfDoes) {
    EXPECT_EQ(formatWithoutLocale("%.1f", 1.25), "1.2");  // an exact tie goes to even
    EXPECT_EQ(formatWithoutLocale("%.0f", 0.5), "0");
    EXPECT_EQ(formatWithoutLocale("%.0f", 99.6), "100");
    EXPECT_EQ(formatWithoutLocale("%.0f%%", 18.75), "19%");
}

// Switches the process to a Russian locale, building one in a private folder when the
// machine has none; false when neither can be done.
class RussianLocale {
  public:
    RussianLocale() : saved_(std::setlocale(LC_ALL, nullptr)) {
        if (std::setlocale(LC_ALL, "ru_RU.UTF-8") != nullptr) {
            active_ = true;
            return;
        }
        char pattern[] = "/tmp/quorvel-locale-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            return;
        }
        folder_ = pattern;
        const std::string command =
            "localedef -i ru_RU -f UTF-8 " + folder_ + "/ru_RU.UTF-8 >/dev/null 2>&1";
        if (std::system(command.c_str()) == 0) {
            setenv("LOCPATH", folder_.c_str(), 1);
            active_ = std::setlocale(LC_ALL, "ru_RU.UTF-8") != nullptr;
        }
    }
    ~RussianLocale() {
        std::setlocale(LC_ALL, saved_.c_str());
        if (!folder_.empty()) {
            unsetenv("LOCPATH");
            std::error_code ignored;
            std::filesystem::remove_all(folder_, ignored);
        }
    }
    bool active() const { return active_; }

  private:
    std::string saved_;
    std::string folder_;
    bool active_ = false;
};

TEST(LocaleFreeFormat, KeepsAFullStopWhateverTheProcessLocale) {
    RussianLocale russian;
    if (!russian.active()) {
        GTEST_SKIP() << "no Russian locale can be had here";
    }
    char inLocale[32];
    std::snprintf(inLocale, sizeof inLocale, "%.1f", 1.5);
    EXPECT_STREQ(inLocale, "1,5") << "the locale in force should use a decimal comma";
    EXPECT_EQ(formatWithoutLocale("%.1f / %.0f%%", 3072.0, 99.6), "3072.0 / 100%");
}

TEST(LocaleFreeFormat, FormatsTextLongerThanItsBuffer) {
    const std::string longText(1000, 'x');
    EXPECT_EQ(formatWithoutLocale("%s!", longText.c_str()), longText + "!");
}

}  // namespace

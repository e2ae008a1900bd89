// Where the command takes a backup's password from, and in which order.
#include <gtest/gtest.h>

#include <fstream>

#include "cli/password.h"
#include "test_support.h"

using namespace kestrel::cli;

namespace {

struct Fake {
    const char* env = nullptr;
    std::optional<std::string> typed;
    int prompts = 0;
    PasswordOutcome run(const PasswordRequest& request) {
        return obtainPassword(
            request, [this](const char* name) { return std::string(name) == "KESTREL_BACKUP_PASSWORD" ? env : nullptr; },
            [this](const std::string&) {
                ++prompts;
                return typed;
            });
    }
};

}  // namespace

TEST(Password, OptionsBeatTheEnvironmentWhichBeatsTheTerminal) {
    kestrel::test::TempDir dir;
    const std::string file = (dir.path() / "pw").string();
    std::ofstream(file) << "from file\r\nsecond line\n";

    Fake fake;
    fake.env = "from env";
    fake.typed = "typed";
    PasswordOutcome o = fake.run({file, std::nullopt});
    ASSERT_TRUE(o.ok) << o.error;
    EXPECT_EQ(o.password, "from file");
    EXPECT_EQ(o.source, "file");
    o = fake.run({std::nullopt, "from option"});
    EXPECT_EQ(o.password, "from option");
    o = fake.run({});
    EXPECT_EQ(o.password, "from env");
    EXPECT_EQ(o.source, "environment");
    EXPECT_EQ(fake.prompts, 0);

    fake.env = "";  // empty counts as unset
    o = fake.run({});
    EXPECT_EQ(o.password, "typed");
    EXPECT_EQ(o.source, "terminal");
    EXPECT_EQ(fake.prompts, 1);

    fake.env = nullptr;
    fake.typed.reset();  // not a terminal
    o = fake.run({});
    EXPECT_FALSE(o.ok);
    EXPECT_NE(o.error.find("--password-file"), std::string::npos);
    EXPECT_NE(o.error.find("KESTREL_BACKUP_PASSWORD"), std::string::npos);

    o = fake.run({file, "x"});
    EXPECT_FALSE(o.ok);
    EXPECT_NE(o.error.find("only one"), std::string::npos);
}

TEST(Password, FileProblemsAreErrorsNotEmptyPasswords) {
    kestrel::test::TempDir dir;
    Fake fake;
    fake.env = "from env";  // never used when a file is named
    PasswordOutcome o = fake.run({(dir.path() / "absent").string(), std::nullopt});
    EXPECT_FALSE(o.ok);
    EXPECT_NE(o.error.find("cannot read the password file"), std::string::npos);
    const std::string empty = (dir.path() / "empty").string();
    std::ofstream(empty) << "\nsecret on line two\n";
    o = fake.run({empty, std::nullopt});
    EXPECT_FALSE(o.ok);
    EXPECT_NE(o.error.find("empty first line"), std::string::npos);
    const std::string noEnd = (dir.path() / "noend").string();
    std::ofstream(noEnd) << "  spaces kept  ";
    o = fake.run({noEnd, std::nullopt});
    ASSERT_TRUE(o.ok);
    EXPECT_EQ(o.password, "  spaces kept  ");
}

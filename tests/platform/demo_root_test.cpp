// The demo's command line and the folder it is allowed to take as its system root.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "tests/support/TempRoot.h"
#include "tools/demo/DemoRoot.h"

namespace {

namespace fs = std::filesystem;
using demo::Options;

Options Parse(std::vector<const char*> args, const char* env = nullptr) {
    args.insert(args.begin(), "norvalt_demo");
    return demo::ParseOptions(static_cast<int>(args.size()), args.data(), env);
}

void Touch(const fs::path& p, const std::string& text = "x") {
    std::ofstream(p) << text;
}

TEST(DemoOptions, HelpAndBadArgumentsDoNotRun) {
    EXPECT_EQ(Parse({"--help"}).action, Options::Help);
    EXPECT_EQ(Parse({"/tmp/x", "-h"}).action, Options::Help);
    for (auto args : std::vector<std::vector<const char*>>{{"--bogus"},
                                                           {"-x", "/tmp/x"},
                                                           {"--seconds"},
                                                           {"--seconds", "ten"},
                                                           {"--seconds", "-1"},
                                                           {"--seconds", "5x"},
                                                           {"/tmp/a", "/tmp/b"},
                                                           {""}}) {
        const Options o = Parse(args);
        EXPECT_EQ(o.action, Options::Error) << args[0];
        EXPECT_FALSE(o.error.empty()) << args[0];
    }
    EXPECT_NE(demo::Usage("norvalt_demo").find("--seconds"), std::string::npos);
}

TEST(DemoOptions, RootComesFromArgumentThenEnvironmentThenDefault) {
    Options o = Parse({"--seconds", "0", "/srv/demo/"}, "/env/root");
    ASSERT_EQ(o.action, Options::Run) << o.error;
    EXPECT_EQ(o.root, "/srv/demo");
    EXPECT_EQ(o.seconds, 0);
    EXPECT_EQ(Parse({}, "/env/root").root, "/env/root");
    EXPECT_EQ(Parse({}, "").root, demo::kDefaultRoot);
    o = Parse({});
    EXPECT_EQ(o.root, demo::kDefaultRoot);
    EXPECT_EQ(o.seconds, 10);
}

TEST(DemoOptions, RelativeRootIsTakenFromTheCurrentFolder) {
    const fs::path cwd = fs::current_path();
    EXPECT_EQ(Parse({"sub/../demo-root"}).root, (cwd / "demo-root").string());
    EXPECT_EQ(Parse({}, "rel").root, (cwd / "rel").string());
}

class DemoRoot : public ::testing::Test {
  protected:
    fs::path Scratch() const { return scratch_.Path(); }
    testsupport::TempRoot scratch_;
};

TEST_F(DemoRoot, NewAndEmptyFoldersAreTakenAndMarked) {
    const fs::path fresh = Scratch() / "a" / "b";
    EXPECT_EQ(demo::PrepareRoot(fresh.string()), "");
    EXPECT_TRUE(fs::is_regular_file(fresh / demo::kMarker));

    const fs::path empty = Scratch() / "empty";
    fs::create_directory(empty);
    EXPECT_EQ(demo::PrepareRoot(empty.string()), "");
    EXPECT_TRUE(fs::is_regular_file(empty / demo::kMarker));
}

TEST_F(DemoRoot, MarkedFolderHasOnlyItsRegistryCleared) {
    const fs::path root = Scratch() / "demo";
    ASSERT_EQ(demo::PrepareRoot(root.string()), "");
    fs::create_directories(root / "registry" / "HKLM");
    Touch(root / "registry" / "HKLM" / "values");
    fs::create_directories(root / "c" / "logs");
    Touch(root / "c" / "logs" / "kept.LG1");
    EXPECT_EQ(demo::PrepareRoot(root.string()), "");
    EXPECT_FALSE(fs::exists(root / "registry"));
    EXPECT_TRUE(fs::exists(root / "c" / "logs" / "kept.LG1"));
}

TEST_F(DemoRoot, ForeignFolderIsRefusedAndLeftAlone) {
    const fs::path root = Scratch() / "system";
    fs::create_directories(root / "registry");
    Touch(root / "registry" / "values", "precious");
    const std::string problem = demo::PrepareRoot(root.string());
    EXPECT_NE(problem.find("not made by the demo"), std::string::npos) << problem;
    EXPECT_TRUE(fs::exists(root / "registry" / "values"));
    EXPECT_FALSE(fs::exists(root / demo::kMarker));

    // A marker that is not a plain file does not make the folder ours either.
    const fs::path odd = Scratch() / "odd";
    fs::create_directories(odd / demo::kMarker);
    fs::create_directories(odd / "registry");
    EXPECT_NE(demo::PrepareRoot(odd.string()), "");
    EXPECT_TRUE(fs::exists(odd / "registry"));
}

TEST_F(DemoRoot, FilesInTheWayAreReportedNotThrown) {
    const fs::path file = Scratch() / "file";
    Touch(file);
    std::string problem;
    EXPECT_NO_THROW(problem = demo::PrepareRoot(file.string()));
    EXPECT_NE(problem.find("not a folder"), std::string::npos) << problem;
    EXPECT_NO_THROW(problem = demo::PrepareRoot((file / "below").string()));
    EXPECT_NE(problem, "");
    EXPECT_TRUE(fs::is_regular_file(file));
}

}  // namespace

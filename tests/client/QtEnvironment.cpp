// One QApplication for the whole test program, on the main thread; offscreen unless the caller
// chose a platform (the screenshot runs under Xvfb with xcb).
#include <gtest/gtest.h>

#include <QApplication>

namespace {

class QtEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", QByteArrayLiteral("offscreen"));
        static int argc = 1;
        static char arg0[] = "test_client";
        static char* argv[] = {arg0, nullptr};
        app_ = new QApplication(argc, argv);
    }
    void TearDown() override {
        delete app_;
        app_ = nullptr;
    }

  private:
    QApplication* app_ = nullptr;
};

[[maybe_unused]] ::testing::Environment* const kEnv =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace

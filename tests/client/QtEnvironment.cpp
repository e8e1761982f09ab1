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

#if defined(__SANITIZE_THREAD__)
// Qt fills and converts large images on its own thread pool, built without ThreadSanitizer:
// those hand-offs are invisible to it, and a shown window painted while the console waits for a
// call would be reported as a race on Qt's own memory. Our code's accesses are still checked.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libQt6Gui.so.6\ncalled_from_lib:libQt6Core.so.6\n";
}
#endif

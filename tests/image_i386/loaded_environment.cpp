// For suites written against the built-in driver: loads the three images
// before the first test and makes the application side load KV3300.SYS.
#include "capture/Capture.h"
#include "host/app.h"
#include "loaded_images.h"

// The snapshot suite re-arms the driver's button flag before each test by
// writing this variable; with the driver in an image the flag lives there,
// so each test's start re-arms the image's own (below), as the suite means.
BOOLEAN buttonArmed = TRUE;

namespace {

class LoadedDriver : public ::testing::Environment {
public:
    void SetUp() override { kv::app::SetDriverEntry(LoadedImages().driverEntry); }
};

class RearmButton : public ::testing::EmptyTestEventListener {
public:
    void OnTestStart(const ::testing::TestInfo&) override
    {
        *ImageRoutine<BOOLEAN*>(*LoadedImages().driver, "_buttonArmed") = TRUE;
    }
};

// gtest owns both objects from here on.
const bool kInstalled = [] {
    ::testing::AddGlobalTestEnvironment(new LoadedDriver);
    ::testing::UnitTest::GetInstance()->listeners().Append(new RearmButton);
    return true;
}();

}  // namespace

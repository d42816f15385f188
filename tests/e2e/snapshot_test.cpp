// The snapshot button on the board, seen through a running capture: each
// press raises the "SnapShot" flag once, frames keep coming.
#include "tests/e2e/e2e_fixture.h"

#include "capture/Capture.h"

namespace e2e {
namespace {

namespace reg = kv::kernel::registry;

constexpr const char* kKv3300 = "\\REGISTRY\\MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\KV3300";

class SnapshotTest : public EndToEndTest {
protected:
    void SetUp() override
    {
        EndToEndTest::SetUp();
        // The armed flag is the driver's, shared by every device; a driver
        // loads with it set.
        buttonArmed = TRUE;
    }

    app::Pin& RunPin(const std::function<void(sim::BoardConfig&)>& adjust = {})
    {
        app::Filter& filter = OpenFilter(LineSystem::L525, false, adjust);
        app::Format format;
        EXPECT_EQ(filter.Intersect(filter.Formats().at(0), &format), STATUS_SUCCESS);
        app::Pin* pin = filter.OpenPin(format);
        EXPECT_NE(pin, nullptr);
        EXPECT_EQ(pin->Run(), STATUS_SUCCESS);
        return *pin;
    }

    void ReadFrames(app::Pin& pin, int count)
    {
        for (int i = 0; i < count; ++i) {
            app::Frame frame;
            ASSERT_EQ(pin.ReadFrame(&frame), STATUS_SUCCESS);
            ASSERT_EQ(frame.data.size(), pin.FrameSize());
        }
    }

    // Takes the flag down again, as the application that watches it does;
    // says whether it was up.
    bool TakeReport()
    {
        const auto value = reg::GetDword(kKv3300, "SnapShot");
        if (!value) return false;
        EXPECT_EQ(*value, 1u);
        reg::DeleteValue(kKv3300, "SnapShot");
        return true;
    }
};

TEST_F(SnapshotTest, EachPressRaisesTheFlagOnceWhileFramesKeepComing)
{
    app::Pin& pin = RunPin();
    ReadFrames(pin, 3);
    EXPECT_FALSE(TakeReport());

    board_->PressButton();
    ReadFrames(pin, 1);
    EXPECT_TRUE(TakeReport());
    // Held down: no further report.
    ReadFrames(pin, 4);
    EXPECT_FALSE(TakeReport());

    board_->ReleaseButton();
    ReadFrames(pin, 2);
    EXPECT_FALSE(TakeReport());
    board_->PressButton();
    ReadFrames(pin, 2);
    EXPECT_TRUE(TakeReport());
    board_->ReleaseButton();
    EXPECT_EQ(pin.Stop(), STATUS_SUCCESS);
}

TEST_F(SnapshotTest, AButtonPressedBeforeTheFirstFrameGivesOneReport)
{
    app::Filter& filter = OpenFilter(LineSystem::L525);
    board_->PressButton();
    app::Format format;
    ASSERT_EQ(filter.Intersect(filter.Formats().at(0), &format), STATUS_SUCCESS);
    app::Pin* pin = filter.OpenPin(format);
    ASSERT_NE(pin, nullptr);
    ASSERT_EQ(pin->Run(), STATUS_SUCCESS);
    ReadFrames(*pin, 4);
    EXPECT_TRUE(TakeReport());
    ReadFrames(*pin, 2);
    EXPECT_FALSE(TakeReport());
}

TEST_F(SnapshotTest, AButtonThatCannotBeReadNeverReports)
{
    app::Pin& pin = RunPin();
    ReadFrames(pin, 2);
    sim::ControlFaults faults;
    faults.everyRegister = 0x001;  // every access to the pin register fails
    board_->SetControlFaults(faults);
    board_->PressButton();
    ReadFrames(pin, 4);
    EXPECT_FALSE(TakeReport());
    board_->SetControlFaults({});
    ReadFrames(pin, 2);
    EXPECT_TRUE(TakeReport()) << "the button reads again and was armed by the failed reads";
}

}  // namespace
}  // namespace e2e

// The snapshot button polled once per raw frame: one "SnapShot" write per
// press, the reporting frame kept from the frame hook, failed reads that
// never report, and the frame hook's own rules.
#include "tests/capture/capture_fixture.h"

using namespace captest;

namespace {

class SnapshotTest : public CaptureTest {
protected:
    void SetUp() override
    {
        CaptureTest::SetUp();
        StartCapture(PatternBoard(sim::LineSystem::L525), 320, 240, kYuy2, STANDARD_INDEX_NTSC);
        InstallFrameHook(Ctx());
        raw_.assign(6 + 2 * 240 * 1280, 0x80);
    }

    // One frame through the callback; says whether it raised the flag. The
    // flag is taken away again so that the next write can be seen.
    bool FrameReports()
    {
        const Converted c =
            Deliver(raw_.data(), static_cast<ULONG>(raw_.size()), static_cast<ULONG>(raw_.size()), 153600);
        EXPECT_EQ(c.bytes, 153600u);
        const std::optional<uint32_t> value = reg::GetDword(kKv3300Key, "SnapShot");
        if (value) {
            EXPECT_EQ(*value, 1u);
            reg::DeleteValue(kKv3300Key, "SnapShot");
        }
        return value.has_value();
    }

    std::vector<uint8_t> raw_;
};

}  // namespace

TEST_F(SnapshotTest, PressedBeforeTheFirstFrameReportsOnce)
{
    Board().PressButton();
    EXPECT_TRUE(FrameReports());
    // The reporting frame is not offered to the frame hook.
    EXPECT_EQ(g_hook.wants, 0);
    for (int i = 0; i < 4; ++i) EXPECT_FALSE(FrameReports()) << "held, frame " << i;
    EXPECT_EQ(g_hook.wants, 4);
    EXPECT_EQ(g_hook.delivered, 4);
    EXPECT_EQ(Ctx()->snapshotPending, 0);
    EXPECT_EQ(Ctx()->snapshotReport, 0);
}

TEST_F(SnapshotTest, EachPressGivesExactlyOneWrite)
{
    Board().ReleaseButton();
    int reports = 0;
    for (int press = 0; press < 3; ++press) {
        for (int i = 0; i < 2; ++i) reports += FrameReports();  // released
        Board().PressButton();
        const int hookBefore = g_hook.wants;
        EXPECT_TRUE(FrameReports()) << "press " << press;
        EXPECT_EQ(g_hook.wants, hookBefore);
        for (int i = 0; i < 3; ++i) reports += FrameReports();  // held
        EXPECT_EQ(g_hook.wants, hookBefore + 3);
        Board().ReleaseButton();
    }
    EXPECT_EQ(reports, 0);
    EXPECT_EQ(g_hook.delivered, 3 * 5);
}

TEST_F(SnapshotTest, FailedButtonReadsReArmAndNeverReport)
{
    // Held down while the register cannot be read: counted as released.
    buttonArmed = FALSE;
    Board().PressButton();
    sim::ControlFaults faults;
    faults.everyRegister = BRIDGE_REG_PIN_DATA;
    Board().SetControlFaults(faults);
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(FrameReports());
    EXPECT_TRUE(buttonArmed);
    EXPECT_EQ(g_hook.wants, 3);

    // Once the read works again the held button is a press.
    Board().SetControlFaults({});
    EXPECT_TRUE(FrameReports());
    EXPECT_FALSE(FrameReports());
}

TEST_F(SnapshotTest, FailedRegistryWriteStillConsumesTheEvent)
{
    Board().PressButton();
    kv::kernel::InjectFailure("RtlWriteRegistryValue", STATUS_ACCESS_DENIED);
    EXPECT_FALSE(FrameReports());
    EXPECT_EQ(g_hook.wants, 0);
    EXPECT_EQ(Ctx()->snapshotPending, 0);
    EXPECT_EQ(Ctx()->snapshotReport, 0);
    EXPECT_FALSE(FrameReports());
    EXPECT_EQ(g_hook.wants, 1);
}

TEST_F(SnapshotTest, FrameHookIsCalledOnlyWhenPresentAndOnlyForAnswerOne)
{
    Board().ReleaseButton();
    FrameReports();
    EXPECT_EQ(g_hook.wants, 1);
    ASSERT_EQ(g_hook.delivered, 1);

    g_hook.answer = 2;
    FrameReports();
    EXPECT_EQ(g_hook.wants, 2);
    EXPECT_EQ(g_hook.delivered, 1);

    g_hook.answer = 1;
    Ctx()->frameHook.Interface.Version = 0;
    FrameReports();
    EXPECT_EQ(g_hook.wants, 2);
    EXPECT_EQ(g_hook.delivered, 1);

    // The hook gets the output buffer even when nothing was converted.
    Ctx()->frameHook.Interface.Version = FRAME_HOOK_INTERFACE_VERSION;
    std::vector<uint8_t> output(10, kUnwritten);
    ULONG bytes = 0xFFFF;
    EXPECT_EQ(CamProcessRawVideoFrameEx(nullptr, Ctx(), nullptr, output.data(), 10, raw_.data(),
                                        static_cast<ULONG>(raw_.size()), 0, &bytes, static_cast<ULONG>(raw_.size()), 0),
              STATUS_SUCCESS);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(g_hook.delivered, 2);
    EXPECT_EQ(g_hook.buffers.back(), output.data());
}

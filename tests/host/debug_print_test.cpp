// DbgPrint formatting and capture.
#include "tests/support/kernel_test.h"

#include <algorithm>

namespace {

namespace k = kv::kernel;

class DebugPrintTest : public KernelTest {};

// The kernel's own conversions (%ws, %wZ, %I64x) are outside the printf check.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
#pragma GCC diagnostic ignored "-Wformat-extra-args"

TEST_F(DebugPrintTest, CapturesCompleteLinesAndKeepsPartialText)
{
    DbgPrint("Tuner Register Status =0x%X\n", static_cast<NTSTATUS>(STATUS_NOT_SUPPORTED));
    DbgPrint("InitTI5150HI2C");
    DbgPrint("AdapterGetAnalogVideoDecoderProperty\n");
    EXPECT_EQ(k::debug::Lines(),
              (std::vector<std::string>{"Tuner Register Status =0xC00000BB",
                                        "InitTI5150HI2CAdapterGetAnalogVideoDecoderProperty"}));
    DbgPrint("half");
    EXPECT_TRUE(k::debug::Contains("half"));
    EXPECT_EQ(k::debug::Lines().size(), 2u);
    k::debug::Clear();
    EXPECT_TRUE(k::debug::Text().empty());
    EXPECT_TRUE(k::debug::Lines().empty());
}

std::string Printed(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = k::debug::Format(format, args);
    va_end(args);
    return text;
}

TEST_F(DebugPrintTest, IntegerConversionsUseKernelSizes)
{
    EXPECT_EQ(Printed("%d %i %u", -5, 7, 4000000000u), "-5 7 4000000000");
    EXPECT_EQ(Printed("%x %X %08X %#x %#X", 0xabcu, 0xabcu, 0x1fu, 255u, 0u), "abc ABC 0000001F 0xff 0");
    // A LONG is 32 bits: %lx takes four bytes, %I64x and %llx eight.
    EXPECT_EQ(Printed("%lx|%I64x|%llX|%I64d", 0xdeadbeefu, 0x123456789abcdefULL, 0xFULL, -3LL),
              "deadbeef|123456789abcdef|F|-3");
    EXPECT_EQ(Printed("[%5d][%-5d][%05d][%+d][% d][%.3d]", 42, 42, -42, 42, 42, 7), "[   42][42   ][-0042][+42][ 42][007]");
    EXPECT_EQ(Printed("%hd %hhu %o %#o", 70000, 300, 8u, 8u), "4464 44 10 010");
    EXPECT_EQ(Printed("[%*d][%-*d]", 4, 1, 3, 2), "[   1][2  ]");
    EXPECT_EQ(Printed("%Iu %zu", static_cast<size_t>(5), static_cast<size_t>(6)), "5 6");
}

TEST_F(DebugPrintTest, StringsCharactersAndPointers)
{
    const WCHAR wide[] = u"\\??\\USB#VID_1234";
    UNICODE_STRING unicode;
    RtlInitUnicodeString(&unicode, u"Settings");
    char ansiText[] = "Hello";
    ANSI_STRING ansi{5, 6, ansiText};
    EXPECT_EQ(Printed("%s|%ws|%S|%ls|%wZ|%Z", "narrow", wide, wide, wide, &unicode, &ansi),
              "narrow|\\??\\USB#VID_1234|\\??\\USB#VID_1234|\\??\\USB#VID_1234|Settings|Hello");
    EXPECT_EQ(Printed("%s %ws %wZ", static_cast<const char*>(nullptr), static_cast<const WCHAR*>(nullptr),
                      static_cast<PUNICODE_STRING>(nullptr)),
              "(null) (null) (null)");
    EXPECT_EQ(Printed("[%.3s][%6s][%-6s][%.2ws]", "abcdef", "ab", "ab", wide), "[abc][    ab][ab    ][\\?]");
    EXPECT_EQ(Printed("%c%c%C%wc", 'o', 'k', u'\u00e9', u'!'), "ok\u00e9!");
    EXPECT_EQ(Printed("%p", reinterpret_cast<void*>(0x1234)),
              sizeof(void*) == 8 ? "0000000000001234" : "00001234");
    EXPECT_EQ(Printed("100%% %q"), "100% q");
    EXPECT_EQ(Printed("%.2f", 1.005 + 0.5), "1.50");
}

TEST_F(DebugPrintTest, PercentNIsRefusedAndLongOutputIsCutPerCall)
{
    int written = 0;
    EXPECT_EQ(Printed("ab%ncd", &written), "abcd");
    EXPECT_EQ(written, 0);
    ExpectViolation("%n");

    std::string longText(2000, 'x');
    DbgPrint("%s\n", longText.c_str());
    auto lines = k::debug::Lines();
    ASSERT_TRUE(lines.empty()) << "the newline lies beyond the 512th character";
    EXPECT_EQ(k::debug::Text().size(), 512u);
    // A trailing lone percent prints nothing.
    EXPECT_EQ(Printed("end%"), "end");
}

TEST_F(DebugPrintTest, DbgPrintExAndAssertions)
{
    DbgPrintEx(DPFLTR_IHVVIDEO_ID, DPFLTR_ERROR_LEVEL, "value %u\n", 9u);
    EXPECT_EQ(k::debug::Lines(), std::vector<std::string>{"value 9"});
    int zero = 0;
    ASSERT(zero == 1);
    ExpectViolation("ASSERT failed: zero == 1");
}

TEST_F(DebugPrintTest, WideFormattingTakesWideStringsByDefault)
{
    WCHAR buffer[64];
    const WCHAR* link = u"\\??\\USB#1";
    EXPECT_EQ(swprintf(buffer, u"\\\\.%s|%S|%c|%d", link + 3, "narrow", u'w', 12), 21);
    EXPECT_EQ(std::u16string_view(buffer), u"\\\\.\\USB#1|narrow|w|12");

    // The bounded form stops at its count and says the text did not fit.
    WCHAR small[6];
    std::fill(std::begin(small), std::end(small), u'#');
    EXPECT_EQ(_snwprintf(small, 4, u"%s", u"abcdef"), -1);
    EXPECT_EQ(std::u16string_view(small, 6), u"abcd##");
    EXPECT_EQ(_snwprintf(small, 6, u"%d", 42), 2);
    EXPECT_EQ(std::u16string_view(small), u"42");
}

#pragma GCC diagnostic pop

}  // namespace

// A long run prints without end: only the newest lines stay, the others are
// counted, and a line that never ends is cut rather than grown for ever.
TEST_F(DebugPrintTest, CaptureKeepsTheNewestLinesAndCountsTheRest)
{
    for (int i = 0; i < 25000; ++i) DbgPrint("line %d\n", i);
    const std::vector<std::string> lines = kv::kernel::debug::Lines();
    ASSERT_EQ(lines.size(), 20000u);
    EXPECT_EQ(lines.front(), "line 5000");
    EXPECT_EQ(lines.back(), "line 24999");
    EXPECT_EQ(kv::kernel::debug::DroppedLines(), 5000u);
    EXPECT_TRUE(kv::kernel::debug::Contains("line 24999\n"));
    EXPECT_FALSE(kv::kernel::debug::Contains("line 4999\n"));

    kv::kernel::debug::Clear();
    EXPECT_EQ(kv::kernel::debug::DroppedLines(), 0u);
    const std::string chunk(400, 'x');
    for (int i = 0; i < 200; ++i) DbgPrint("%s", chunk.c_str());  // 80,000 characters, no newline
    ASSERT_EQ(kv::kernel::debug::Lines().size(), 1u);
    EXPECT_EQ(kv::kernel::debug::Lines()[0].size(), 64u * 1024u);
    EXPECT_EQ(kv::kernel::debug::Text(), std::string(64 * 1024, 'x') + "\n" + std::string(80000 - 64 * 1024, 'x'))
        << "the rest still waits for its newline";
}

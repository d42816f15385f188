// IoGetDeviceInterfaces and the device interface registrations behind it.
#include "tests/support/kernel_test.h"

namespace {

namespace k = kv::kernel;

// KSCATEGORY_CAPTURE {65E8773D-8F56-11D0-A3B9-00A0C9223196}
constexpr GUID kCapture = DEFINE_GUID_VALUE(0x65E8773D, 0x8F56, 0x11D0, 0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
constexpr GUID kOther = DEFINE_GUID_VALUE(0xA799A800, 0xA46D, 0x11D0, 0xA1, 0x8C, 0x00, 0xA0, 0x24, 0x01, 0xDC, 0xD4);

constexpr const char* kQuestionLink =
    "\\??\\USB#VID_1234&PID_5678#5&1a2b3c&0&1#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global";
constexpr const char* kDosLink =
    "\\DosDevices\\USB#VID_1234&PID_5678#5&1a2b3c&0&2#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global";

// The strings of a multi-sz list, which must end with an empty string.
std::vector<std::string> Strings(PCWSTR list)
{
    std::vector<std::string> strings;
    while (*list != 0) {
        std::u16string_view one(list);
        strings.push_back(k::ToUtf8(one));
        list += one.size() + 1;
    }
    return strings;
}

class InterfacesTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        first = k::io::CreatePhysicalDevice("USB\\VID_1234&PID_5678\\5&1a2b3c&0&1");
        second = k::io::CreatePhysicalDevice("USB\\VID_1234&PID_5678\\5&1a2b3c&0&2");
    }
    PDEVICE_OBJECT first = nullptr;
    PDEVICE_OBJECT second = nullptr;
};

TEST_F(InterfacesTest, ListsLinksOfBothNamespacesPerClassAndDevice)
{
    k::interfaces::Register(kCapture, first, kQuestionLink);
    k::interfaces::Register(kCapture, second, kDosLink);
    k::interfaces::Register(kOther, first, "\\??\\other");

    PWSTR list = nullptr;
    ASSERT_EQ(IoGetDeviceInterfaces(&kCapture, nullptr, 0, &list), STATUS_SUCCESS);
    EXPECT_EQ(Strings(list), (std::vector<std::string>{kQuestionLink, kDosLink}));
    ExFreePool(list);

    ASSERT_EQ(IoGetDeviceInterfaces(&kCapture, second, DEVICE_INTERFACE_INCLUDE_NONACTIVE, &list), STATUS_SUCCESS);
    EXPECT_EQ(Strings(list), std::vector<std::string>{kDosLink});
    ExFreePool(list);
}

TEST_F(InterfacesTest, DisabledInterfacesNeedIncludeNonActive)
{
    k::interfaces::Register(kCapture, first, kQuestionLink, false);
    PWSTR list = nullptr;
    ASSERT_EQ(IoGetDeviceInterfaces(&kCapture, first, 0, &list), STATUS_SUCCESS);
    EXPECT_EQ(list[0], 0);
    ExFreePool(list);
    ASSERT_EQ(IoGetDeviceInterfaces(&kCapture, first, DEVICE_INTERFACE_INCLUDE_NONACTIVE, &list), STATUS_SUCCESS);
    EXPECT_EQ(Strings(list), std::vector<std::string>{kQuestionLink});
    ExFreePool(list);
}

TEST_F(InterfacesTest, EmptyListIsAnAllocatedEmptyStringTheCallerFrees)
{
    PWSTR list = nullptr;
    ASSERT_EQ(IoGetDeviceInterfaces(&kCapture, first, DEVICE_INTERFACE_INCLUDE_NONACTIVE, &list), STATUS_SUCCESS);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list[0], 0);
    EXPECT_EQ(list[1], 0);
    // Not freeing it is a leak the fixture reports; here it is seen directly.
    EXPECT_EQ(k::pool::OutstandingCount(), 1u);
    ExFreePool(list);
}

TEST_F(InterfacesTest, FailuresLeaveNoList)
{
    k::interfaces::Register(kCapture, first, kQuestionLink);
    PWSTR list = reinterpret_cast<PWSTR>(0x1);
    k::InjectFailure("IoGetDeviceInterfaces", STATUS_UNSUCCESSFUL);
    EXPECT_EQ(IoGetDeviceInterfaces(&kCapture, first, 0, &list), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(list, nullptr);

    k::pool::FailNth(1);
    EXPECT_EQ(IoGetDeviceInterfaces(&kCapture, first, 0, &list), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(list, nullptr);

    PDEVICE_OBJECT notPhysical = k::io::CreateHandlerDevice(nullptr);
    EXPECT_EQ(IoGetDeviceInterfaces(&kCapture, notPhysical, 0, &list), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(IoGetDeviceInterfaces(&kCapture, first, 0, nullptr), STATUS_INVALID_PARAMETER);
    ExpectViolation("null class or result pointer");
}

TEST_F(InterfacesTest, RegisteredInterfacesGetTheirLinkFromTheInstanceAndStartDisabled)
{
    UNICODE_STRING link{};
    ASSERT_EQ(IoRegisterDeviceInterface(first, &kCapture, nullptr, &link), STATUS_SUCCESS);
    std::string text = k::ToUtf8(std::u16string_view(link.Buffer, link.Length / 2));
    EXPECT_EQ(text, "\\??\\USB#VID_1234&PID_5678#5&1a2b3c&0&1#{65e8773d-8f56-11d0-a3b9-00a0c9223196}");
    EXPECT_TRUE(k::interfaces::Links(kCapture, first, false).empty());
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_EQ(k::interfaces::Links(kCapture, first, false), std::vector<std::string>{text});
    RtlFreeUnicodeString(&link);

    k::OwnedUnicodeString reference(u"global");
    ASSERT_EQ(IoRegisterDeviceInterface(second, &kCapture, reference, &link), STATUS_SUCCESS);
    EXPECT_EQ(k::ToUtf8(std::u16string_view(link.Buffer, link.Length / 2)),
              "\\??\\USB#VID_1234&PID_5678#5&1a2b3c&0&2#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global");
    RtlFreeUnicodeString(&link);
}

TEST_F(InterfacesTest, ADeletedDeviceNoLongerExposesItsInterfaces)
{
    k::interfaces::Register(kCapture, first, kQuestionLink);
    k::io::DeleteDevice(first);
    EXPECT_TRUE(k::interfaces::Links(kCapture, nullptr, false).empty());
    EXPECT_EQ(k::interfaces::Links(kCapture, nullptr, true), std::vector<std::string>{kQuestionLink});
}

}  // namespace

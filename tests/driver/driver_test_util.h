// Helpers shared by the driver's suites: formats built from the ranges the
// pin offers, the way an application builds them.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "driver/Driver.h"
#include "host/kernel.h"

namespace drivertest {

inline const KS_DATARANGE_VIDEO& OfferedRange(const HW_STREAM_INFORMATION& info, ULONG index)
{
    return *reinterpret_cast<const KS_DATARANGE_VIDEO*>(info.StreamFormatsArray[index]);
}

inline const KS_DATARANGE_VIDEO& FullRange(ULONG index)
{
    return OfferedRange(FullStreamDescription, index);
}

// The format an application opens the pin with for an offered range.
inline KS_DATAFORMAT_VIDEOINFOHEADER FormatFor(const KS_DATARANGE_VIDEO& range)
{
    KS_DATAFORMAT_VIDEOINFOHEADER format{};
    std::memcpy(&format.DataFormat, &range.DataRange, sizeof(KSDATAFORMAT));
    format.DataFormat.FormatSize = sizeof(KS_DATAFORMAT_VIDEOINFOHEADER);
    format.VideoInfoHeader = range.VideoInfoHeader;
    return format;
}

// The index of the full-mode range with this subtype and size.
inline ULONG FullIndex(ULONG fourcc, LONG width, LONG height)
{
    for (ULONG i = 0; i < FullStreamDescription.NumberOfFormatArrayEntries; ++i) {
        const auto& bmi = FullRange(i).VideoInfoHeader.bmiHeader;
        if (bmi.biCompression == fourcc && bmi.biWidth == width && bmi.biHeight == height) return i;
    }
    return ~0u;
}

inline std::u16string Utf16Value(const kv::kernel::registry::Value& value)
{
    std::u16string text(value.data.size() / 2, u'\0');
    std::memcpy(text.data(), value.data.data(), text.size() * 2);
    return text;
}

constexpr ULONG kYuy2 = 0x32595559;
constexpr ULONG kI420 = 0x30323449;
constexpr ULONG kRgb24 = 0;

}  // namespace drivertest

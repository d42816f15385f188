// Arbitrary packet streams through the packet routine: the byte count it
// returns never exceeds the packet, the offset plus the count stay inside it,
// and nothing it does depends on bytes past the packet's length.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "capture/Capture.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    DeviceContext context{};
    if (size < 2) return 0;
    // The first two bytes pick the frame width and the payload size.
    const LONG widths[] = {720, 352, 176, 640, 320, 160};
    context.frameWidth = widths[data[0] % 6];
    context.frameDataSize = data[1] & 1 ? 28512u : 614400u;
    size_t pos = 2;
    while (pos + 3 <= size) {
        // Each packet: a 16-bit length, a status byte, then its bytes.
        const size_t length = (size_t)data[pos] | ((size_t)data[pos + 1] << 8);
        const bool failed = data[pos + 2] & 1;
        pos += 3;
        const size_t available = size - pos < length ? size - pos : length;
        std::vector<uint8_t> packet(data + pos, data + pos + available);
        pos += available;

        USBD_ISO_PACKET_DESCRIPTOR descriptor{0, (ULONG)packet.size(), failed ? USBD_STATUS_CRC : 0};
        BOOLEAN complete = FALSE;
        ULONG flag = 0;
        ULONG offset = 0;
        const ULONG count = CamProcessUSBPacketEx(nullptr, &context, nullptr, nullptr, nullptr, &descriptor,
                                                  packet.empty() ? nullptr : packet.data(), &complete, &flag,
                                                  &offset);
        if (count > packet.size() || offset > packet.size() || count > packet.size() - offset) std::abort();
    }
    return 0;
}

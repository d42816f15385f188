// The registry export file is edited by people: any text must load or be
// refused with a message, and whatever loads must save and load again to the
// same registry.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "host/kernel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    namespace reg = kv::kernel::registry;
    kv::kernel::Reset();
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const reg::LoadResult loaded = reg::LoadFromText(text);
    if (!loaded) {
        if (loaded.message.empty()) std::abort();
        return 0;
    }
    const std::string saved = reg::SaveToText();
    if (!reg::LoadFromText(saved)) std::abort();
    if (reg::SaveToText() != saved) std::abort();
    return 0;
}

// Any file given as a picture source opens cleanly or is refused with a
// message; a source that opens renders fields without reading past the file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "sim/video/source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    char path[] = "/tmp/kv_y4m_fuzz_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return 0;
    if (size != 0 && write(fd, data, size) != (ssize_t)size) {
        close(fd);
        unlink(path);
        return 0;
    }
    close(fd);
    std::string error;
    auto source = sim::MakeY4mSource(path, &error);
    unlink(path);
    if (!source) {
        if (error.empty()) std::abort();
        return 0;
    }
    const sim::Window window{0, 13, 1440, 253};
    std::vector<uint8_t> field(sim::WindowBytes(window));
    for (uint64_t frame = 0; frame < 3; ++frame) {
        for (bool first : {true, false}) {
            source->RenderField(sim::LineSystem::L525, sim::FieldId{frame, first}, window, sim::PictureAdjust{},
                                field.data());
        }
    }
    return 0;
}

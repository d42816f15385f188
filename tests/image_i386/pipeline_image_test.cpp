// ZELPIPE.SYS as loaded: every conversion gives the same bytes as the
// pipeline built into this program, for each format, size and setting.
#include "loaded_images.h"

#include "platform/zelpipe.h"
#include "tests/pipeline/pipeline_test_support.h"
#include "tests/support/kernel_test.h"

using namespace pipeline_test;

namespace {

using InitRoutine = PPL_HANDLE (*)();
using HandleRoutine = void (*)(PPL_HANDLE);
using SetRoutine = void (*)(PPL_HANDLE, LONG);
using ConvertRoutine = void (*)(PPL_HANDLE, const UCHAR*, const UCHAR*, const UCHAR*, UCHAR*, LONG, LONG, LONG, LONG);

class LoadedPipeline : public KernelTest {};

TEST_F(LoadedPipeline, ConvertsByteForByteAsTheBuiltInPipeline)
{
    const auto& pipe = *LoadedImages().pipeline;
    const auto init = ImageRoutine<InitRoutine>(pipe, "ppl_init");
    const auto release = ImageRoutine<HandleRoutine>(pipe, "ppl_free");
    const auto mirror = ImageRoutine<SetRoutine>(pipe, "ppl_set_h_mirror");
    const auto flip = ImageRoutine<SetRoutine>(pipe, "ppl_set_v_mirror");
    const auto gamma = ImageRoutine<SetRoutine>(pipe, "ppl_set_gamma");
    const ConvertRoutine convert[] = {ImageRoutine<ConvertRoutine>(pipe, "IntlYUYVToYUYVMMX"),
                                      ImageRoutine<ConvertRoutine>(pipe, "IntlYUYVToI420MMX"),
                                      ImageRoutine<ConvertRoutine>(pipe, "IntlYUYVToRGB24MMX")};
    const Format formats[] = {Format::YUY2, Format::I420, Format::RGB24};
    struct Case {
        int w, h, ow, oh;
        LONG mirror, flip, gamma;
    };
    const Case cases[] = {
        {720, 576, 720, 576, 0, 0, 0},   {720, 480, 640, 480, 1, 0, 12}, {640, 480, 320, 240, 0, 1, -20},
        {720, 576, 352, 288, 1, 1, 32},  {640, 480, 160, 120, 0, 0, 5},  {720, 480, 500, 334, 1, 0, -32},
    };
    PPL_HANDLE loaded = init();
    PPL_HANDLE builtIn = ppl_init();
    ASSERT_NE(loaded, nullptr);
    for (const Case& c : cases) {
        const Fields f = RandomFields(c.w, c.h, (uint32_t)(c.w + c.oh));
        mirror(loaded, c.mirror), flip(loaded, c.flip), gamma(loaded, c.gamma);
        ppl_set_h_mirror(builtIn, c.mirror), ppl_set_v_mirror(builtIn, c.flip), ppl_set_gamma(builtIn, c.gamma);
        for (int i = 0; i < 3; ++i) {
            if (formats[i] == Format::I420 && (c.ow % 2 || c.oh % 2)) continue;
            if (formats[i] == Format::YUY2 && c.ow % 2) continue;
            Bytes image(OutputBytes(formats[i], c.ow, c.oh), 0xA5);
            convert[i](loaded, f.previous.data(), f.first.data(), f.second.data(), image.data(), c.w, c.h, c.ow, c.oh);
            EXPECT_EQ(image, Convert(formats[i], builtIn, f, c.ow, c.oh))
                << Name(formats[i]) << " " << c.w << "x" << c.h << " to " << c.ow << "x" << c.oh;
        }
    }
    release(loaded);
    ppl_free(builtIn);
}

}  // namespace

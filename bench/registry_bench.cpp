// Loading a settings file of the Registry Editor export format: many values
// in one key, and many keys, both of which a hand-edited or damaged file can
// hold. Time per load should grow in step with the file.
#include <benchmark/benchmark.h>

#include <string>

#include "host/kernel.h"

namespace {

namespace reg = kv::kernel::registry;

const std::string kHeader = "Windows Registry Editor Version 5.00\n\n";

void ValuesInOneKey(benchmark::State& state)
{
    std::string text = kHeader + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Many]\n";
    for (int64_t i = 0; i < state.range(0); ++i) text += "\"v" + std::to_string(i) + "\"=dword:00000001\n";
    for (auto _ : state) {
        benchmark::DoNotOptimize(reg::LoadFromText(text).ok);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(ValuesInOneKey)->Arg(20000)->Arg(200000)->Unit(benchmark::kMillisecond);

void KeysSideBySide(benchmark::State& state)
{
    std::string text = kHeader;
    for (int64_t i = 0; i < state.range(0); ++i) {
        text += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Many\\k" + std::to_string(i) + "]\n\"v\"=dword:00000001\n";
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(reg::LoadFromText(text).ok);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(KeysSideBySide)->Arg(20000)->Arg(200000)->Unit(benchmark::kMillisecond);

}  // namespace

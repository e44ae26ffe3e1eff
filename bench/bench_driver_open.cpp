// How long ASIOOpenDriver takes on a machine with many COM classes: the
// server path of each registration is found by enumerating every CLSID, so
// the cost grows with the classes registered. The driver's own class sorts
// last, the worst case for the search. Thread: the benchmark's own.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "host/tonegate.h"
#include "support/scoped_registry.h"
#include "support/temp_dir.h"

namespace {

std::string ClassesFile(int otherClasses) {
    std::string text = "Windows Registry Editor Version 5.00\n\n";
    char clsid[64];
    for (int i = 0; i < otherClasses; ++i) {
        std::snprintf(clsid, sizeof clsid, "{%08X-1111-2222-3333-444455556666}", i);
        text += "[HKEY_CLASSES_ROOT\\CLSID\\";
        text += clsid;
        text += "\\InprocServer32]\n@=\"/nonexistent/server";
        text += std::to_string(i);
        text += ".so\"\n\n";
    }
    return text;
}

void OpenDriverAmongClasses(benchmark::State& state) {
    const int otherClasses = static_cast<int>(state.range(0));
    tonegate_test::ScopedWorkingDirectory workingDirectory;
    tonegate_test::ScopedRegistry registry;
    tonegate_test::WriteFile(registry.folder() / "classes.reg", ClassesFile(otherClasses));
    registry.AddDriver("Benchmark Card", "{FFFFFFFF-0000-0000-0000-000000000001}", TONEGATE_TEST_CARD_PATH);
    for (auto _ : state) {
        if (!ASIOOpenDriver()) state.SkipWithError("no driver opened");
        state.PauseTiming();
        ASIOCloseDriver();
        state.ResumeTiming();
    }
    state.counters["classes"] = otherClasses;
}

BENCHMARK(OpenDriverAmongClasses)->Arg(10)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

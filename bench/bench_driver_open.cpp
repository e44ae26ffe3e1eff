// How long ASIOOpenDriver takes on a machine with many COM classes or many
// driver registrations. The server path of each registration is found by
// enumerating every CLSID, so the cost grows with the classes registered;
// the driver's own class sorts last, the worst case for the search. Every
// open reads the registry: with many registrations it opens a root key for
// each, which must not read the files again. Thread: the benchmark's own.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>

#include "host/tonegate.h"
#include "support/scoped_registry.h"
#include "support/temp_dir.h"

namespace {

// Classes `first` to `first + count - 1`.
std::string ClassesFile(int first, int count) {
    std::string text = "Windows Registry Editor Version 5.00\n\n";
    char clsid[64];
    for (int i = first; i < first + count; ++i) {
        std::snprintf(clsid, sizeof clsid, "{%08X-1111-2222-3333-444455556666}", i);
        text += "[HKEY_CLASSES_ROOT\\CLSID\\";
        text += clsid;
        text += "\\InprocServer32]\n@=\"/nonexistent/server";
        text += std::to_string(i);
        text += ".so\"\n\n";
    }
    return text;
}

// A card whose module is not installed: the library reads its key and its
// class and passes it over.
std::string Registration(int number) {
    char text[320];
    std::snprintf(text, sizeof text,
                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ASIO\\Card %05d]\n"
                  "\"CLSID\"=\"{%08X-7777-8888-9999-AAAABBBBCCCC}\"\n"
                  "\"Description\"=\"Card %05d\"\n\n"
                  "[HKEY_CLASSES_ROOT\\CLSID\\{%08X-7777-8888-9999-AAAABBBBCCCC}\\InprocServer32]\n"
                  "@=\"/nonexistent/card%05d.so\"\n\n",
                  number, number, number, number, number);
    return text;
}

// Opens and closes the driver `Benchmark Card` (driver 0) once an iteration,
// timing the open. With `touched` set, a file of the registry is rewritten
// before each open, so that every open reads the files anew.
void TimeOpenings(benchmark::State& state, const std::filesystem::path* touched = nullptr) {
    const std::string touchedText = touched != nullptr ? tonegate_test::ReadFile(*touched) : "";
    for (auto _ : state) {
        if (!ASIOOpenDriver()) state.SkipWithError("no driver opened");
        state.PauseTiming();
        ASIOCloseDriver();
        if (touched != nullptr) tonegate_test::WriteFile(*touched, touchedText);
        state.ResumeTiming();
    }
}

void OpenDriverAmongClasses(benchmark::State& state) {
    const int otherClasses = static_cast<int>(state.range(0));
    tonegate_test::ScopedWorkingDirectory workingDirectory;
    tonegate_test::ScopedRegistry registry;
    // A file over 1 MiB would be left out: 1,000 classes a file.
    constexpr int kClassesPerFile = 1000;
    for (int first = 0; first < otherClasses; first += kClassesPerFile)
        tonegate_test::WriteFile(registry.folder() / ("classes-" + std::to_string(first) + ".reg"),
                                 ClassesFile(first, std::min(kClassesPerFile, otherClasses - first)));
    registry.AddDriver("Benchmark Card", "{FFFFFFFF-0000-0000-0000-000000000001}", TONEGATE_TEST_CARD_PATH);
    TimeOpenings(state);
    state.counters["classes"] = otherClasses;
}

BENCHMARK(OpenDriverAmongClasses)->Arg(10)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

// Registrations in a file each, or all in one file; the files change before
// every open, so each open reads them all.
void OpenDriverAmongRegistrations(benchmark::State& state) {
    const int registrations = static_cast<int>(state.range(0));
    const bool oneFile = state.range(1) != 0;
    tonegate_test::ScopedWorkingDirectory workingDirectory;
    tonegate_test::ScopedRegistry registry;
    std::string all;
    for (int i = 0; i < registrations; ++i) {
        if (oneFile)
            all += Registration(i);
        else
            registry.AddRegText(Registration(i));
    }
    if (oneFile) registry.AddRegText(all);
    registry.AddDriver("Benchmark Card", "{FFFFFFFF-0000-0000-0000-000000000001}", TONEGATE_TEST_CARD_PATH);
    const std::filesystem::path touched = registry.folder() / "0000.reg";  // the first file written
    TimeOpenings(state, &touched);
    state.counters["registrations"] = registrations;
}

BENCHMARK(OpenDriverAmongRegistrations)
    ->ArgNames({"registrations", "one_file"})
    ->Args({100, 0})
    ->Args({1000, 0})
    ->Args({3000, 1})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

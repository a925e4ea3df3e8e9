// The resizing core on the sample photo scaled to 640x480, 1920x1080 and
// 4000x3000.
//
// BM_BuildEquationA: the image build with an importance file, split into the
//   line detection and assembly, and the factorisation (everything after the
//   matrix is assembled).
// BM_Unguarded: the per-size solve without the guard over a drag from 100 %
//   to 50 % of the width in 1-pixel steps.
// BM_GuardedDrag: the guarded solve (default minimum quad scale, computed
//   importance, mode 1) over drags where the guard is active, in 1-pixel
//   steps: from 130 % to 200 % of the width (dir:0) and from 80 % to 50 % of
//   the height (dir:1); at 4000x3000 the first 200 steps of each.
// Counters: median_ms / p90_ms of one Resize, peak_MB of the process.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>

#include "base/malloc_pages.hpp"
#include "bench/bench_inputs.hpp"
#include "core/resize_host.hpp"
#include "engine/cholmod_factor.hpp"

using namespace quadrix;
using Clock = std::chrono::steady_clock;

namespace {

double PeakMegabytes() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  return 0.0;
}

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

using benchinputs::Input;
using benchinputs::InputFor;

// A host built on the sample at w x h; with an importance file or computed;
// with every part of the picture or with none (the plain mesh energy).
std::unique_ptr<ResizeHost> Build(int w, int h, bool importanceFile, double minScale,
                                  bool scaleTerm, bool parts, benchmark::State* state) {
  ResizeSettings settings;
  settings.parts = parts ? ResultParts{} : ResultParts::Classic();
  settings.minScale = minScale;
  settings.useScaleTerm = scaleTerm;
  auto host = std::make_unique<ResizeHost>(settings);
  const Input& in = InputFor(w, h);
  if (!host->LoadImage(in.src.clone(), importanceFile ? in.salPath.c_str() : nullptr)) std::abort();
  Clock::time_point assembled;
  host->SetEnergyObserver([&](const TripletMatrix&) { assembled = Clock::now(); });
  std::streambuf* old = std::cout.rdbuf(nullptr);
  const auto t0 = Clock::now();
  host->BuildEquationA();
  const auto t1 = Clock::now();
  std::cout.rdbuf(old);
  if (!host->contentAware()) std::abort();
  if (state) {
    state->counters["detect_assemble_ms"] = 1e3 * Seconds(t0, assembled);
    state->counters["factor_ms"] = 1e3 * Seconds(assembled, t1);
    state->counters["unknowns"] = host->coordCount() - static_cast<double>(host->ind().size());
    state->SetIterationTime(Seconds(t0, t1));
  }
  return host;
}

void Report(benchmark::State& state, std::vector<double> times) {
  std::sort(times.begin(), times.end());
  state.counters["median_ms"] = 1e3 * times[times.size() / 2];
  state.counters["p90_ms"] = 1e3 * times[times.size() * 9 / 10];
  state.counters["max_ms"] = 1e3 * times.back();
  state.counters["steps"] = static_cast<double>(times.size());
  state.counters["peak_MB"] = PeakMegabytes();
}

void BM_BuildEquationA(benchmark::State& state) {
  const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
  for (auto _ : state) Build(w, h, true, kDefaultMinScale, false, state.range(2) != 0, &state);
  state.counters["peak_MB"] = PeakMegabytes();
}

void BM_Unguarded(benchmark::State& state) {
  const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
  auto host = Build(w, h, true, 0.0, false, state.range(2) != 0, nullptr);
  std::vector<double> times;
  for (auto _ : state) {
    times.clear();
    const auto start = Clock::now();
    for (int nw = host->srcWidth(); nw >= host->srcWidth() / 2; --nw) {
      const auto t0 = Clock::now();
      host->Resize(nw, host->srcHeight());
      times.push_back(Seconds(t0, Clock::now()));
    }
    state.SetIterationTime(Seconds(start, Clock::now()));
  }
  Report(state, times);
}

void BM_GuardedDrag(benchmark::State& state) {
  const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
  const bool alongHeight = state.range(2) != 0;
  const int limit = w > 2000 ? 200 : 1 << 30;
  auto host = Build(w, h, false, kDefaultMinScale, true, state.range(3) != 0, nullptr);
  // Both energies factored, as the window does while loading.
  host->PrepareEnergies();
  const int W = host->srcWidth(), H = host->srcHeight();
  std::vector<double> times;
  int fallbacks = 0;
  for (auto _ : state) {
    times.clear();
    const auto start = Clock::now();
    const int from = alongHeight ? H * 8 / 10 : W * 13 / 10;
    const int to = alongHeight ? H / 2 : W * 2;
    const int step = from < to ? 1 : -1;
    for (int s = from, n = 0; s != to + step && n < limit; s += step, ++n) {
      const auto t0 = Clock::now();
      host->Resize(alongHeight ? W : s, alongHeight ? s : H);
      times.push_back(Seconds(t0, Clock::now()));
      fallbacks += host->solver().LastStats().fallback;
    }
    state.SetIterationTime(Seconds(start, Clock::now()));
  }
  state.counters["fallbacks"] = fallbacks;
  state.counters["first_ms"] = 1e3 * times.front();
  Report(state, times);
}

void Sizes(benchmark::internal::Benchmark* b) {
  for (auto [w, h] : {std::pair{640, 480}, std::pair{1920, 1080}, std::pair{4000, 3000}})
    for (int parts : {0, 1}) b->Args({w, h, parts});
  b->ArgNames({"w", "h", "parts"});
}

void Drags(benchmark::internal::Benchmark* b) {
  for (auto [w, h] : {std::pair{1920, 1080}, std::pair{4000, 3000}})
    for (int dir : {0, 1})
      for (int parts : {0, 1}) b->Args({w, h, dir, parts});
  b->ArgNames({"w", "h", "dir", "parts"});
}

}  // namespace

BENCHMARK(BM_BuildEquationA)
    ->Apply(Sizes)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK(BM_Unguarded)
    ->Apply(Sizes)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK(BM_GuardedDrag)
    ->Apply(Drags)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

int main(int argc, char** argv) {
  // Memory as the programs have it.
  KeepFreedBlocksForReuse();
  UseOneBlasThread();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

// The built-in engine against GNU Octave, in the same run on the same
// machine: the sample photo at 640x480, 1920x1080 and 4000x3000 with an
// importance file, in both modes. Per engine: the whole build
// (BuildEquationA), its engine part (transfer of the energy and
// factorisation) and the per-size Resize over a drag of 50 sizes from 100 %
// to 50 % of the width, without the guard (BM_BuiltinVsOctave, the bridge's
// command lines per size on Octave's side) and with it
// (BM_GuardedBuiltinVsOctave, 20 sizes from 100 % to 200 %).
// Counters: *_ms for each engine, *_ratio = octave / builtin, max_diff_px
// between the two solutions over all sizes.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>

#include "bench/bench_inputs.hpp"
#include "core/resize_host.hpp"

using namespace quadrix;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kSizes = 50;
constexpr int kGuardedSizes = 20;

double Ms(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

using benchinputs::Input;
using benchinputs::InputFor;

NumericEngine& Octave() {
  static std::unique_ptr<NumericEngine> engine = MakeOctaveEngine();
  return *engine;
}

struct Timings {
  double buildMs = 0, factorMs = 0;
  std::vector<double> solveMs;
  std::vector<std::vector<double>> solutions;
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// engine null: the built-in one.
Timings Measure(NumericEngine* engine, int w, int h, bool scaleTerm, double minScale) {
  ResizeSettings settings;
  settings.useScaleTerm = scaleTerm;
  settings.minScale = minScale;
  ResizeHost host(settings, engine);
  const Input& in = InputFor(w, h);
  if (!host.LoadImage(in.src.clone(), in.salPath.c_str())) std::abort();
  Timings run;
  // The observer sees the matrix just before it goes to the engine.
  Clock::time_point assembled;
  host.SetEnergyObserver([&](const TripletMatrix&) { assembled = Clock::now(); });
  std::streambuf* old = std::cout.rdbuf(nullptr);
  const auto t0 = Clock::now();
  host.BuildEquationA();
  const auto t1 = Clock::now();
  std::cout.rdbuf(old);
  if (!host.contentAware()) std::abort();
  run.buildMs = Ms(t0, t1);
  run.factorMs = Ms(assembled, t1);
  const bool guarded = minScale > 0;
  const int sizes = guarded ? kGuardedSizes : kSizes;
  for (int k = 0; k < sizes; ++k) {
    const int nw = guarded ? host.srcWidth() + k * host.srcWidth() / (sizes - 1)
                           : host.srcWidth() - k * host.srcWidth() / (2 * (sizes - 1));
    const auto s0 = Clock::now();
    host.Resize(nw, host.srcHeight());
    run.solveMs.push_back(Ms(s0, Clock::now()));
    run.solutions.push_back(host.solution64());
  }
  return run;
}

void Compare(benchmark::State& state, double minScale) {
  const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
  const bool scaleTerm = state.range(2) != 0;
  Octave();  // started before the clock runs
  Timings b, o;
  for (auto _ : state) {
    const auto start = Clock::now();
    b = Measure(nullptr, w, h, scaleTerm, minScale);
    o = Measure(&Octave(), w, h, scaleTerm, minScale);
    state.SetIterationTime(Ms(start, Clock::now()) / 1e3);
  }
  double diff = 0;
  for (size_t s = 0; s < b.solutions.size(); ++s)
    for (size_t k = 0; k < b.solutions[s].size(); ++k)
      diff = std::max(diff, std::abs(b.solutions[s][k] - o.solutions[s][k]));
  state.counters["builtin_build_ms"] = b.buildMs;
  state.counters["octave_build_ms"] = o.buildMs;
  state.counters["build_ratio"] = o.buildMs / b.buildMs;
  state.counters["builtin_factor_ms"] = b.factorMs;
  state.counters["octave_factor_ms"] = o.factorMs;
  state.counters["factor_ratio"] = o.factorMs / b.factorMs;
  const double bs = Median(b.solveMs), os = Median(o.solveMs);
  state.counters["builtin_solve_ms"] = bs;
  state.counters["octave_solve_ms"] = os;
  state.counters["solve_ratio"] = os / bs;
  state.counters["max_diff_px"] = diff;
}

void BM_BuiltinVsOctave(benchmark::State& state) { Compare(state, 0.0); }
void BM_GuardedBuiltinVsOctave(benchmark::State& state) { Compare(state, kDefaultMinScale); }

// Start-up and shut-down of one Octave process.
void BM_OctaveStart(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(MakeOctaveEngine());
}

}  // namespace

BENCHMARK(BM_BuiltinVsOctave)
    ->ArgsProduct({{640}, {480}, {0, 1}})
    ->ArgsProduct({{1920}, {1080}, {0, 1}})
    ->ArgsProduct({{4000}, {3000}, {1}})
    ->ArgNames({"w", "h", "mode"})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK(BM_GuardedBuiltinVsOctave)
    ->ArgsProduct({{640}, {480}, {1}})
    ->ArgsProduct({{1920}, {1080}, {1}})
    ->ArgNames({"w", "h", "mode"})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK(BM_OctaveStart)->Unit(benchmark::kMillisecond)->Iterations(3);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

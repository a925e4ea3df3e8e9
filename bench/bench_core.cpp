// The resizing core on the sample photo scaled to 640x480, 1920x1080 and
// 4000x3000 with an importance file: the image build split into line
// detection (with the units), assembly and factorisation, and the per-size
// solve over a drag from 100 % to 50 % of the width in 1-pixel steps.
// Counters: median_ms / p90_ms of one Resize, peak_MB of the process.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>

#include "bench/bench_inputs.hpp"
#include "core/hugepages.hpp"
#include "core/resizehost.hpp"

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

// A host factored on one size with the chosen Cholesky factorisation.
std::unique_ptr<ResizeHost> Build(int w, int h, CholeskyKind kind, benchmark::State* state) {
  TheEngineConnection().handle = MakeBuiltinEngine(kind);
  auto host = std::make_unique<ResizeHost>();
  const Input& in = InputFor(w, h);
  host->imgSrc = in.src.clone();
  if (!host->LoadImage(in.salPath.c_str())) std::abort();

  // BuildEquationA, step by step, to time its parts.
  std::streambuf* old = std::cout.rdbuf(nullptr);
  const auto t0 = Clock::now();
  host->quadCountX = host->srcWidth / host->quadSize;
  host->quadCountY = host->srcHeight / host->quadSize;
  std::vector<ConstrainUnits> quads, quad5s, edges;
  int counts[2];
  host->GetConstrainUnits(counts, host->imgSal, host->imgGray32F, quads, quad5s, edges,
                          host->quadSize, host->useScaleTerm, host->quadCountX, host->quadCountY);
  const auto t1 = Clock::now();
  TripletMatrix a;
  a.n = host->coordCount = counts[0];
  a.entries.reserve(3000000);
  host->AppendUnitRows(quads, a, host->useScaleTerm);
  host->AppendUnitRows(quad5s, a, host->useScaleTerm);
  host->AppendUnitRows(edges, a, false);
  const auto t2 = Clock::now();
  a.PutToEngine(host->engine);
  BuildFixedIndices(host->ind, host->quadCountX, host->quadCountY);
  for (int32_t& v : host->ind) ++v;
  PutInd(host->engine, host->ind);
  for (const char* line : kFactorLines) host->engine->EvalString(line);
  host->engine->EvalString(InversePermutationLine());
  host->contentAware = host->engine->EvalString(kCholLine);
  const auto t3 = Clock::now();
  std::cout.rdbuf(old);
  if (!host->contentAware) std::abort();
  if (state) {
    state->counters["detect_ms"] = 1e3 * Seconds(t0, t1);
    state->counters["assemble_ms"] = 1e3 * Seconds(t1, t2);
    state->counters["factor_ms"] = 1e3 * Seconds(t2, t3);
    state->counters["unknowns"] = counts[0] - static_cast<double>(host->ind.size());
    state->counters["nnz_A"] = static_cast<double>(a.entries.size());
    state->SetIterationTime(Seconds(t0, t3));
  }
  return host;
}

void BM_BuildEquationA(benchmark::State& state) {
  const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
  const auto kind = static_cast<CholeskyKind>(state.range(2));
  for (auto _ : state) Build(w, h, kind, &state);
  state.counters["peak_MB"] = PeakMegabytes();
}

void BM_ResizeDrag(benchmark::State& state) {
  const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
  const auto kind = static_cast<CholeskyKind>(state.range(2));
  auto host = Build(w, h, kind, nullptr);
  std::vector<double> times;
  for (auto _ : state) {
    times.clear();
    const auto start = Clock::now();
    for (int nw = host->srcWidth; nw >= host->srcWidth / 2; --nw) {
      const auto t0 = Clock::now();
      host->Resize(nw, host->srcHeight);
      times.push_back(Seconds(t0, Clock::now()));
    }
    state.SetIterationTime(Seconds(start, Clock::now()));
  }
  std::sort(times.begin(), times.end());
  state.counters["median_ms"] = 1e3 * times[times.size() / 2];
  state.counters["p90_ms"] = 1e3 * times[times.size() * 9 / 10];
  state.counters["steps"] = static_cast<double>(times.size());
  state.counters["peak_MB"] = PeakMegabytes();
}

void Sizes(benchmark::internal::Benchmark* b) {
  for (auto [w, h] : {std::pair{640, 480}, std::pair{1920, 1080}, std::pair{4000, 3000}})
    for (CholeskyKind kind :
         {CholeskyKind::CholmodSimplicial, CholeskyKind::Supernodal, CholeskyKind::SimplicialAmd})
      b->Args({w, h, static_cast<int>(kind)});
  // kind 0: CHOLMOD supernodal, 1: Eigen SimplicialLLT with AMD, 2: CHOLMOD simplicial
  b->ArgNames({"w", "h", "kind"});
}

}  // namespace

BENCHMARK(BM_BuildEquationA)
    ->Apply(Sizes)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK(BM_ResizeDrag)
    ->Apply(Sizes)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

// Under the same memory set-up as the programs.
int main(int argc, char** argv) {
  PreferHugePages(argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

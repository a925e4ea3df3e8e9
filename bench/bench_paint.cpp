// From the end of a brush stroke to the new picture: the painted map made
// into a host that keeps the photo's lines, its energy built and factored,
// solved at the size shown from the rows the last solve held, and the mesh
// drawn off screen at the size of the window's view. Yardstick, in the
// same run: the energy of the same photo built as when it loads.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>

#include "base/malloc_pages.hpp"
#include "bench_inputs.hpp"
#include "core/importance_paint.hpp"
#include "core/resize_host.hpp"
#include "engine/cholmod_factor.hpp"
#include "interop_gl/offscreen.hpp"
#include "interop_gl/renderer.hpp"

using namespace quadrix;

namespace {

// The photo loaded and built at its source size, then shown at `percent`
// of its width: at 75 % the guard holds no rows, at 40 % it holds many.
struct Shown {
  ResizeHost host;
  cv::Size target;
  cv::Size view;  // the drawing area: the target fitted into 1600 x 950
  Shown(int w, int h, int percent) {
    ResizeSettings settings;
    settings.useScaleTerm = true;
    host = ResizeHost(settings);
    host.LoadImage(benchinputs::InputFor(w, h).src.clone(), nullptr);
    std::streambuf* old = std::cout.rdbuf(nullptr);
    host.BuildEquationA();
    std::cout.rdbuf(old);
    target = {host.srcWidth() * percent / 100, host.srcHeight()};
    host.Resize(target.width, target.height);
    const double zoom = std::min({1.0, 1600.0 / target.width, 950.0 / target.height});
    view = {static_cast<int>(target.width * zoom), static_cast<int>(target.height * zoom)};
  }
};

void BM_StrokeToPicture(benchmark::State& state) {
  Shown shown(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)),
              static_cast<int>(state.range(2)));
  ResizeHost& host = shown.host;
  ImportancePainter painter(host.imgSal().clone());
  const int vx = host.quadCountX() + 1, vy = host.quadCountY() + 1;
  // Drawn as the window draws, without reading the picture back.
  std::string why;
  auto context = OffscreenContext::Create(why);
  RenderState rs;
  // As the window draws while the brush is out: bilinear, each dab's
  // redraw quick; the filtered picture returns with the brush put down.
  rs.filtered = false;
  OffscreenTarget view;
  const bool draw = context && context->MakeCurrent() && InitRenderer(rs) &&
                    CreateImageTexture(host.imgSrc(), rs, 0) &&
                    CreateImageTexture(host.imgSal(), rs, 1);
  if (draw) CreateMeshBuffers(rs, vx, vy);
  if (!draw) state.SetLabel("no OpenGL context: not drawn");
  const double radius = host.srcWidth() / 40.0;
  int stroke = 0;
  // The draw's share, as its own figure.
  double drawMs = 0.0;
  int draws = 0;
  for (auto _ : state) {
    state.PauseTiming();
    // A stroke across the lower third, protecting and restoring in turn.
    painter.BeginStroke(stroke++ % 2 == 0 ? Brush::kProtect : Brush::kRestore);
    for (int k = 0; k <= 20; ++k)
      painter.Dab({host.srcWidth() * (0.2 + 0.03 * k), host.srcHeight() * 0.7}, radius);
    painter.EndStroke();
    state.ResumeTiming();

    ResizeHost rebuilt = host.CopyForImportance(painter.Map().clone());
    std::streambuf* old = std::cout.rdbuf(nullptr);
    rebuilt.BuildEquationA();
    std::cout.rdbuf(old);
    rebuilt.Resize(shown.target.width, shown.target.height);
    const auto t0 = std::chrono::steady_clock::now();
    if (draw) {
      view.Begin(shown.view.width, shown.view.height);
      rs.newWidth = shown.target.width;
      rs.newHeight = shown.target.height;
      UpdateVertices(rs, rebuilt.solution().data(), static_cast<size_t>(vx) * vy);
      DrawMesh(rs);
      glFinish();
    }
    drawMs +=
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    ++draws;
    state.PauseTiming();
    host = std::move(rebuilt);
    state.ResumeTiming();
  }
  state.counters["draw_ms"] = drawMs / std::max(1, draws);
  state.counters["guard_rows"] = host.solver().LastStats().activeRows;
  state.counters["iterations"] = host.solver().LastStats().iterations;
  if (draw) ReleaseRenderState(rs);
}

// The yardstick: the same photo's energy built as at load time (lines
// detected, ordering chosen, factored) and solved cold at the size shown.
void BM_BuildAsLoaded(benchmark::State& state) {
  Shown shown(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)),
              static_cast<int>(state.range(2)));
  // The shown map as a file would give it, on the aligned photo: loading
  // it is not what is measured.
  cv::Mat importance8U;
  shown.host.imgSal().convertTo(importance8U, CV_8U, 1.0 / 0.004);
  ResizeSettings settings;
  settings.useScaleTerm = true;
  for (auto _ : state) {
    state.PauseTiming();
    ResizeHost host(settings);
    if (!host.LoadImportance(shown.host.imgSrc(), importance8U)) std::abort();
    state.ResumeTiming();
    std::streambuf* old = std::cout.rdbuf(nullptr);
    host.BuildEquationA();
    std::cout.rdbuf(old);
    host.Resize(shown.target.width, shown.target.height);
    benchmark::DoNotOptimize(host.solution().data());
  }
}

}  // namespace

BENCHMARK(BM_StrokeToPicture)
    ->Args({1920, 1080, 75})
    ->Args({4000, 3000, 75})
    ->Args({1920, 1080, 40})
    ->Args({4000, 3000, 40})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(7)
    ->UseRealTime();
BENCHMARK(BM_BuildAsLoaded)
    ->Args({1920, 1080, 75})
    ->Args({4000, 3000, 75})
    ->Args({1920, 1080, 40})
    ->Args({4000, 3000, 40})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();

int main(int argc, char** argv) {
  // Memory as the window has it.
  KeepFreedBlocksForReuse();
  UseOneBlasThread();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

// GNU Octave as the numeric engine of the host and the program: agreement
// with the built-in engine on photos, engine choice and the command-line
// tool's messages.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cfloat>
#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fstream>
#include <limits>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "core/resize_host.hpp"
#include "engine/bridge.hpp"
#include "engine/energy_solver.hpp"
#include "engine/engine.hpp"
#include "engine/octave_client.hpp"
#include "engine_sequences.hpp"
#include "octave_support.hpp"
#include "test_support.hpp"

using namespace quadrix;
using octavetest::RealOctave;
using octavetest::SharedOctave;
using octavetest::WriteScript;
using testsupport::Quote;
using testsupport::TempDir;

// ---------------------------------------------------------------- host

namespace {

struct PhotoInputs {
  TempDir dir;
  cv::Mat src;
  std::string salPath = dir / "sal.png";
  PhotoInputs(cv::Size size, const cv::Mat& sal) : src(testsupport::Sample(size)) {
    cv::imwrite(salPath, sal);
  }
  explicit PhotoInputs(cv::Size size) : PhotoInputs(size, testsupport::ImportanceImage(size)) {}
};

// A host on `engine` (null: the built-in one), loaded and built; its
// diagnostics are swallowed. `zeroMap`: every quad gets weight 0, which no
// importance file can give.
std::unique_ptr<ResizeHost> BuiltHost(NumericEngine* engine, const PhotoInputs& in, bool scaleTerm,
                                      double minScale, std::string* errors = nullptr,
                                      bool zeroMap = false) {
  ResizeSettings settings;
  settings.useScaleTerm = scaleTerm;
  settings.minScale = minScale;
  auto host = std::make_unique<ResizeHost>(settings, engine);
  if (!host->LoadImage(in.src.clone(), in.salPath.c_str()))
    ADD_FAILURE() << "cannot load the photo";
  if (zeroMap) *host = host->CopyForImportance(cv::Mat::zeros(host->imgSal().size(), CV_32FC1));
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  host->BuildEquationA();
  testing::internal::GetCapturedStdout();
  const std::string err = testing::internal::GetCapturedStderr();
  if (errors) *errors = err + host->UniformFallbackNotice();
  return host;
}

struct PhotoCase {
  cv::Size photo;
  bool scaleTerm;
  double minScale;
};

void PrintTo(const PhotoCase& c, std::ostream* os) {
  *os << c.photo.width << "x" << c.photo.height << " mode " << c.scaleTerm << " minimum scale "
      << c.minScale;
}

class OctavePhoto : public ::testing::TestWithParam<PhotoCase> {};

}  // namespace

TEST_P(OctavePhoto, SameSolutionAsTheBuiltinEngine) {
  const PhotoInputs in(GetParam().photo);
  const double m = GetParam().minScale;
  auto viaOctave = BuiltHost(&SharedOctave(), in, GetParam().scaleTerm, m);
  auto viaBuiltin = BuiltHost(nullptr, in, GetParam().scaleTerm, m);
  ASSERT_TRUE(viaOctave->contentAware());
  ASSERT_TRUE(viaBuiltin->contentAware());
  ASSERT_EQ(viaOctave->coordCount(), viaBuiltin->coordCount());
  const int w = viaOctave->srcWidth(), h = viaOctave->srcHeight();
  const std::vector<cv::Size> sizes = {
      {w, h}, {w / 2, h}, {w, h / 2}, {w * 3 / 2, h * 4 / 5}, {w * 7 / 10, h * 13 / 10}, {40, 900}};
  double worst = 0.0;
  for (const cv::Size& s : sizes) {
    viaOctave->Resize(s.width, s.height);
    viaBuiltin->Resize(s.width, s.height);
    ASSERT_EQ(viaOctave->solution64().size(), static_cast<size_t>(viaOctave->coordCount()));
    ASSERT_EQ(viaOctave->solution().size(), viaOctave->solution64().size());
    ASSERT_EQ(viaBuiltin->solution64().size(), viaOctave->solution64().size());
    for (size_t k = 0; k < viaOctave->solution64().size(); ++k)
      worst = std::max(worst, std::abs(viaOctave->solution64()[k] - viaBuiltin->solution64()[k]));
    // The pinned corners are exact: top-right x, bottom-right y.
    const int qx = viaOctave->quadCountX(), qy = viaOctave->quadCountY();
    EXPECT_EQ(viaOctave->solution64()[2 * qx], s.width);
    EXPECT_EQ(viaOctave->solution64()[2 * (qy * (qx + 1) + qx) + 1], s.height);
  }
  std::ostringstream text;
  text << worst;
  RecordProperty("largest_difference_px", text.str());
  EXPECT_LE(worst, 1e-6) << "largest difference in pixels";
}

INSTANTIATE_TEST_SUITE_P(Photos, OctavePhoto,
                         ::testing::Values(PhotoCase{{400, 300}, false, 0.0},
                                           PhotoCase{{400, 300}, true, 0.0},
                                           PhotoCase{{868, 600}, false, 0.0},
                                           PhotoCase{{868, 600}, true, 0.0},
                                           PhotoCase{{400, 300}, false, kDefaultMinScale},
                                           PhotoCase{{400, 300}, true, kDefaultMinScale},
                                           PhotoCase{{868, 600}, true, kDefaultMinScale}),
                         [](const auto& info) {
                           return std::to_string(info.param.photo.width) + "x" +
                                  std::to_string(info.param.photo.height) + "_mode" +
                                  (info.param.scaleTerm ? "1" : "0") +
                                  (info.param.minScale > 0 ? "_guarded" : "_unguarded");
                         });

TEST(OctaveHost, ShearRowsGiveTheSameSolutionToo) {
  // A size where the grid rows alone would let a triangle turn over, so the
  // shear rows of some edges join the guard.
  const cv::Mat butterfly =
      cv::imread(std::string(QUADRIX_SOURCE_DIR) + "/tests/data/butterfly.jpg");
  ASSERT_FALSE(butterfly.empty());
  std::unique_ptr<ResizeHost> hosts[2];
  for (int k = 0; k < 2; ++k) {
    ResizeSettings settings;
    settings.useScaleTerm = true;
    // The plain mesh energy: the one that needs shear rows here.
    settings.parts = ResultParts::Classic();
    hosts[k] = std::make_unique<ResizeHost>(settings, k == 0 ? &SharedOctave() : nullptr);
    ASSERT_TRUE(hosts[k]->LoadImage(butterfly.clone(), nullptr));
    testing::internal::CaptureStdout();
    hosts[k]->BuildEquationA();
    testing::internal::GetCapturedStdout();
    hosts[k]->Resize(hosts[k]->srcWidth() * 3 / 10, hosts[k]->srcHeight() * 2);
  }
  const ResizeHost& octave = *hosts[0];
  const ResizeHost& builtin = *hosts[1];
  ASSERT_EQ(octave.guardRowsHeld(), builtin.guardRowsHeld());
  EXPECT_GT(std::count(octave.guardRowsHeld().begin() + octave.guard().gridRows,
                       octave.guardRowsHeld().end(), 1),
            0);
  ASSERT_EQ(octave.solution64().size(), builtin.solution64().size());
  double worst = 0;
  for (size_t k = 0; k < octave.solution64().size(); ++k)
    worst = std::max(worst, std::abs(octave.solution64()[k] - builtin.solution64()[k]));
  EXPECT_LE(worst, 1e-6);
}

TEST(OctaveHost, FailedFactorisationFallsBackLikeTheBuiltinEngine) {
  const PhotoInputs in({400, 300});
  std::string octaveErrors;
  auto viaOctave = BuiltHost(&SharedOctave(), in, false, kDefaultMinScale, &octaveErrors, true);
  auto viaBuiltin = BuiltHost(nullptr, in, false, kDefaultMinScale, nullptr, true);
  EXPECT_FALSE(viaOctave->contentAware());
  EXPECT_FALSE(viaBuiltin->contentAware());
  EXPECT_NE(octaveErrors.find("positive definite"), std::string::npos) << octaveErrors;
  viaOctave->Resize(200, 450);
  viaBuiltin->Resize(200, 450);
  EXPECT_EQ(viaOctave->solution(), viaBuiltin->solution());
  ASSERT_EQ(viaOctave->solution().size(), static_cast<size_t>(viaOctave->coordCount()));
}

TEST(OctaveHost, ConnectionOpensTheChosenEngineOnceAndRetriesAfterFailure) {
  EXPECT_TRUE(IsEngineName("builtin"));
  EXPECT_TRUE(IsEngineName("octave"));
  EXPECT_FALSE(IsEngineName("Octave"));
  EXPECT_THROW(SetEngineChoice("quantum"), std::invalid_argument);

  const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
  ::setenv("QUADRIX_ENGINE", "nonsense", 1);
  EXPECT_THROW(ChosenEngineName(), EngineError);
  ::setenv("QUADRIX_ENGINE", "", 1);
  EXPECT_EQ(ChosenEngineName(), "builtin");
  ::setenv("QUADRIX_ENGINE", "octave", 1);
  EXPECT_EQ(ChosenEngineName(), "octave");
  ::setenv("QUADRIX_ENGINE_TIMEOUT", "soon", 1);
  TheEngineConnection().handle.reset();
  EXPECT_THROW(OpenEngineConnection(), EngineError);
  ::unsetenv("QUADRIX_ENGINE_TIMEOUT");

  // Octave missing: the host cannot be made, and says why.
  ::setenv("PATH", "/nonexistent", 1);
  try {
    ResizeHost host;
    ADD_FAILURE() << "a host without its engine";
  } catch (const EngineError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("cannot start the numeric engine 'octave-cli': ", 0), 0u)
        << e.what();
  }
  EXPECT_EQ(TheEngineConnection().handle, nullptr);

  // Installed after all: the next host opens it, and the one after shares it.
  ::setenv("PATH", path.c_str(), 1);
  ResizeHost first;
  ResizeHost second;
  ASSERT_NE(first.engine(), nullptr);
  EXPECT_STREQ(first.engine()->Name(), "octave");
  EXPECT_EQ(second.engine(), first.engine());

  // The program's choice wins over the variable.
  SetEngineChoice("builtin");
  EXPECT_EQ(ChosenEngineName(), "builtin");
  ::unsetenv("QUADRIX_ENGINE");
}

// ---------------------------------------------------------------- program

namespace {

testsupport::CommandResult Cli(const std::string& env, const std::string& args) {
  return testsupport::Run(env + " " + std::string(QUADRIX_CLI_PATH) + " " + args);
}

struct CliInputs {
  TempDir dir;
  std::string src = dir / "src.png";
  std::string sal = dir / "sal.png";
  CliInputs() {
    cv::imwrite(src, testsupport::Sample({300, 200}));
    cv::imwrite(sal, testsupport::ImportanceImage({300, 200}));
  }
  // The photo and its map, and a mesh to write (a run must write something).
  std::string Args() const {
    return "--mesh " + Quote(dir / "args_mesh_{w}x{h}.csv") + " " + Quote(src) + " " + Quote(sal);
  }
};

std::vector<double> Numbers(const std::string& path) {
  std::ifstream in(path);
  std::vector<double> v;
  for (double d; in >> d;) v.push_back(d);
  return v;
}

}  // namespace

TEST(OctaveCli, EngineChoiceAndOctaveMissing) {
  const CliInputs in;
  const std::string cannot =
      "quadrix-cli: cannot start the numeric engine 'octave-cli': not found in PATH";
  for (const auto& [env, option] :
       {std::pair{"QUADRIX_ENGINE=octave", ""},
        std::pair{"QUADRIX_ENGINE=builtin", "--engine octave"}, std::pair{"", "--engine=octave"}}) {
    const auto r =
        Cli(std::string("PATH=/nonexistent ") + env, std::string(option) + " 0 " + in.Args());
    EXPECT_EQ(r.status, 1) << env << option;
    EXPECT_EQ(r.err.rfind(cannot, 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.out, "");
  }
  // The option wins over the variable.
  EXPECT_EQ(
      Cli("PATH=/nonexistent QUADRIX_ENGINE=octave", "--engine builtin 0 " + in.Args()).status, 0);

  const auto badOption = Cli("", "--engine quantum 0 " + in.Args());
  EXPECT_EQ(badOption.status, 2);
  EXPECT_NE(badOption.err.find("unknown engine 'quantum'"), std::string::npos) << badOption.err;
  const auto badVariable = Cli("QUADRIX_ENGINE=quantum", "0 " + in.Args());
  EXPECT_EQ(badVariable.status, 2);
  EXPECT_NE(badVariable.err.find("unknown engine 'quantum' in QUADRIX_ENGINE"), std::string::npos)
      << badVariable.err;
  EXPECT_NE(Cli("", "--help").out.find("--engine NAME"), std::string::npos);
}

TEST(OctaveCli, OctaveSolvesLikeTheBuiltinEngine) {
  const CliInputs in;
  const std::string octaveDir = in.dir / "octave", builtinDir = in.dir / "builtin";
  const std::string sizes = "--size 300x200 --size 150x260 ";
  const auto o =
      Cli("", "--engine octave --dump-energy " + Quote(octaveDir) + " " + sizes + "1 " + in.Args());
  const auto b =
      Cli("QUADRIX_ENGINE=octave",
          "--engine builtin --dump-energy " + Quote(builtinDir) + " " + sizes + "1 " + in.Args());
  ASSERT_EQ(o.status, 0) << o.err;
  ASSERT_EQ(b.status, 0) << b.err;
  EXPECT_EQ(o.err, "");
  for (const char* tag : {"300x200", "150x260"}) {
    const auto xo = Numbers(octaveDir + "/x_" + tag + ".txt");
    const auto xb = Numbers(builtinDir + "/x_" + tag + ".txt");
    ASSERT_EQ(xo.size(), xb.size());
    ASSERT_FALSE(xo.empty());
    for (size_t k = 0; k < xo.size(); ++k) EXPECT_NEAR(xo[k], xb[k], 1e-6) << tag << " " << k;
  }
}

TEST(OctaveCli, FailingCommandLinesAreNamedOrFallBack) {
  const CliInputs in;
  TempDir fake;
  // Octave itself, with one function of the command lines replaced.
  const std::string octave = RealOctave();
  auto withBroken = [&](const std::string& function, const std::string& body) {
    TempDir& d = fake;
    std::filesystem::create_directories(d / function);
    std::ofstream(d / function + "/" + function + ".m")
        << "function varargout = " << function << "(varargin)\n"
        << body << "\nend\n";
    std::filesystem::create_directories(d / ("bin-" + function));
    WriteScript(d, "bin-" + function + "/octave-cli",
                "exec " + Quote(octave) + " --path " + Quote(d / function) + " \"$@\"");
    return "PATH=" + Quote(d / ("bin-" + function)) + ":/usr/bin:/bin QUADRIX_ENGINE=octave";
  };

  const auto failed = Cli(withBroken("amd", "error('amd is out of order');"), "0 " + in.Args());
  EXPECT_EQ(failed.status, 1);
  EXPECT_NE(failed.err.find("quadrix-cli: numeric engine (octave) failed on \"P=amd(xr0);\": amd "
                            "is out of order"),
            std::string::npos)
      << failed.err;

  const auto died = Cli(withBroken("amd", "exit(4);"), "0 " + in.Args());
  EXPECT_EQ(died.status, 1);
  EXPECT_NE(died.err.find("octave-cli ended unexpectedly (exit status 4)"), std::string::npos)
      << died.err;

  // A factorisation that fails is no error: the picture is scaled uniformly.
  const auto fallback = Cli(withBroken("chol",
                                       "error('chol: input matrix must be positive "
                                       "definite');"),
                            "--mesh " + Quote(in.dir / "mesh.csv") + " 0 " + in.Args());
  EXPECT_EQ(fallback.status, 0) << fallback.err;
  EXPECT_NE(fallback.err.find("using uniform scaling instead"), std::string::npos) << fallback.err;
}

TEST(OctaveCli, BatchWorkersHaveAnEngineEachAndAgreeWithOne) {
  TempDir dir;
  std::string photos;
  for (int k = 0; k < 3; ++k) {
    const std::string p = dir / ("p" + std::to_string(k) + ".png");
    cv::imwrite(p, testsupport::Sample({260 + 20 * k, 200}));
    photos += " " + Quote(p);
  }
  auto run = [&](const std::string& jobs) {
    const auto r = Cli("", "--engine octave --batch -j " + jobs + " --size 300x260 --mesh " +
                               Quote(dir / ("j" + jobs + "/{name}.csv")) + " 1" + photos);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
  };
  run("1");
  run("2");
  for (int k = 0; k < 3; ++k) {
    const std::string name = "p" + std::to_string(k) + ".csv";
    EXPECT_EQ(testsupport::ReadFile(dir / ("j1/" + name)),
              testsupport::ReadFile(dir / ("j2/" + name)))
        << name;
  }
  // Without Octave the batch stops at once with one line.
  const auto missing = Cli("PATH=/nonexistent", "--engine octave --batch -j 2 --mesh " +
                                                    Quote(dir / "x/{name}.csv") + " 1" + photos);
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(std::count(missing.err.begin(), missing.err.end(), '\n'), 1) << missing.err;
  EXPECT_NE(missing.err.find("cannot start the numeric engine"), std::string::npos) << missing.err;
}

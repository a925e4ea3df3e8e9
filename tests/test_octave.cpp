// GNU Octave as the numeric engine: the client layer, the bridge's command
// lines in Octave, agreement with the built-in engine on photos, engine
// choice and the command-line tool's messages.

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
#include "test_support.hpp"

using namespace quadrix;
using testsupport::Quote;
using testsupport::TempDir;

namespace {

// One Octave per test process: start-up is the slow part.
NumericEngine& SharedOctave() {
  static std::unique_ptr<NumericEngine> engine = MakeOctaveEngine();
  return *engine;
}

// The process has ended (or is a zombie waiting for its new parent).
bool Ended(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return true;
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  return close == std::string::npos || close + 2 >= text.size() || text[close + 2] == 'Z';
}

bool EndsWithin(pid_t pid, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!Ended(pid)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Processes whose parent is `parent`, from /proc.
std::vector<pid_t> ChildrenOf(pid_t parent) {
  std::vector<pid_t> out;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return out;
  while (const dirent* e = ::readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
    if (pid <= 0) continue;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    int ppid = 0;
    if (std::sscanf(text.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == parent &&
        state != 'Z')
      out.push_back(pid);
  }
  ::closedir(proc);
  return out;
}

std::string WriteScript(const TempDir& dir, const std::string& name, const std::string& body) {
  const std::string path = dir / name;
  std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
  ::chmod(path.c_str(), 0755);
  return path;
}

std::string RealOctave() {
  const auto r = testsupport::Run("command -v octave-cli");
  std::string path = r.out.substr(0, r.out.find('\n'));
  if (r.status != 0 || path.empty()) ADD_FAILURE() << "octave-cli is not installed";
  return path;
}

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

// ---------------------------------------------------------------- client

TEST(OctaveClient, ArraysCrossBitForBitWithTheirClass) {
  NumericEngine& e = SharedOctave();
  const std::vector<double> special = {1.0 / 3.0,
                                       -0.0,
                                       4.9e-324,
                                       DBL_MAX,
                                       -DBL_MIN,
                                       std::numeric_limits<double>::infinity(),
                                       std::numeric_limits<double>::quiet_NaN(),
                                       M_PI * 1e17};
  const std::vector<double> many = [] {
    std::vector<double> v(200000);
    std::mt19937_64 rng(3);
    for (double& d : v) d = std::ldexp(static_cast<double>(rng() >> 11), -40) - 5e3;
    return v;
  }();
  for (const std::vector<double>* values : {&special, &many}) {
    ASSERT_TRUE(e.PutVariable("d", EngineArray::Doubles(*values))) << e.LastError();
    ASSERT_TRUE(e.EvalString("assert(isa(d, 'double') && iscolumn(d));")) << e.LastError();
    EngineArray back;
    ASSERT_TRUE(e.GetVariable("d", back)) << e.LastError();
    ASSERT_EQ(back.cls, EngineArray::Class::Double);
    ASSERT_EQ(back.real.size(), values->size());
    for (size_t k = 0; k < values->size(); ++k)
      ASSERT_TRUE(SameBits(back.real[k], (*values)[k])) << k;
  }

  const std::vector<int32_t> ints = {INT32_MIN, -1, 0, 7, INT32_MAX};
  ASSERT_TRUE(e.PutVariable("w", EngineArray::Int32s(ints)));
  EXPECT_TRUE(e.EvalString("assert(isa(w, 'int32') && isequal(size(w), [5 1]));")) << e.LastError();
  EngineArray w;
  ASSERT_TRUE(e.GetVariable("w", w));
  EXPECT_EQ(w.cls, EngineArray::Class::Int32);
  EXPECT_EQ(w.int32s, ints);

  // A row vector comes out whole; a matrix, text or nothing at all do not.
  ASSERT_TRUE(e.EvalString("r = [4 5 6];"));
  EngineArray r;
  ASSERT_TRUE(e.GetVariable("r", r));
  EXPECT_EQ(r.real, (std::vector<double>{4, 5, 6}));
  ASSERT_TRUE(e.EvalString("m = ones(2, 3); s = 'abc'; z = single(1);"));
  EngineArray none;
  EXPECT_FALSE(e.GetVariable("m", none));
  EXPECT_NE(e.LastError().find("not a vector"), std::string::npos) << e.LastError();
  EXPECT_FALSE(e.GetVariable("s", none));
  EXPECT_NE(e.LastError().find("class char"), std::string::npos) << e.LastError();
  EXPECT_FALSE(e.GetVariable("z", none));
  EXPECT_FALSE(e.GetVariable("nosuchvariable", none));
  EXPECT_NE(e.LastError().find("nosuchvariable"), std::string::npos) << e.LastError();
  EXPECT_FALSE(e.PutVariable("bad name'", EngineArray::Doubles({1.0})));
  EXPECT_FALSE(e.GetVariable("x;exit", none));
}

TEST(OctaveClient, CommandTextArrivesExactly) {
  NumericEngine& e = SharedOctave();
  // Quotes, percent signs, backslashes, a tab, a line feed and UTF-8 bytes.
  const std::string text = "it's 100% \\n \"q\"\t\xc3\xa9";
  std::string quoted;
  for (char c : text) quoted += c == '\'' ? std::string("''") : std::string(1, c);
  ASSERT_TRUE(e.EvalString("s = '" + quoted + "';\nc = double(s);")) << e.LastError();
  EngineArray c;
  ASSERT_TRUE(e.GetVariable("c", c));
  ASSERT_EQ(c.real.size(), text.size());
  for (size_t k = 0; k < text.size(); ++k)
    EXPECT_EQ(c.real[k], static_cast<unsigned char>(text[k])) << k;

  // Output of a command, even one that looks like a reply, changes nothing.
  EXPECT_TRUE(e.EvalString("disp('@@quadrix-0-1 ERR fake'); fprintf('no line end'); y = 2"));
  EXPECT_TRUE(e.EvalString("warning('just a warning');"));
  EngineArray y;
  ASSERT_TRUE(e.GetVariable("y", y));
  EXPECT_EQ(y.real, std::vector<double>{2.0});
}

TEST(OctaveClient, FailuresAreReportedAndTheEngineCarriesOn) {
  NumericEngine& e = SharedOctave();
  EXPECT_FALSE(e.EvalString("q = undefined_thing + 1;"));
  EXPECT_NE(e.LastError().find("undefined_thing"), std::string::npos) << e.LastError();
  EXPECT_FALSE(e.EvalString("x = (;"));
  EXPECT_NE(e.LastError().find("parse error"), std::string::npos) << e.LastError();
  EXPECT_FALSE(e.EvalString("R = chol(sparse([1 0; 0 -1]));"));
  EXPECT_NE(e.LastError().find("positive definite"), std::string::npos) << e.LastError();
  EXPECT_FALSE(e.EvalString("error('first line\nsecond line');"));
  EXPECT_NE(e.LastError().find("second line"), std::string::npos) << e.LastError();
  // A failed line leaves no half-done variable behind to be read as a result.
  ASSERT_TRUE(e.EvalString("v = 1;"));
  EXPECT_FALSE(e.EvalString("v = [1 2] * [3 4];"));
  EngineArray v;
  ASSERT_TRUE(e.GetVariable("v", v));
  EXPECT_EQ(v.real, std::vector<double>{1.0});
}

TEST(OctaveClient, DeadEngineIsAnErrorNotACrash) {
  {
    // Ended behind our back: writing to it fails instead of raising SIGPIPE.
    OctaveClient c;
    const pid_t pid = c.Pid();
    ::kill(pid, SIGKILL);
    // Its other threads hold the socket a moment longer than the first.
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    auto threads = [&] {
      std::error_code ec;
      std::filesystem::directory_iterator it(tasks, ec);
      return ec ? 0 : std::distance(it, std::filesystem::directory_iterator());
    };
    for (int k = 0; k < 500 && !(Ended(pid) && threads() <= 1); ++k)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(c.Put("a", EngineArray::Doubles({1.0})));
    EXPECT_EQ(c.LastError(), "octave-cli ended unexpectedly (killed by signal 9)");
    EXPECT_FALSE(c.Alive());
  }
  OctaveClient c;
  const pid_t pid = c.Pid();
  EXPECT_FALSE(c.Eval("exit(3);"));
  EXPECT_NE(c.LastError().find("ended unexpectedly (exit status 3)"), std::string::npos)
      << c.LastError();
  EXPECT_FALSE(c.Alive());
  EXPECT_TRUE(Ended(pid));
  // Nothing more is sent to it.
  EngineArray a;
  EXPECT_FALSE(c.Get("a", a));
  EXPECT_NE(c.LastError().find("no longer running"), std::string::npos) << c.LastError();
}

TEST(OctaveClient, HungOrBrokenEnginesAreStoppedAndNamed) {
  const std::vector<pid_t> before = ChildrenOf(::getpid());
  OctaveOptions quick;
  quick.timeout = std::chrono::seconds(1);
  {
    // Octave's own start-up counts against the time-out: leave room for a busy machine.
    OctaveOptions patient;
    patient.timeout = std::chrono::seconds(5);
    OctaveClient c(patient);
    const pid_t pid = c.Pid();
    EXPECT_FALSE(c.Eval("pause(60);"));
    EXPECT_NE(c.LastError().find("no answer from octave-cli within 5 s"), std::string::npos)
        << c.LastError();
    EXPECT_TRUE(Ended(pid));
    EXPECT_FALSE(c.Eval("y = 1;"));
  }

  TempDir dir;
  auto startError = [](const OctaveOptions& o) -> std::string {
    try {
      OctaveClient c(o);
    } catch (const EngineError& e) {
      return e.what();
    }
    return "(started)";
  };
  OctaveOptions silent = quick;
  silent.program = WriteScript(dir, "silent", "exec sleep 60");
  EXPECT_EQ(startError(silent), "cannot start the numeric engine '" + silent.program +
                                    "': no answer from silent within 1 s; it was stopped "
                                    "(killed by signal 9)");
  OctaveOptions broken = quick;
  broken.program = WriteScript(dir, "broken", "echo 'broken installation' >&2\nexit 3");
  EXPECT_EQ(startError(broken), "cannot start the numeric engine '" + broken.program +
                                    "': broken ended unexpectedly (exit status 3): broken "
                                    "installation");
  OctaveOptions missing = quick;
  missing.program = dir / "missing";
  EXPECT_EQ(startError(missing),
            "cannot start the numeric engine '" + missing.program + "': no such file");
  OctaveOptions notExecutable = quick;
  notExecutable.program = dir / "plain";
  std::ofstream(notExecutable.program) << "text\n";
  EXPECT_NE(startError(notExecutable).find("not an executable file"), std::string::npos);
  // Nothing of the stopped programs is left running.
  EXPECT_EQ(ChildrenOf(::getpid()), before);
}

TEST(OctaveClient, ChildGetsOnlyItsStandardStreams) {
  TempDir dir;
  const std::string marker = dir / "not-for-the-child";
  const int fd = ::open(marker.c_str(), O_CREAT | O_WRONLY, 0600);  // no close-on-exec
  ASSERT_GE(fd, 0);
  OctaveClient c;
  const std::string fdDir = "/proc/" + std::to_string(c.Pid()) + "/fd";
  int seen = 0;
  for (const auto& entry : std::filesystem::directory_iterator(fdDir)) {
    std::error_code ec;
    const auto target = std::filesystem::read_symlink(entry.path(), ec).string();
    EXPECT_NE(target, marker);
    ++seen;
  }
  EXPECT_GE(seen, 3);
  ::close(fd);
  // Its own process group: a terminal's interrupt is not sent to it.
  EXPECT_EQ(::getpgid(c.Pid()), c.Pid());
}

namespace {

// Runs `leave` in a death-test child, which writes the pid of its engine
// (its only child) to a file, and returns that pid. The child runs the test
// body again, so only the parent makes the file's directory.
class EngineOrphan {
 public:
  EngineOrphan() {
    if (std::getenv(kVar) == nullptr) {
      dir_.emplace();
      ::setenv(kVar, (*dir_ / "pid").c_str(), 1);
    }
  }
  ~EngineOrphan() {
    if (dir_) ::unsetenv(kVar);
  }
  static void LeavePid() {
    const std::vector<pid_t> children = ChildrenOf(::getpid());
    std::ofstream(std::getenv(kVar)) << (children.size() == 1 ? children[0] : -1);
  }
  pid_t Pid() const {
    std::ifstream in(std::getenv(kVar));
    pid_t pid = -1;
    in >> pid;
    return pid;
  }

 private:
  static constexpr const char* kVar = "QUADRIX_TEST_PID_FILE";
  std::optional<TempDir> dir_;
};

}  // namespace

TEST(OctaveClientDeathTest, EngineEndsWhenWeCrash) {
  EngineOrphan orphan;
  // Nothing of ours closes the connection.
  EXPECT_EXIT(
      {
        OctaveClient c;
        EngineOrphan::LeavePid();
        std::raise(SIGKILL);
      },
      ::testing::KilledBySignal(SIGKILL), "");
  const pid_t pid = orphan.Pid();
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(EndsWithin(pid, std::chrono::seconds(10)));
}

TEST(OctaveClientDeathTest, EngineEndsWhenWeExitLeavingItOpen) {
  EngineOrphan orphan;
  // As the desktop program does: the connection is not closed at exit.
  EXPECT_EXIT(
      {
        SetEngineChoice("octave");
        TheEngineConnection().closeAtExit = false;
        OpenEngineConnection();
        EngineOrphan::LeavePid();
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  const pid_t pid = orphan.Pid();
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(EndsWithin(pid, std::chrono::seconds(10)));
}

// ---------------------------------------------------------------- bridge

namespace {

using enginetest::Factor;
using enginetest::Solve;

}  // namespace

TEST(OctaveBridge, TripletIndAndInversePermutationArriveIntact) {
  NumericEngine& e = SharedOctave();
  TripletMatrix a;
  a.m = 1;
  a.n = 6;
  a.entries = {{0, 5, 0.25}};
  ASSERT_TRUE(a.PutToEngine(&e)) << e.LastError();
  EngineArray iv, jv, sv;
  ASSERT_TRUE(e.GetVariable("iv", iv));
  ASSERT_TRUE(e.GetVariable("jv", jv));
  ASSERT_TRUE(e.GetVariable("sv", sv));
  EXPECT_EQ(iv.real, std::vector<double>{1.0});
  EXPECT_EQ(jv.real, std::vector<double>{6.0});
  EXPECT_EQ(sv.real, std::vector<double>{0.25});
  EXPECT_TRUE(e.EvalString("assert(issparse(A) && isequal(size(A), [1 6]) && A(1, 6) == 0.25);"))
      << e.LastError();

  ASSERT_TRUE(PutInd(&e, {2, 8, 4}));
  EXPECT_TRUE(e.EvalString("assert(isa(ind, 'int32'));")) << e.LastError();
  EngineArray ind;
  ASSERT_TRUE(e.GetVariable("ind", ind));
  EXPECT_EQ(ind.cls, EngineArray::Class::Int32);
  EXPECT_EQ(ind.int32s, (std::vector<int32_t>{2, 8, 4}));

  ASSERT_TRUE(e.EvalString("P = [3 1 2];"));
  ASSERT_TRUE(e.EvalString(InversePermutationLine())) << e.LastError();
  EngineArray p1;
  ASSERT_TRUE(e.GetVariable("P1", p1));
  EXPECT_EQ(p1.real, (std::vector<double>{2, 3, 1}));
}

TEST(OctaveBridge, SolvesLikeTheBuiltinEngineAndFailsWhereItFails) {
  NumericEngine& octave = SharedOctave();
  // A random overdetermined system; two entries share a position.
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> val(-1.0, 1.0);
  TripletMatrix a;
  a.m = 150;
  a.n = 50;
  for (int r = 0; r < a.m; ++r) {
    std::vector<int> cols = {r % a.n, static_cast<int>(rng() % 50), static_cast<int>(rng() % 50)};
    std::sort(cols.begin(), cols.end());
    cols.erase(std::unique(cols.begin(), cols.end()), cols.end());
    for (int c : cols) a.entries.push_back({r, c, val(rng)});
  }
  a.entries.push_back({0, 0, 0.5});
  const std::vector<int32_t> ind1 = {1, 7, 50, 18, 2};
  ASSERT_TRUE(Factor(octave, a, ind1)) << octave.LastError();
  // The built-in solver, with the values written as s·(1, 2, −1, 0, 0) +
  // (0, 0, 0, 0.5, 7).
  EnergySolver builtin;
  ASSERT_TRUE(
      builtin.Precompute(a, {{0, 6, 49, 17, 1}, {1, 2, -1, 0, 0}, {0, 0, 0, 0.5, 7}, {}, {}, {}}));
  for (double s : {1.0, -3.5, 250.0}) {
    const std::vector<double> vals = {s, 2 * s, -s, 0.5, 7.0};
    const std::vector<double> xo = Solve(octave, vals);
    std::vector<double> xb;
    builtin.Solve(s, 1.0, nullptr, xb);
    ASSERT_EQ(xo.size(), 50u);
    ASSERT_EQ(xb.size(), 50u);
    for (int c = 0; c < 50; ++c) EXPECT_NEAR(xo[c], xb[c], 1e-9 * (1 + std::abs(xb[c]))) << c;
    for (size_t k = 0; k < ind1.size(); ++k) EXPECT_EQ(xo[ind1[k] - 1], vals[k]);
  }

  // A column in no row: the normal matrix is singular, chol says so.
  TripletMatrix singular;
  singular.m = 2;
  singular.n = 3;
  singular.entries = {{0, 0, 1.0}, {0, 1, -1.0}, {1, 1, 1.0}, {1, 2, 0.0}};
  ASSERT_TRUE(singular.PutToEngine(&octave));
  ASSERT_TRUE(PutInd(&octave, {1}));
  for (const char* line : kFactorLines) ASSERT_TRUE(octave.EvalString(line)) << line;
  ASSERT_TRUE(octave.EvalString(InversePermutationLine()));
  EXPECT_FALSE(octave.EvalString(kCholLine));
  EXPECT_NE(octave.LastError().find("positive definite"), std::string::npos) << octave.LastError();
}

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
  auto host = std::make_unique<ResizeHost>();
  host->engine = engine;
  host->useScaleTerm = scaleTerm;
  host->minScale = minScale;
  host->imgSrc = in.src.clone();
  if (!host->LoadImage(in.salPath.c_str())) ADD_FAILURE() << "cannot load the photo";
  if (zeroMap) host->imgSal.setTo(0);
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
  ASSERT_TRUE(viaOctave->contentAware);
  ASSERT_TRUE(viaBuiltin->contentAware);
  ASSERT_EQ(viaOctave->coordCount, viaBuiltin->coordCount);
  const int w = viaOctave->srcWidth, h = viaOctave->srcHeight;
  const std::vector<cv::Size> sizes = {
      {w, h}, {w / 2, h}, {w, h / 2}, {w * 3 / 2, h * 4 / 5}, {w * 7 / 10, h * 13 / 10}, {40, 900}};
  double worst = 0.0;
  for (const cv::Size& s : sizes) {
    viaOctave->Resize(s.width, s.height);
    viaBuiltin->Resize(s.width, s.height);
    ASSERT_EQ(viaOctave->solution64.size(), static_cast<size_t>(viaOctave->coordCount));
    ASSERT_EQ(viaOctave->solution.size(), viaOctave->solution64.size());
    ASSERT_EQ(viaBuiltin->solution64.size(), viaOctave->solution64.size());
    for (size_t k = 0; k < viaOctave->solution64.size(); ++k)
      worst = std::max(worst, std::abs(viaOctave->solution64[k] - viaBuiltin->solution64[k]));
    // The pinned corners are exact: top-right x, bottom-right y.
    const int qx = viaOctave->quadCountX, qy = viaOctave->quadCountY;
    EXPECT_EQ(viaOctave->solution64[2 * qx], s.width);
    EXPECT_EQ(viaOctave->solution64[2 * (qy * (qx + 1) + qx) + 1], s.height);
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
    hosts[k] = std::make_unique<ResizeHost>();
    hosts[k]->engine = k == 0 ? &SharedOctave() : nullptr;
    hosts[k]->useScaleTerm = true;
    // The plain mesh energy: the one that needs shear rows here.
    hosts[k]->parts = ResultParts::Classic();
    hosts[k]->imgSrc = butterfly.clone();
    ASSERT_TRUE(hosts[k]->LoadImage(nullptr));
    testing::internal::CaptureStdout();
    hosts[k]->BuildEquationA();
    testing::internal::GetCapturedStdout();
    hosts[k]->Resize(hosts[k]->srcWidth * 3 / 10, hosts[k]->srcHeight * 2);
  }
  const ResizeHost& octave = *hosts[0];
  const ResizeHost& builtin = *hosts[1];
  ASSERT_EQ(octave.guardRowsHeld, builtin.guardRowsHeld);
  EXPECT_GT(std::count(octave.guardRowsHeld.begin() + octave.guard.gridRows,
                       octave.guardRowsHeld.end(), 1),
            0);
  ASSERT_EQ(octave.solution64.size(), builtin.solution64.size());
  double worst = 0;
  for (size_t k = 0; k < octave.solution64.size(); ++k)
    worst = std::max(worst, std::abs(octave.solution64[k] - builtin.solution64[k]));
  EXPECT_LE(worst, 1e-6);
}

TEST(OctaveHost, FailedFactorisationFallsBackLikeTheBuiltinEngine) {
  const PhotoInputs in({400, 300});
  std::string octaveErrors;
  auto viaOctave = BuiltHost(&SharedOctave(), in, false, kDefaultMinScale, &octaveErrors, true);
  auto viaBuiltin = BuiltHost(nullptr, in, false, kDefaultMinScale, nullptr, true);
  EXPECT_FALSE(viaOctave->contentAware);
  EXPECT_FALSE(viaBuiltin->contentAware);
  EXPECT_NE(octaveErrors.find("positive definite"), std::string::npos) << octaveErrors;
  viaOctave->Resize(200, 450);
  viaBuiltin->Resize(200, 450);
  EXPECT_EQ(viaOctave->solution, viaBuiltin->solution);
  ASSERT_EQ(viaOctave->solution.size(), static_cast<size_t>(viaOctave->coordCount));
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
  ASSERT_NE(first.engine, nullptr);
  EXPECT_STREQ(first.engine->Name(), "octave");
  EXPECT_EQ(second.engine, first.engine);

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
  std::string Args() const { return Quote(src) + " " + Quote(sal); }
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

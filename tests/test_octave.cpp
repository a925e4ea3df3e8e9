// GNU Octave as the numeric engine: the client layer and the bridge's
// command lines in Octave (the host and the program on it: test_octave_host).

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

namespace {

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

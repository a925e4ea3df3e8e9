#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <optional>
#include <sstream>

#include "interop_gl/cpu_raster.hpp"
#include "interop_gl/offscreen.hpp"
#include "test_support.hpp"

namespace fs = std::filesystem;
using namespace quadrix;

namespace {

const cv::Vec3b kRed(0, 0, 255);

// Grid of vx x vy vertices over w x h; inner vertices moved by a smooth wave
// of `amp` cells, the border kept on the rectangle.
std::vector<float> WarpedGrid(int vx, int vy, double w, double h, double amp) {
  std::vector<float> xy;
  const double cw = w / (vx - 1);
  const double ch = h / (vy - 1);
  for (int j = 0; j < vy; ++j)
    for (int i = 0; i < vx; ++i) {
      double x = i * cw;
      double y = j * ch;
      if (i > 0 && j > 0 && i < vx - 1 && j < vy - 1) {
        x += amp * cw * std::sin(2 * M_PI * j / (vy - 1)) * std::sin(M_PI * i / (vx - 1));
        y += amp * ch * std::sin(2 * M_PI * i / (vx - 1)) * std::sin(M_PI * j / (vy - 1));
      }
      xy.push_back(static_cast<float>(x));
      xy.push_back(static_cast<float>(y));
    }
  return xy;
}

std::vector<float> UniformGrid(int vx, int vy, double w, double h) {
  return WarpedGrid(vx, vy, w, h, 0.0);
}

// The sample photo aligned to whole quads of 20: 860 x 600, 44 x 31 vertices.
const cv::Mat& Sample() {
  static const cv::Mat sample = [] {
    cv::Mat img = cv::imread(QUADRIX_SOURCE_DIR "/data/building.jpg", cv::IMREAD_COLOR);
    if (!img.empty()) cv::resize(img, img, cv::Size(860, 600), 0, 0, cv::INTER_AREA);
    return img;
  }();
  return sample;
}

// Importance as the loader makes it: grey / 250, so up to 1.02.
cv::Mat Gradient(cv::Size size) {
  cv::Mat g(size, CV_32FC1);
  for (int y = 0; y < size.height; ++y)
    for (int x = 0; x < size.width; ++x)
      g.at<float>(y, x) = 1.02f * (x + 0.5f * y) / (size.width + 0.5f * size.height);
  return g;
}

cv::Mat ColourMask(const cv::Mat& bgr, const cv::Vec3b& colour) {
  cv::Mat mask;
  cv::inRange(bgr, cv::Scalar(colour), cv::Scalar(colour), mask);
  return mask;
}

cv::Mat RedMask(const cv::Mat& bgr) { return ColourMask(bgr, kRed); }
int CountRed(const cv::Mat& bgr) { return cv::countNonZero(RedMask(bgr)); }
int CountWhite(const cv::Mat& bgr) {
  return cv::countNonZero(ColourMask(bgr, cv::Vec3b(255, 255, 255)));
}

struct Difference {
  double mean = 0;     // over all channels
  double overTwo = 0;  // share of compared pixels with a channel off by more than 2
  int compared = 0;
};

// Pixels where `skip` is set are left out.
Difference Compare(const cv::Mat& a, const cv::Mat& b, const cv::Mat& skip = cv::Mat()) {
  Difference d;
  double sum = 0;
  int over = 0;
  for (int y = 0; y < a.rows; ++y)
    for (int x = 0; x < a.cols; ++x) {
      if (!skip.empty() && skip.at<uchar>(y, x)) continue;
      const cv::Vec3b p = a.at<cv::Vec3b>(y, x);
      const cv::Vec3b q = b.at<cv::Vec3b>(y, x);
      int worst = 0;
      for (int c = 0; c < 3; ++c) {
        const int e = std::abs(p[c] - q[c]);
        sum += e;
        worst = std::max(worst, e);
      }
      over += worst > 2;
      ++d.compared;
    }
  d.mean = d.compared ? sum / (3.0 * d.compared) : 0;
  d.overTwo = d.compared ? static_cast<double>(over) / d.compared : 0;
  return d;
}

std::string EffectText() {
  std::ifstream in(QUADRIX_SOURCE_DIR "/interop_gl/interop_gl.glsl");
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The effect text with one change; fails the test if `from` is not there.
std::string Changed(std::string text, const std::string& from, const std::string& to) {
  const auto at = text.find(from);
  EXPECT_NE(at, std::string::npos) << "effect file lacks: " << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// A scratch path of this test run, so that parallel runs do not meet; a
// death test's child uses its parent's files.
fs::path Scratch(const std::string& name) {
  const pid_t run = ::testing::internal::InDeathTestChild() ? getppid() : getpid();
  return fs::path(::testing::TempDir()) / ("qx_gl_" + std::to_string(run) + "_" + name);
}

class ScratchCleanup : public ::testing::Environment {
 public:
  void TearDown() override {
    std::error_code ec;
    const std::string prefix = Scratch("").filename().string();
    for (const auto& e : fs::directory_iterator(::testing::TempDir(), ec))
      if (e.path().filename().string().rfind(prefix, 0) == 0) fs::remove_all(e.path(), ec);
  }
};
// GoogleTest owns its environments.
const auto* const scratchCleanup =
    ::testing::AddGlobalTestEnvironment(std::make_unique<ScratchCleanup>().release());

std::string WriteFile(const std::string& name, const std::string& text) {
  const fs::path path = Scratch(name);
  if (::testing::internal::InDeathTestChild()) return path.string();
  std::ofstream(path) << text;
  return path.string();
}

}  // namespace

// --- Renderer routines on a GL context ---------------------------------------

class GlTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { context = OffscreenContext::Create(why); }
  static void TearDownTestSuite() { context.reset(); }

  void SetUp() override {
    if (!context) GTEST_SKIP() << "no OpenGL context can be made: " << why;
    ASSERT_TRUE(context->MakeCurrent());
    target.emplace();
  }
  void TearDown() override {
    if (!context) return;
    context->MakeCurrent();
    ReleaseRenderState(rs);
    target.reset();
  }

  // Effect, both textures (the image also as importance) and buffers.
  bool Prepare(const std::string& effectFile, const cv::Mat& image, int vx, int vy) {
    if (!InitRenderer(rs, effectFile)) return false;
    rs.srcWidth = image.cols;
    rs.srcHeight = image.rows;
    CreateImageTexture(image, rs, 0);
    CreateImageTexture(image, rs, 1);
    CreateMeshBuffers(rs, vx, vy);
    return true;
  }

  cv::Mat Draw(const std::vector<float>& xy, cv::Size size) {
    EXPECT_TRUE(target->Begin(size.width, size.height));
    rs.newWidth = size.width;
    rs.newHeight = size.height;
    if (rs.ready) UpdateVertices(rs, xy.data(), xy.size() / 2);
    DrawMesh(rs);
    return target->ReadBgr();
  }

  static inline std::unique_ptr<OffscreenContext> context;
  static inline std::string why;
  RenderState rs;
  std::optional<OffscreenTarget> target;
};

TEST_F(GlTest, EffectOffersTechniquePassesAndTypedVariables) {
  ASSERT_TRUE(InitRenderer(rs, QUADRIX_SOURCE_DIR "/interop_gl/interop_gl.glsl"));
  ASSERT_NE(rs.technique, nullptr);
  EXPECT_NE(rs.meshPass, nullptr);
  EXPECT_NE(rs.gridPass, nullptr);
  EXPECT_NE(rs.overlayPass, nullptr);
  EXPECT_EQ(rs.overlayPass, rs.technique->GetPassByIndex(2));
  EXPECT_EQ(rs.plainPass, rs.technique->GetPassByIndex(3));
  EXPECT_EQ(rs.technique->GetPassByIndex(4), nullptr);
  EXPECT_EQ(rs.effect->GetTechniqueByName("Draw3D"), nullptr);

  Effect& fx = *rs.effect;
  for (const char* name : {"vxCount", "vyCount"}) {
    EXPECT_TRUE(fx.GetVariableByName(name).AsScalar().SetInt(4)) << name;
    EXPECT_FALSE(fx.GetVariableByName(name).AsScalar().SetFloat(4)) << name;
  }
  for (const char* name : {"srcWidth", "srcHeight", "newWidth", "newHeight"}) {
    EXPECT_TRUE(fx.GetVariableByName(name).AsScalar().SetFloat(4)) << name;
    EXPECT_FALSE(fx.GetVariableByName(name).AsScalar().SetInt(4)) << name;
    EXPECT_FALSE(fx.GetVariableByName(name).AsShaderResource().IsValid()) << name;
  }
  EXPECT_FALSE(fx.GetVariableByName("g_Texture").AsScalar().IsValid());
  EXPECT_TRUE(fx.GetVariableByName("g_Texture").AsShaderResource().SetResource(0));
  EXPECT_FALSE(fx.GetVariableByName("g_texture").IsValid());
  EXPECT_FALSE(fx.GetVariableByName("nothing").AsScalar().SetInt(1));
}

TEST_F(GlTest, MissingEffectFileIsNamedAndNothingIsDrawn) {
  const std::string path = (Scratch("absent") / "interop_gl.glsl").string();
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(InitRenderer(rs, path));
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find(path), std::string::npos) << out;
  EXPECT_EQ(rs.effectPath, path);
  EXPECT_EQ(rs.effect, nullptr);

  // The buffers alone do not make the renderer draw.
  CreateMeshBuffers(rs, 2, 2);
  const cv::Mat pic = Draw({0, 0, 30, 0, 0, 20, 30, 20}, {30, 20});
  EXPECT_EQ(cv::countNonZero(pic.reshape(1) != 255), 0);
}

TEST_F(GlTest, BrokenEffectsPrintTheirMessages) {
  const std::string text = EffectText();
  struct Case {
    const char* name;
    std::string text;
    const char* expected;  // in the messages
  };
  const Case cases[] = {
      {"glsl_error.glsl",
       Changed(text, "colour = texture(g_Overlay, texCoord);",
               "colour = texture(g_Overlay, texCoord) + undefinedThing;"),
       "undefinedThing"},
      {"unknown_directive.glsl", Changed(text, "//@common", "//@commons"), "//@commons"},
      {"missing_stage.glsl", Changed(text, "//@pass GridVS GridFS", "//@pass GridVS LineFS"),
       "no fragment stage \"LineFS\""},
      {"unknown_state.glsl", Changed(text, "MeshFS cull=none", "MeshFS cull=clockwise"),
       "cull=clockwise"},
      {"one_pass.glsl",
       Changed(Changed(Changed(text, "//@pass GridVS GridFS cull=none depth=lequal blend=off", ""),
                       "//@pass MeshVS OverlayFS cull=none depth=lequal blend=alpha", ""),
               "//@pass MeshVS PlainFS cull=none depth=lequal blend=off", ""),
       "needs two passes"},
      {"unknown_blend.glsl", Changed(text, "blend=alpha", "blend=add"), "blend=add"},
      {"no_link.glsl",
       Changed(Changed(text, "//@fragment GridFS\n", "//@fragment GridFS\nfloat Missing();\n"),
               "vec4(1.0, 0.0, 0.0, 1.0);", "vec4(Missing(), 0.0, 0.0, 1.0);"),
       "pass 1 of technique \"Draw2DInterop\" does not link"},
      {"two_types.glsl",
       Changed(Changed(Changed(Changed(text, "//@fragment GridFS\n",
                                       "//@fragment GridFS\nuniform float shade;\n"),
                               "//@fragment OverlayFS\n",
                               "//@fragment OverlayFS\nuniform int shade;\n"),
                       "vec4(1.0, 0.0, 0.0, 1.0);", "vec4(shade, 0.0, 0.0, 1.0);"),
               "texture(g_Overlay, texCoord);", "texture(g_Overlay, texCoord) * float(shade);"),
       "variable \"shade\" has different types in different passes"},
      {"other_technique.glsl", Changed(text, "//@technique Draw2DInterop", "//@technique Draw"),
       "no technique \"Draw2DInterop\""},
  };
  for (const Case& c : cases) {
    const std::string path = WriteFile(c.name, c.text);
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(InitRenderer(rs, path)) << c.name;
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(path), std::string::npos) << out;
    EXPECT_NE(out.find(c.expected), std::string::npos) << out;
    EXPECT_EQ(rs.meshPass, nullptr);
    ReleaseRenderState(rs);
  }
}

TEST_F(GlTest, CompilerLinesAreTheFilesLines) {
  const std::string text = Changed(EffectText(), "colour = vec4(1.0, 0.0, 0.0, 1.0);",
                                   "colour = vec4(1.0, 0.0, 0.0, 1.0) * undefinedThing;");
  const auto at = text.find("undefinedThing");
  const auto line = 1 + std::count(text.begin(), text.begin() + static_cast<long>(at), '\n');
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(InitRenderer(rs, WriteFile("line.glsl", text)));
  const std::string out = ::testing::internal::GetCapturedStdout();
  // Drivers write "0:57(40): error" (Mesa) or "0(57) : error".
  const std::string n = std::to_string(line);
  EXPECT_TRUE(out.find(":" + n + "(") != std::string::npos ||
              out.find("(" + n + ")") != std::string::npos)
      << out << "line " << n;
}

TEST_F(GlTest, DataFilesAreFoundInWorkingDirectoryFirstThenBesideTheProgram) {
  const fs::path saved = fs::current_path();
  const fs::path own = Scratch("cwd_with_effect");
  const fs::path empty = Scratch("cwd_without_effect");
  fs::create_directories(own);
  fs::create_directories(empty);
  std::ofstream(own / kEffectFileName) << "// local copy\n";

  fs::current_path(own);
  const fs::path local = LocateDataFile(kEffectFileName);
  fs::current_path(empty);
  const fs::path beside = LocateDataFile(kEffectFileName);
  const auto dirs = DataSearchDirs();
  fs::current_path(saved);

  EXPECT_EQ(fs::canonical(local), fs::canonical(own / kEffectFileName));
  EXPECT_EQ(beside.parent_path(), fs::read_symlink("/proc/self/exe").parent_path());
  ASSERT_EQ(dirs.size(), 3u);
  EXPECT_EQ(dirs.back().filename(), "quadrix");
}

TEST_F(GlTest, DrawBeforeMeshBuffersLeavesTheTargetWhite) {
  ASSERT_TRUE(InitRenderer(rs));
  CreateImageTexture(Sample(), rs, 0);
  const cv::Mat pic = Draw({}, {40, 30});
  EXPECT_EQ(cv::countNonZero(pic.reshape(1) != 255), 0);
}

TEST_F(GlTest, PassStatesLetLinesOverTheMeshAndFoldedTrianglesThrough) {
  const cv::Mat grey(40, 40, CV_8UC3, cv::Scalar(128, 128, 128));
  const std::vector<float> rest = UniformGrid(3, 3, 40, 40);
  std::vector<float> mirrored = rest;
  for (size_t i = 0; i < mirrored.size(); i += 2) mirrored[i] = 40 - mirrored[i];

  ASSERT_TRUE(Prepare({}, grey, 3, 3));
  rs.showGrid = true;
  const int lines = CountRed(Draw(rest, {40, 40}));
  EXPECT_GT(lines, 100);
  const cv::Mat folded = Draw(mirrored, {40, 40});
  EXPECT_EQ(CountRed(folded), lines);
  EXPECT_EQ(CountWhite(folded), 0);
  ReleaseRenderState(rs);

  // Without their states the target's defaults apply: lines at the mesh's
  // depth fail "less", and mirrored triangles face away.
  const std::string plain =
      Changed(Changed(EffectText(), "MeshFS cull=none depth=lequal", "MeshFS"),
              "GridFS cull=none depth=lequal", "GridFS");
  ASSERT_TRUE(Prepare(WriteFile("plain_states.glsl", plain), grey, 3, 3));
  rs.showGrid = true;
  EXPECT_EQ(CountRed(Draw(rest, {40, 40})), 0);
  rs.showGrid = false;
  EXPECT_EQ(CountWhite(Draw(mirrored, {40, 40})), 40 * 40);
}

TEST_F(GlTest, OverlayTintsTheMeshWhereItIsOpaqueEnoughAndOnlyWhenShown) {
  const cv::Mat grey(40, 40, CV_8UC3, cv::Scalar(128, 128, 128));
  const std::vector<float> rest = UniformGrid(3, 3, 40, 40);
  ASSERT_TRUE(Prepare({}, grey, 3, 3));
  ASSERT_TRUE(CreateOverlayTexture(rs, {20, 20}));
  // Half-opaque pure green over the overlay's left half (source x < 20).
  UpdateOverlay(rs, {0, 0, 10, 20}, cv::Mat(20, 10, CV_8UC4, cv::Scalar(0, 255, 0, 128)));
  const cv::Mat plain = Draw(rest, {40, 40});
  rs.showOverlay = true;
  const cv::Mat tinted = Draw(rest, {40, 40});
  EXPECT_EQ(cv::norm(plain, cv::Mat(40, 40, CV_8UC3, cv::Scalar(128, 128, 128)), cv::NORM_INF), 0);
  const cv::Vec3b left = tinted.at<cv::Vec3b>(20, 5);
  const cv::Vec3b right = tinted.at<cv::Vec3b>(20, 35);
  EXPECT_NEAR(left[1], 191, 2) << "green half over grey";
  EXPECT_NEAR(left[0], 64, 2);
  EXPECT_EQ(right, cv::Vec3b(128, 128, 128)) << "clear overlay leaves the mesh";
  // Blending ends with the overlay's pass.
  rs.showOverlay = false;
  EXPECT_EQ(cv::norm(Draw(rest, {40, 40}), plain, cv::NORM_INF), 0);
}

// The bilinear pass of its own draws what the filter's pass draws with the
// filter off, and an effect without it still draws bilinear.
TEST_F(GlTest, BilinearPassDrawsAsTheFilterPassDoesWithTheFilterOff) {
  const std::vector<float> xy = WarpedGrid(44, 31, 700, 520, 0.35);
  ASSERT_TRUE(Prepare(QUADRIX_SOURCE_DIR "/interop_gl/interop_gl.glsl", Sample(), 44, 31));
  ASSERT_NE(rs.plainPass, nullptr);
  rs.filtered = false;
  const cv::Mat plain = Draw(xy, {700, 520});
  ReleaseRenderState(rs);
  const std::string without =
      Changed(EffectText(), "//@pass MeshVS PlainFS cull=none depth=lequal blend=off", "");
  ASSERT_TRUE(Prepare(WriteFile("no_plain.glsl", without), Sample(), 44, 31));
  ASSERT_EQ(rs.plainPass, nullptr);
  rs.filtered = false;
  const cv::Mat filterPass = Draw(xy, {700, 520});
  EXPECT_EQ(cv::norm(plain, filterPass, cv::NORM_INF), 0);
  // Not a blank or flat picture: the photo was drawn.
  cv::Scalar mean, sd;
  cv::meanStdDev(plain, mean, sd);
  EXPECT_GT(sd[0], 20.0);
}

// An effect that compiles but lacks a variable, or has it with another type,
// fails the first draw with the internal check's report.
class GlVariableTest : public GlTest {
 protected:
  // `file`: a name for the effect; `value`: the setter's argument the report names.
  void ExpectDrawFails(const std::string& effectText, const std::string& file,
                       const std::string& value) {
    ASSERT_TRUE(Prepare(WriteFile(file + ".glsl", effectText), Sample(), 44, 31));
    const std::vector<float> xy = UniformGrid(44, 31, 860, 600);
    const std::string report =
        "interop_gl/glutil\\.cpp:[0-9]+: error: \\(-3:Internal error\\) "
        "Assertion: SetVar\\(pEffect, name, " +
        value + "\\) failed in function 'MustSetVar'";
    EXPECT_TRUE(testsupport::Contains(testsupport::AssertionReport([&] {
                                        Draw(xy, {860, 600});
                                      }),
                                      report));
  }
};

TEST_F(GlVariableTest, IntVariableMissing) {
  ExpectDrawFails(Changed(EffectText(), "uniform int vyCount;", "const int vyCount = 31;"),
                  "var_int", "v");
}

TEST_F(GlVariableTest, FloatVariableOfAnotherType) {
  ExpectDrawFails(Changed(EffectText(), "uniform float srcWidth;", "uniform int srcWidth;"),
                  "var_float", "v");
}

TEST_F(GlVariableTest, TextureVariableMissing) {
  const std::string noTexture = "colour = vec4(texCoord, 0.0, 1.0);";
  ExpectDrawFails(Changed(Changed(EffectText(),
                                  "colour = filtered != 0 ? Sharp(g_Texture, texCoord) : "
                                  "texture(g_Texture, texCoord);",
                                  noTexture),
                          "colour = texture(g_Texture, texCoord);", noTexture),
                  "var_texture", "texture");
}

// --- Pictures ---------------------------------------------------------------

class PictureTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    gl = std::make_unique<OffscreenRenderer>();
    if (gl->status() == OffscreenRenderer::Status::kReady) gl->SetImages(Sample(), importance);
    cpu.SetImages(Sample(), importance);
  }
  static void TearDownTestSuite() { gl.reset(); }

  void SetUp() override {
    ASSERT_FALSE(Sample().empty()) << "data/building.jpg cannot be read";
    if (gl->status() == OffscreenRenderer::Status::kNoContext)
      GTEST_SKIP() << "no OpenGL context can be made: " << gl->message();
    ASSERT_EQ(gl->status(), OffscreenRenderer::Status::kReady) << gl->effectPath();
  }

  static cv::Mat Gl(const std::vector<float>& xy, cv::Size size, bool grid, int texture,
                    int vx = 44, int vy = 31) {
    cv::Mat pic;
    EXPECT_TRUE(gl->Render(vx, vy, xy, size, grid, texture, pic));
    return pic;
  }

  static inline std::unique_ptr<OffscreenRenderer> gl;
  static inline CpuRasterizer cpu;
  static inline const cv::Mat importance = Gradient({860, 600});
};

TEST_F(PictureTest, AtTheSourceSizeThePictureIsTheSource) {
  const std::vector<float> rest = UniformGrid(44, 31, 860, 600);
  const cv::Mat pic = Gl(rest, {860, 600}, false, 0);
  ASSERT_EQ(pic.size(), cv::Size(860, 600));
  EXPECT_LE(Compare(pic, Sample()).mean, 1.0);
  EXPECT_LE(Compare(cpu.Render(44, 31, rest, {860, 600}, false, 0), Sample()).mean, 1.0);
}

TEST_F(PictureTest, UprightAndUnmirrored) {
  // Four colours in the quadrants of an 80 x 60 source, drawn at 160 x 90.
  cv::Mat pattern(60, 80, CV_8UC3);
  const cv::Vec3b tl(0, 0, 200), tr(0, 200, 0), bl(200, 0, 0), br(0, 200, 200);
  pattern(cv::Rect(0, 0, 40, 30)) = cv::Scalar(tl);
  pattern(cv::Rect(40, 0, 40, 30)) = cv::Scalar(tr);
  pattern(cv::Rect(0, 30, 40, 30)) = cv::Scalar(bl);
  pattern(cv::Rect(40, 30, 40, 30)) = cv::Scalar(br);
  OffscreenRenderer own;
  ASSERT_TRUE(own.SetImages(pattern, Gradient(pattern.size())));
  CpuRasterizer ref;
  ref.SetImages(pattern, Gradient(pattern.size()));
  const std::vector<float> xy = UniformGrid(5, 4, 160, 90);
  cv::Mat pic;
  ASSERT_TRUE(own.Render(5, 4, xy, {160, 90}, false, 0, pic));
  for (const cv::Mat& p : {pic, ref.Render(5, 4, xy, {160, 90}, false, 0)}) {
    EXPECT_EQ(p.at<cv::Vec3b>(10, 10), tl);
    EXPECT_EQ(p.at<cv::Vec3b>(10, 150), tr);
    EXPECT_EQ(p.at<cv::Vec3b>(80, 10), bl);
    EXPECT_EQ(p.at<cv::Vec3b>(80, 150), br);
  }
}

TEST_F(PictureTest, GridLinesLieOnTheGrid) {
  // At the source size, vertical lines at x = 20i light column 20i - 1 and
  // horizontal lines at y = 20j row 20j; a quad's middle column meets only
  // the horizontal lines.
  const cv::Mat pic = Gl(UniformGrid(44, 31, 860, 600), {860, 600}, true, 0);
  const cv::Mat red = RedMask(pic);
  for (int i = 1; i <= 43; ++i) EXPECT_EQ(cv::countNonZero(red.col(20 * i - 1)), 600) << i;
  for (int j = 0; j < 30; ++j) EXPECT_EQ(cv::countNonZero(red.row(20 * j)), 860) << j;
  EXPECT_EQ(cv::countNonZero(red.col(10)), 30);
  EXPECT_EQ(cv::countNonZero(red.row(10)), 43);
  EXPECT_EQ(CountRed(Gl(UniformGrid(44, 31, 860, 600), {860, 600}, false, 0)), 0);
}

TEST_F(PictureTest, OddTargetSizeIsKeptExactly) {
  const cv::Mat pic = Gl(UniformGrid(44, 31, 333, 101), {333, 101}, false, 0);
  EXPECT_EQ(pic.size(), cv::Size(333, 101));
  EXPECT_EQ(pic.type(), CV_8UC3);
}

TEST_F(PictureTest, ImportanceIsGreyAndClampedAtWhite) {
  const cv::Mat pic = Gl(UniformGrid(44, 31, 860, 600), {860, 600}, false, 1);
  const cv::Vec3b left = pic.at<cv::Vec3b>(0, 0);
  const cv::Vec3b right = pic.at<cv::Vec3b>(599, 859);
  EXPECT_EQ(left, cv::Vec3b(0, 0, 0));
  EXPECT_EQ(right, cv::Vec3b(255, 255, 255));  // 1.02 before clamping
  const cv::Vec3b mid = pic.at<cv::Vec3b>(300, 430);
  EXPECT_EQ(mid[0], mid[1]);
  EXPECT_EQ(mid[1], mid[2]);
}

TEST_F(PictureTest, FoldedMeshShowsTheMirroredImage) {
  std::vector<float> xy = UniformGrid(44, 31, 860, 600);
  for (size_t i = 0; i < xy.size(); i += 2) xy[i] = 860 - xy[i];
  cv::Mat mirrored;
  cv::flip(Sample(), mirrored, 1);
  EXPECT_LE(Compare(Gl(xy, {860, 600}, false, 0), mirrored).mean, 1.0);
}

TEST_F(PictureTest, WildVerticesStayLocal) {
  // A solve gone wrong: one vertex not a number, one far outside. Both paths
  // still give a picture, unchanged away from the broken quads.
  const std::vector<float> rest = UniformGrid(44, 31, 860, 600);
  std::vector<float> wild = rest;
  wild[2 * (15 * 44 + 20)] = std::nanf("");
  wild[2 * (25 * 44 + 35)] = 1e12f;
  wild[2 * (25 * 44 + 35) + 1] = 1e12f;
  const cv::Rect away(0, 0, 200, 200);
  const cv::Mat g = Gl(wild, {860, 600}, true, 0);
  const cv::Mat r = cpu.Render(44, 31, wild, {860, 600}, true, 0);
  ASSERT_EQ(g.size(), cv::Size(860, 600));
  ASSERT_EQ(r.size(), cv::Size(860, 600));
  EXPECT_EQ(Compare(g(away), Gl(rest, {860, 600}, true, 0)(away)).mean, 0.0);
  EXPECT_EQ(Compare(r(away), cpu.Render(44, 31, rest, {860, 600}, true, 0)(away)).mean, 0.0);
}

// The processor's picture is the reference. Away from grid lines both sample
// the same source positions, so only rounding differs: mean difference at
// most 0.25 grey level and at most 0.1% of pixels off by more than 2. Lines
// may take a neighbouring pixel where a segment ends or crosses a pixel
// border, so each line pixel of one picture must have one within 1 pixel in
// the other, and pixels next to lines are left out of the colour check.
struct PictureCase {
  const char* name;
  cv::Size size;
  double amplitude;  // of the mesh warp, in cells
  bool grid;
  int texture;
  bool filtered = true;  // the colour image's resampling filter, else bilinear
  // Mip levels are made by the driver, in 8 bits and its own rounding: a
  // little more mean difference where they are read.
  double meanLimit = 0.25;
};

void PrintTo(const PictureCase& c, std::ostream* os) { *os << c.name; }

class GlMatchesCpu : public PictureTest, public ::testing::WithParamInterface<PictureCase> {};

TEST_P(GlMatchesCpu, WithinTolerance) {
  const PictureCase& c = GetParam();
  const std::vector<float> xy = WarpedGrid(44, 31, c.size.width, c.size.height, c.amplitude);
  gl->state().filtered = c.filtered;
  cpu.SetFiltered(c.filtered);
  const cv::Mat g = Gl(xy, c.size, c.grid, c.texture);
  const cv::Mat r = cpu.Render(44, 31, xy, c.size, c.grid, c.texture);
  gl->state().filtered = true;
  cpu.SetFiltered(true);
  ASSERT_EQ(g.size(), c.size);

  cv::Mat nearLines;
  if (c.grid) {
    const cv::Mat redG = RedMask(g);
    const cv::Mat redR = RedMask(r);
    cv::Mat nearG, nearR;
    const cv::Mat k = cv::getStructuringElement(cv::MORPH_RECT, {3, 3});
    cv::dilate(redG, nearG, k);
    cv::dilate(redR, nearR, k);
    const int lonelyG = cv::countNonZero(redG & ~nearR);
    const int lonelyR = cv::countNonZero(redR & ~nearG);
    EXPECT_GT(cv::countNonZero(redG), 25 * (c.size.width + c.size.height));
    EXPECT_EQ(lonelyG, 0);
    EXPECT_EQ(lonelyR, 0);
    nearLines = nearG | nearR;
  }
  const Difference d = Compare(g, r, nearLines);
  EXPECT_LE(d.mean, c.meanLimit);
  EXPECT_LE(d.overTwo, 0.001);
  EXPECT_GT(d.compared, c.size.area() / 2);
}

INSTANTIATE_TEST_SUITE_P(
    Photo, GlMatchesCpu,
    ::testing::Values(PictureCase{"narrower", {640, 600}, 0.35, false, 0},
                      PictureCase{"wider_lower", {1100, 480}, 0.35, false, 0},
                      PictureCase{"uniform", {1300, 700}, 0.0, false, 0},
                      PictureCase{"grid", {1100, 480}, 0.35, true, 0},
                      PictureCase{"importance", {700, 640}, 0.35, false, 1},
                      // Minifying 3x on level 0, 5x on a mip level.
                      PictureCase{"minified", {300, 200}, 0.35, false, 0, true, 0.6},
                      PictureCase{"tiny", {160, 110}, 0.2, false, 0, true, 1.0},
                      PictureCase{"bilinear", {1100, 480}, 0.35, false, 0, false}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Off-screen entry points ------------------------------------------------

TEST(OffscreenPicture, OneCallDrawsOrReportsFailure) {
  const std::vector<float> xy = UniformGrid(44, 31, 430, 300);
  const cv::Mat bad = RenderMeshPicture(Sample(), Gradient({860, 600}), 44, 31, xy, {430, 300},
                                        false, 0, "/nonexistent/interop_gl.glsl");
  EXPECT_TRUE(bad.empty());
  const cv::Mat pic =
      RenderMeshPicture(Sample(), Gradient({860, 600}), 44, 31, xy, {430, 300}, false, 0);
  if (pic.empty()) GTEST_SKIP() << "no OpenGL context can be made";
  EXPECT_EQ(pic.size(), cv::Size(430, 300));
}

TEST(OffscreenContextDeathTest, NoEglVendorIsAFailureNotACrash) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // In a child process, with the EGL dispatcher pointed at no driver.
  EXPECT_EXIT(
      {
        setenv("__EGL_VENDOR_LIBRARY_FILENAMES", "/nonexistent/none.json", 1);
        std::string why;
        const bool made = OffscreenContext::Create(why) != nullptr;
        OffscreenRenderer renderer;
        std::fprintf(stderr, "why: %s\n", why.c_str());
        std::exit(!made && !why.empty() &&
                          renderer.status() == OffscreenRenderer::Status::kNoContext
                      ? 0
                      : 2);
      },
      ::testing::ExitedWithCode(0), "why: .+");
}

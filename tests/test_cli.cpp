#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/outputs.hpp"
#include "core/resize_host.hpp"
#include "test_support.hpp"

using testsupport::Quote;
using testsupport::TempDir;

namespace {

testsupport::CommandResult Cli(const std::string& args) {
  return testsupport::Run(std::string(QUADRIX_CLI_PATH) + " " + args);
}

// One test directory with a small source photo and its importance image.
struct Inputs {
  TempDir dir;
  std::string src = dir / "src.png";
  std::string sal = dir / "sal.png";
  Inputs() {
    cv::imwrite(src, testsupport::Sample({300, 200}));
    cv::imwrite(sal, testsupport::ImportanceImage({300, 200}));
  }
  std::string Args() const { return Quote(src) + " " + Quote(sal); }
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream ss(text);
  for (std::string l; std::getline(ss, l);) out.push_back(l);
  return out;
}

}  // namespace

TEST(CliUsage, HelpAndUsageErrors) {
  const auto help = Cli("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Usage: quadrix-cli [options] MODE SRC [SAL]"), std::string::npos);
  EXPECT_EQ(Cli("-h").status, 0);

  Inputs in;
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"", "missing MODE"},
      {"1", "missing SRC"},
      {"2 " + Quote(in.src), "MODE '2'"},
      {"'' " + Quote(in.src), "MODE ''"},
      {"--frobnicate 1 " + Quote(in.src), "--frobnicate"},
      {"--size 0x10 1 " + Quote(in.src), "0x10"},
      {"--size 32769x10 1 " + Quote(in.src), "32769x10"},
      {"--size 10x 1 " + Quote(in.src), "10x"},
      {"--size -5x10 1 " + Quote(in.src), "-5x10"},
      {"--size 1 " + Quote(in.src), "'1'"},
      {"--size", "needs a value"},
      {"--size 10x10 --size 20x20 --mesh m.csv 1 " + Quote(in.src), "{w}"},
      {"1 " + in.Args() + " extra", "extra"},
  };
  for (const auto& [args, mention] : bad) {
    const auto r = Cli(args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << args << ": " << r.err;
    EXPECT_NE(r.err.find(mention), std::string::npos) << args << ": " << r.err;
  }
}

TEST(CliUsage, UnreadableImagesNameTheFile) {
  Inputs in;
  const std::string text = in.dir / "notes.png";
  std::ofstream(text) << "not an image";
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"0 " + Quote(in.dir / "missing.jpg"), "missing.jpg': no such file"},
      {"0 " + Quote(text) + " " + Quote(in.sal), "notes.png': not an image"},
      {"0 " + Quote(in.dir.path().string()) + " " + Quote(in.sal), "is a directory"},
      {"0 " + Quote(in.src) + " " + Quote(in.dir / "nosal.png"), "nosal.png': no such file"},
  };
  for (const auto& [args, mention] : bad) {
    const auto r = Cli(args);
    EXPECT_EQ(r.status, 1) << args;
    EXPECT_NE(r.err.find(mention), std::string::npos) << args << ": " << r.err;
  }
  // An importance image that does not fit the source.
  cv::imwrite(in.dir / "small.png", cv::Mat(100, 100, CV_8UC1, cv::Scalar(9)));
  const auto r = Cli("0 " + Quote(in.src) + " " + Quote(in.dir / "small.png"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("does not fit"), std::string::npos) << r.err;
  // A source that rounds to no quad.
  cv::imwrite(in.dir / "thin.png", cv::Mat(100, 9, CV_8UC3, cv::Scalar(1, 2, 3)));
  cv::imwrite(in.dir / "thinsal.png", cv::Mat(100, 9, CV_8UC1, cv::Scalar(1)));
  const auto thin = Cli("0 " + Quote(in.dir / "thin.png") + " " + Quote(in.dir / "thinsal.png"));
  EXPECT_EQ(thin.status, 1);
  EXPECT_NE(thin.err.find("thin.png"), std::string::npos) << thin.err;
}

TEST(CliOutput, MeshCsvAndEnergyDump) {
  Inputs in;
  const std::string dump = in.dir / "deep/dump";
  const auto r =
      Cli("--verbose --size 450x200 --size 300x200 --mesh " + Quote(in.dir / "mesh_{w}x{h}.csv") +
          " --dump-energy " + Quote(dump) + " 1 " + in.Args());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("quads.size="), std::string::npos);
  EXPECT_NE(r.out.find("size 450x200: mesh " + in.dir / "mesh_450x200.csv"), std::string::npos)
      << "says where it wrote";

  const auto mesh = Lines(testsupport::ReadFile(in.dir / "mesh_450x200.csv"));
  ASSERT_GT(mesh.size(), 16u * 11u);
  EXPECT_EQ(mesh[0], "point,kind,row,col,x,y");
  EXPECT_EQ(mesh[1], "0,vertex,0,0,0,0");
  EXPECT_EQ(mesh[16], "15,vertex,0,15,450,0");  // 15 x 10 quads: top-right corner
  EXPECT_EQ(mesh[16 * 11], "175,vertex,10,15,450,200");
  size_t lines = 0;
  for (size_t k = 16 * 11 + 1; k < mesh.size(); ++k)
    lines += mesh[k].find(",line,") != std::string::npos;
  EXPECT_EQ(lines, mesh.size() - 1 - 16 * 11) << "line points follow the vertices";

  // The dump is enough to check the solve from outside: x has the fixed values at ind.
  const auto ind = Lines(testsupport::ReadFile(dump + "/ind.txt"));
  const auto vals = Lines(testsupport::ReadFile(dump + "/vals_450x200.txt"));
  const auto x = Lines(testsupport::ReadFile(dump + "/x_450x200.txt"));
  ASSERT_EQ(ind.size(), vals.size());
  EXPECT_EQ(x.size(), 2 * (mesh.size() - 1));
  for (size_t k = 0; k < ind.size(); ++k)
    EXPECT_EQ(std::stod(x[std::stoi(ind[k]) - 1]), std::stod(vals[k]));
  const auto mtx = Lines(testsupport::ReadFile(dump + "/A.mtx"));
  ASSERT_GT(mtx.size(), 2u);
  EXPECT_EQ(mtx[0], "%%MatrixMarket matrix coordinate real general");
  std::istringstream header(mtx[1]);
  size_t m = 0, n = 0, nnz = 0;
  header >> m >> n >> nnz;
  EXPECT_EQ(n, x.size());
  EXPECT_EQ(nnz, mtx.size() - 2);
  EXPECT_TRUE(std::filesystem::exists(dump + "/x_300x200.txt"));

  // Nothing temporary is left behind.
  for (const auto& e : std::filesystem::recursive_directory_iterator(in.dir.path()))
    EXPECT_EQ(e.path().string().find(".tmp"), std::string::npos) << e.path();
}

TEST(CliOutput, MissingFoldersAreMadeAndFailedWritesNamed) {
  Inputs in;
  // The README's example, with no output folder yet.
  const auto made = Cli("--size 200x200 -o " + Quote(in.dir / "out/pictures/p_{w}x{h}.png") +
                        " --mesh " + Quote(in.dir / "meshes/m.csv") + " --importance-out " +
                        Quote(in.dir / "maps/{name}.png") + " 0 " + in.Args());
  EXPECT_EQ(made.status, 0) << made.err;
  EXPECT_EQ(cv::imread(in.dir / "out/pictures/p_200x200.png").size(), cv::Size(200, 200));
  EXPECT_TRUE(std::filesystem::exists(in.dir / "meshes/m.csv"));
  EXPECT_TRUE(std::filesystem::exists(in.dir / "maps/src.png"));

  // A folder that cannot be made: one line of its own, the file and the cause.
  std::ofstream(in.dir / "blocker") << "a file where a folder should go";
  const std::string target = in.dir / "blocker/sub/p.png";
  const auto r = Cli("-o " + Quote(target) + " 0 " + in.Args());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.out.empty()) << r.out;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_EQ(r.err.rfind("quadrix-cli: cannot write '" + target + "': cannot create the folder", 0),
            0u)
      << r.err;
  // A dump directory that is a file is refused, and the file is untouched.
  const std::string file = in.dir / "plain";
  std::ofstream(file) << "keep me";
  const auto d = Cli("--dump-energy " + Quote(file) + " 0 " + in.Args());
  EXPECT_EQ(d.status, 1);
  EXPECT_EQ(testsupport::ReadFile(file), "keep me");
}

TEST(CliOutput, StandardOutputHoldsOnlyWhatWasAskedFor) {
  Inputs in;
  const std::string outputs = " --mesh " + Quote(in.dir / "m.csv") + " -o " +
                              Quote(in.dir / "p.png") + " --importance-out " +
                              Quote(in.dir / "i.png") + " 1 " + in.Args();
  // Nothing without --verbose, in both modes.
  const auto single = Cli(outputs);
  EXPECT_EQ(single.status, 0) << single.err;
  EXPECT_EQ(single.out, "");
  const auto batch = Cli("--batch --mesh " + Quote(in.dir / "{name}.csv") + " -o " +
                         Quote(in.dir / "{name}_p.png") + " 1 " + Quote(in.src));
  EXPECT_EQ(batch.status, 0) << batch.err;
  EXPECT_EQ(batch.out, "");
  EXPECT_TRUE(std::filesystem::exists(in.dir / "src_p.png"));
  const auto timings = Cli("--timings" + outputs);
  ASSERT_EQ(timings.status, 0) << timings.err;
  const std::vector<std::string> lines = Lines(timings.out);
  ASSERT_EQ(lines.size(), 3u) << timings.out;
  EXPECT_EQ(lines[0].rfind("link edges time used ", 0), 0u);
  EXPECT_EQ(lines[1].rfind("build equationA time used ", 0), 0u);
  EXPECT_EQ(lines[2].rfind("solve time used ", 0), 0u);
  // --verbose: the core's lines, the stopwatch and what was written.
  const auto verbose = Cli("--verbose" + outputs);
  for (const std::string& line :
       {std::string("beta=0.5"), std::string("quads.size="), std::string("quad5s.size="),
        std::string("edges.size="), std::string("A.m="), std::string("solve time used "),
        "importance " + in.dir / "i.png",
        "size 300x200: picture " + in.dir / "p.png" + " mesh " + in.dir / "m.csv"})
    EXPECT_NE(verbose.out.find(line), std::string::npos) << line << "\n" << verbose.out;
}

TEST(CliOutput, BlackImportanceBackgroundStillResizesContentAware) {
  Inputs in;
  cv::Mat sal(200, 300, CV_8UC1, cv::Scalar(0));
  cv::rectangle(sal, {100, 0, 100, 200}, cv::Scalar(250), cv::FILLED);
  cv::imwrite(in.sal, sal);
  // Without the straight segments: the facade's slanted lines cross the
  // band's borders, and held straight they spread the stretch over it.
  const auto r =
      Cli("--no-straight --size 600x200 --mesh " + Quote(in.dir / "m.csv") + " 0 " + in.Args());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("uniform scaling"), std::string::npos) << r.err;
  // The bright band (vertex columns 5 to 10 of 15) keeps its width of 100
  // instead of doubling; the black sides take the stretch.
  const auto mesh = Lines(testsupport::ReadFile(in.dir / "m.csv"));
  auto x = [&](int col) {
    const std::string& line = mesh[1 + 5 * 16 + col];  // row 5
    return std::stod(line.substr(line.rfind(',', line.rfind(',') - 1) + 1));
  };
  EXPECT_NEAR(x(10) - x(5), 100.0, 15.0);
}

TEST(CliImportance, TooSmallForAComputedMapSolvesWithAFlatMapAndSaysSo) {
  TempDir dir;
  const std::string src = dir / "small.png";
  const std::string imp = dir / "imp.png";
  cv::imwrite(src, testsupport::Sample({1000, 127}));
  const auto r = Cli("--size 500x127 --importance-out " + Quote(imp) + " 0 " + Quote(src));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_NE(r.err.find("small.png"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("flat"), std::string::npos) << r.err;
  const cv::Mat map = cv::imread(imp, cv::IMREAD_GRAYSCALE);
  ASSERT_FALSE(map.empty());
  double lo = 0, hi = 0;
  cv::minMaxLoc(map, &lo, &hi);
  EXPECT_EQ(lo, 250);  // 1.0 everywhere
  EXPECT_EQ(hi, 250);
  // With an importance image nothing is said.
  const std::string sal = dir / "sal.png";
  cv::imwrite(sal, testsupport::ImportanceImage({1000, 127}));
  const auto withSal = Cli("0 " + Quote(src) + " " + Quote(sal));
  EXPECT_EQ(withSal.status, 0);
  EXPECT_EQ(withSal.err, "");
}

TEST(CliImportance, WrittenMapLoadsBackAsTheSameImportance) {
  TempDir dir;
  const std::string src = dir / "src.png";
  const std::string imp = dir / "imp.png";
  cv::imwrite(src, testsupport::Sample({410, 290}));
  const auto r = Cli("--importance-out " + Quote(imp) + " 1 " + Quote(src));
  ASSERT_EQ(r.status, 0) << r.err;
  const cv::Mat written = cv::imread(imp, cv::IMREAD_UNCHANGED);
  ASSERT_EQ(written.type(), CV_8UC1);
  EXPECT_EQ(written.size(), cv::Size(420, 300)) << "at the aligned size";

  quadrix::ResizeHost computed;
  ASSERT_TRUE(computed.LoadImage(cv::imread(src), nullptr));
  quadrix::ResizeHost loaded;
  ASSERT_TRUE(loaded.LoadImage(cv::imread(src), imp.c_str()));
  cv::Mat diff;
  cv::absdiff(computed.imgSal(), loaded.imgSal(), diff);
  double worst = 0;
  cv::minMaxLoc(diff, nullptr, &worst);
  EXPECT_LE(worst, 0.002 + 1e-6);
}

namespace {

double MeanAbsDiff(const cv::Mat& a, const cv::Mat& b) {
  cv::Mat d;
  cv::absdiff(a, b, d);
  const cv::Scalar m = cv::mean(d);
  return (m[0] + m[1] + m[2]) / 3.0;
}

// Pure red grid pixels, as the renderer draws them.
int RedPixels(const cv::Mat& bgr) {
  cv::Mat mask;
  cv::inRange(bgr, cv::Scalar(0, 0, 200), cv::Scalar(60, 60, 255), mask);
  return cv::countNonZero(mask);
}

}  // namespace

TEST(CliPictures, SizesFormatsAndTheSourceSizeByDefault) {
  Inputs in;
  const auto r = Cli("-o " + Quote(in.dir / "p_{w}x{h}.png") + " 0 " + in.Args());
  ASSERT_EQ(r.status, 0) << r.err;
  const cv::Mat atSource = cv::imread(in.dir / "p_300x200.png");
  ASSERT_EQ(atSource.size(), cv::Size(300, 200));
  // At the source size the mesh is at rest: the picture is the source.
  EXPECT_LE(MeanAbsDiff(atSource, cv::imread(in.src)), 1.0);

  const auto sized =
      Cli("--size 451x203 --size 200x260 --output " + Quote(in.dir / "q_{w}x{h}.jpg") + " -o " +
          Quote(in.dir / "b_{h}.bmp") + " 1 " + in.Args());
  ASSERT_EQ(sized.status, 0) << sized.err;
  EXPECT_EQ(cv::imread(in.dir / "b_203.bmp").size(), cv::Size(451, 203)) << "last -o wins";
  EXPECT_EQ(cv::imread(in.dir / "b_260.bmp").size(), cv::Size(200, 260));
  EXPECT_FALSE(std::filesystem::exists(in.dir / "q_451x203.jpg"));

  EXPECT_EQ(Cli("-o " + Quote(in.dir / "p.xyz") + " 0 " + in.Args()).status, 2);
  EXPECT_EQ(Cli("--size 10x10 --size 20x20 -o p.png 0 " + in.Args()).status, 2);
}

TEST(CliPictures, UniformGridAndImportanceFollowTheOptions) {
  Inputs in;
  const auto r = Cli("--size 450x300 --uniform -o " + Quote(in.dir / "u.png") + " 1 " + in.Args());
  ASSERT_EQ(r.status, 0) << r.err;
  cv::Mat scaled;
  cv::resize(cv::imread(in.src), scaled, {450, 300}, 0, 0, cv::INTER_LINEAR);
  EXPECT_LE(MeanAbsDiff(cv::imread(in.dir / "u.png"), scaled), 3.0) << "plain scaling";

  // The importance image in grey: value 1.0 is white.
  const auto imp = Cli("--show-importance -o " + Quote(in.dir / "i.png") + " 0 " + in.Args());
  ASSERT_EQ(imp.status, 0) << imp.err;
  const cv::Mat shown = cv::imread(in.dir / "i.png", cv::IMREAD_GRAYSCALE);
  cv::Mat expected;
  cv::imread(in.sal, cv::IMREAD_GRAYSCALE).convertTo(expected, CV_8U, 0.004 * 255);
  EXPECT_LE(MeanAbsDiff(shown, expected), 1.0);

  const auto grid = Cli("--grid --uniform -o " + Quote(in.dir / "g.png") + " 0 " + in.Args());
  ASSERT_EQ(grid.status, 0) << grid.err;
  const cv::Mat g = cv::imread(in.dir / "g.png");
  // 15 x 10 quads of 20 pixels: one red line every 20 pixels each way.
  EXPECT_GT(RedPixels(g), 300 * 10 + 200 * 15 - 200);
  EXPECT_EQ(RedPixels(cv::imread(in.dir / "i.png")), 0);
  int onLine = 0;
  for (int y = 5; y < 200; y += 20)
    onLine += g.at<cv::Vec3b>(y, 120)[2] > 200 || g.at<cv::Vec3b>(y, 119)[2] > 200;
  EXPECT_EQ(onLine, 10) << "a vertical line near x = 120 in every quad row";
}

TEST(CliPictures, WithoutOpenGlTheProcessorDrawsTheSamePicture) {
  Inputs in;
  const std::string args = "--size 400x240 -o " + Quote(in.dir / "{w}.png") + " 1 " + in.Args();
  ASSERT_EQ(Cli(args).status, 0);
  std::filesystem::rename(in.dir / "400.png", in.dir / "gl.png");
  const auto cpu =
      testsupport::Run("QUADRIX_NO_OPENGL=1 " + std::string(QUADRIX_CLI_PATH) + " " + args);
  ASSERT_EQ(cpu.status, 0) << cpu.err;
  EXPECT_NE(cpu.err.find("drawing on the processor"), std::string::npos) << cpu.err;
  EXPECT_EQ(std::count(cpu.err.begin(), cpu.err.end(), '\n'), 1) << cpu.err;
  EXPECT_LE(MeanAbsDiff(cv::imread(in.dir / "gl.png"), cv::imread(in.dir / "400.png")), 0.5);
}

TEST(CliPictures, UnusableEffectFileIsNamedAndNothingIsWritten) {
  Inputs in;
  // A broken effect in the working directory is found first.
  std::ofstream(in.dir / "interop_gl.glsl") << "//@vertex vs\nthis is not GLSL\n";
  const auto broken = testsupport::Run("cd " + Quote(in.dir.path().string()) + " && " +
                                       QUADRIX_CLI_PATH + " -o p.png 0 " + in.Args());
  EXPECT_EQ(broken.status, 1);
  EXPECT_NE(broken.err.find("interop_gl.glsl"), std::string::npos) << broken.err;
  EXPECT_FALSE(std::filesystem::exists(in.dir / "p.png"));

  // A copy of the program without the effect beside it, run elsewhere.
  if (std::filesystem::exists(std::string(QUADRIX_DATADIR) + "/interop_gl.glsl"))
    GTEST_SKIP() << "an installed effect file would be found";
  std::filesystem::remove(in.dir / "interop_gl.glsl");
  const std::string copy = in.dir / "quadrix-cli";
  std::filesystem::copy_file(QUADRIX_CLI_PATH, copy);
  std::filesystem::permissions(copy, std::filesystem::perms::owner_all);
  const auto missing = testsupport::Run("cd " + Quote(in.dir.path().string()) + " && " +
                                        Quote(copy) + " -o p.png 0 " + in.Args());
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("interop_gl.glsl"), std::string::npos) << missing.err;
  EXPECT_FALSE(std::filesystem::exists(in.dir / "p.png"));
}

TEST(Outputs, PatternExpansion) {
  using quadrix::ExpandPattern;
  using quadrix::FieldsOf;
  EXPECT_EQ(ExpandPattern("o/{w}x{h}_{w}.csv", {640, 480}), "o/640x480_640.csv");
  EXPECT_EQ(ExpandPattern("{x}{w", {1, 2}), "{x}{w");
  const quadrix::PhotoFields f = FieldsOf("trip/day.one.jpg");
  EXPECT_EQ(f.dir, "trip");
  EXPECT_EQ(f.name, "day.one");
  EXPECT_EQ(ExpandPattern("{dir}/out/{name}_{w}x{h}.png", {3, 4}, &f), "trip/out/day.one_3x4.png");
  EXPECT_EQ(FieldsOf("photo.png").dir, ".");
  EXPECT_EQ(FieldsOf("/abs/photo.png").dir, "/abs");
  // A name that looks like a placeholder stays as it is.
  const quadrix::PhotoFields odd = FieldsOf("{w}.jpg");
  EXPECT_EQ(ExpandPattern("{name}_{w}", {7, 8}, &odd), "{w}_7");
  EXPECT_EQ(ExpandPattern("{name}_{w}x{h}", {0, 0}, &odd), "{w}_{w}x{h}") << "no size yet";
}

namespace {

// Vertex positions of a mesh CSV, in point order.
std::vector<std::pair<double, double>> Vertices(const std::string& path) {
  std::vector<std::pair<double, double>> v;
  for (const std::string& line : Lines(testsupport::ReadFile(path))) {
    if (line.find(",vertex,") == std::string::npos) continue;
    std::vector<std::string> f;
    std::stringstream ss(line);
    for (std::string s; std::getline(ss, s, ',');) f.push_back(s);
    v.emplace_back(std::stod(f[4]), std::stod(f[5]));
  }
  return v;
}

}  // namespace

TEST(CliGuard, MinimumScaleOptionAndVariable) {
  Inputs in;
  for (const char* bad : {"0", "1", "-0.5", "abc", "0.3px", "''"}) {
    const auto r = Cli(std::string("--min-scale ") + bad + " 1 " + in.Args());
    EXPECT_EQ(r.status, 2) << bad;
    EXPECT_NE(r.err.find("minimum quad scale"), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
  EXPECT_EQ(Cli("--min-scale").status, 2) << "a value is needed";
  const auto fromVariable =
      testsupport::Run("QUADRIX_MIN_SCALE=7 " + std::string(QUADRIX_CLI_PATH) + " 1 " + in.Args());
  EXPECT_EQ(fromVariable.status, 2);
  EXPECT_NE(fromVariable.err.find("QUADRIX_MIN_SCALE '7'"), std::string::npos) << fromVariable.err;
  // The option wins over the variable.
  EXPECT_EQ(testsupport::Run("QUADRIX_MIN_SCALE=7 " + std::string(QUADRIX_CLI_PATH) +
                             " --min-scale 0.25 1 " + in.Args())
                .status,
            0);
  EXPECT_EQ(Cli("--min-scale none 1 " + in.Args()).status, 0);
  EXPECT_NE(Cli("--help").out.find("--min-scale M"), std::string::npos);
}

TEST(CliGuard, NoneReproducesTheUnguardedMeshesAndTheDefaultDoesNotFold) {
  // The bundled sample at the sizes the README shows, meshes written by the
  // solver as it was before the guard.
  TempDir dir;
  const std::string sample = std::string(QUADRIX_SOURCE_DIR) + "/data/building.jpg";
  const std::string sizes = " --size 1200x600 --size 860x400 ";
  ASSERT_EQ(Cli("--classic --min-scale none" + sizes + "--mesh " + Quote(dir / "none_{w}x{h}.csv") +
                " 1 " + Quote(sample))
                .status,
            0);
  ASSERT_EQ(
      Cli(sizes + "--mesh " + Quote(dir / "guarded_{w}x{h}.csv") + " 1 " + Quote(sample)).status,
      0);
  for (const std::string tag : {"1200x600", "860x400"}) {
    SCOPED_TRACE(tag);
    const auto ref = Vertices(std::string(QUADRIX_SOURCE_DIR) + "/tests/data/building_" + tag +
                              "_mode1_unguarded.csv");
    const auto none = Vertices(dir / ("none_" + tag + ".csv"));
    const auto guarded = Vertices(dir / ("guarded_" + tag + ".csv"));
    ASSERT_EQ(none.size(), ref.size());
    ASSERT_EQ(guarded.size(), ref.size());
    double worst = 0, moved = 0;
    for (size_t k = 0; k < ref.size(); ++k) {
      worst = std::max({worst, std::abs(none[k].first - ref[k].first),
                        std::abs(none[k].second - ref[k].second)});
      moved = std::max(moved, std::abs(guarded[k].second - ref[k].second));
    }
    // The CSV's own rounding, and the importance map's colour conversion:
    // its own now, within a hundredth of a Luv unit of the image library's
    // that made the reference, which moves vertices by up to 4e-4 px.
    EXPECT_LT(worst, 1e-3);
    EXPECT_GT(moved, 5.0) << "the unguarded mesh folds here, the guarded one differs";
    // The unguarded mesh folds (bottom rows pushed past the border and back),
    // the guarded one keeps every vertical edge at least 0.3 of its share.
    const cv::Size aligned = quadrix::AlignedSize({868, 600}, 20);
    const int cols = aligned.width / 20, rows = aligned.height / 20;
    ASSERT_EQ(ref.size(), static_cast<size_t>((cols + 1) * (rows + 1)));
    const double h = std::stod(tag.substr(tag.find('x') + 1));
    double shortestNone = 1e9, shortestGuarded = 1e9;
    for (int j = 0; j < rows; ++j)
      for (int i = 0; i <= cols; ++i) {
        const size_t a = j * (cols + 1) + i, b = a + cols + 1;
        shortestNone = std::min(shortestNone, none[b].second - none[a].second);
        shortestGuarded = std::min(shortestGuarded, guarded[b].second - guarded[a].second);
      }
    EXPECT_LT(shortestNone, 0.0);
    EXPECT_GE(shortestGuarded, 0.3 * h / rows - 1e-4);
  }
  // All coordinates in full precision, line points included, with an
  // importance file (so that only the solve is compared): the earlier
  // solver's at 860x400 with the ramp-and-disc importance image.
  const std::string dump = dir / "dump", ramp = dir / "ramp.png";
  cv::imwrite(ramp, testsupport::ImportanceImage({868, 600}));
  ASSERT_EQ(Cli("--classic --min-scale none --size 860x400 --dump-energy " + Quote(dump) + " 1 " +
                Quote(sample) + " " + Quote(ramp))
                .status,
            0);
  std::ifstream now(dump + "/x_860x400.txt"),
      before(std::string(QUADRIX_SOURCE_DIR) +
             "/tests/data/building_860x400_mode1_unguarded_x.txt");
  double worst = 0;
  size_t count = 0;
  for (double a, b; now >> a && before >> b; ++count) worst = std::max(worst, std::abs(a - b));
  EXPECT_GT(count, 4000u);
  EXPECT_LT(worst, 1e-6);
}

namespace {

std::string Be32(std::uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}

std::string Chunk(const std::string& type, const std::string& data) {
  const std::string body = type + data;
  const auto crc = static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size())));
  return Be32(static_cast<std::uint32_t>(data.size())) + body + Be32(crc);
}

// A valid PNG of w x h black grey pixels, small on disk: the zero rows are
// compressed once in segments that restart the compressor (full flushes),
// so one compressed segment stands for every other.
void WriteBlackPng(const std::string& path, std::uint32_t w, std::uint32_t h) {
  const std::uint32_t rowsPerSegment = 100;
  const size_t segment = static_cast<size_t>(w + 1) * rowsPerSegment;  // filter byte + pixels
  const std::vector<Bytef> zeros(segment, 0);
  z_stream z{};
  deflateInit(&z, Z_BEST_COMPRESSION);
  auto compress = [&] {
    std::string out;
    z.next_in = const_cast<Bytef*>(zeros.data());
    z.avail_in = static_cast<uInt>(zeros.size());
    std::vector<Bytef> buf(1 << 16);
    do {
      z.next_out = buf.data();
      z.avail_out = static_cast<uInt>(buf.size());
      deflate(&z, Z_FULL_FLUSH);
      out.append(reinterpret_cast<char*>(buf.data()), buf.size() - z.avail_out);
    } while (z.avail_out == 0 || z.avail_in > 0);
    return out;
  };
  std::string stream = compress();  // with the zlib header
  const std::string again = compress();
  deflateEnd(&z);
  const uLong one = adler32(adler32(0, nullptr, 0), zeros.data(), static_cast<uInt>(segment));
  uLong sum = one;
  for (std::uint32_t k = 1; k < h / rowsPerSegment; ++k) {
    stream += again;
    sum = adler32_combine(sum, one, static_cast<z_off_t>(segment));
  }
  stream += std::string("\x01\x00\x00\xff\xff", 5);  // last block: stored, empty
  stream += Be32(static_cast<std::uint32_t>(sum));
  std::ofstream out(path, std::ios::binary);
  out << "\x89PNG\r\n\x1a\n"
      << Chunk("IHDR", Be32(w) + Be32(h) + std::string("\x08\x00\x00\x00\x00", 5))
      << Chunk("IDAT", stream) << Chunk("IEND", "");
}

}  // namespace

TEST(CliHostileFiles, EachEndsWithAMessageNamingItAndStatusOne) {
  TempDir dir;
  const std::string photo = dir / "photo.png";
  cv::imwrite(photo, testsupport::Sample({300, 200}));
  cv::imwrite(dir / "photo.jpg", testsupport::Sample({300, 200}));
  auto cut = [&](const std::string& from, const std::string& to) {
    const std::string bytes = testsupport::ReadFile(from);
    std::ofstream(to, std::ios::binary) << bytes.substr(0, bytes.size() / 2);
    return to;
  };
  std::ofstream(dir / "zero.png").flush();
  std::ofstream(dir / "text.jpg") << "just some text\n";
  std::ofstream(dir / "claims.png", std::ios::binary)
      << "\x89PNG\r\n\x1a\n"
      << Chunk("IHDR", Be32(100000) + Be32(100000) + std::string("\x08\x00\x00\x00\x00", 5));
  std::filesystem::create_directory(dir / "folder.png");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {dir / "zero.png", "the file is empty"},
      {cut(photo, dir / "cut.png"), "the file is cut short"},
      {cut(dir / "photo.jpg", dir / "cut.jpg"), "the file is cut short"},
      {dir / "claims.png", "100000 x 100000 pixels (10000 megapixels) is above the limit"},
      {dir / "folder.png", "is a directory"},
      {dir / "text.jpg", "not an image"},
  };
  for (const auto& [path, cause] : cases) {
    for (const bool asImportance : {false, true}) {
      SCOPED_TRACE(path + (asImportance ? " as importance" : " as source"));
      const auto r = Cli("--size 200x200 -o " + Quote(dir / "out_{w}.png") + " 1 " +
                         (asImportance ? Quote(photo) + " " : "") + Quote(path));
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
      EXPECT_NE(r.err.find("'" + path + "'"), std::string::npos) << r.err;
      EXPECT_NE(r.err.find(cause), std::string::npos) << r.err;
      EXPECT_FALSE(std::filesystem::exists(dir / "out_200.png"));
    }
  }

  // The 937 KB file of 30000 x 30000 pixels that used to take all memory.
  const std::string huge = dir / "huge.png";
  WriteBlackPng(huge, 30000, 30000);
  ASSERT_LT(std::filesystem::file_size(huge), 1u << 20);
  const auto start = std::chrono::steady_clock::now();
  const auto r = Cli("1 " + Quote(huge));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("'" + huge +
                       "' is too large: 30000 x 30000 pixels (900 megapixels) is "
                       "above the limit of 120 megapixels (raise it with --max-pixels)"),
            std::string::npos)
      << r.err;
  EXPECT_LT(seconds, 1.0);
}

TEST(CliHostileFiles, PixelLimitOptionAndVariable) {
  Inputs in;  // 300 x 200
  EXPECT_EQ(Cli("--max-pixels 60000 1 " + in.Args()).status, 0);
  const auto over = Cli("--max-pixels 59999 1 " + in.Args());
  EXPECT_EQ(over.status, 1);
  EXPECT_NE(over.err.find("'" + in.src + "' is too large: 300 x 200 pixels"), std::string::npos)
      << over.err;
  const std::string cli = QUADRIX_CLI_PATH;
  const auto env = testsupport::Run("QUADRIX_MAX_PIXELS=59999 " + cli + " 1 " + in.Args());
  EXPECT_EQ(env.status, 1);
  EXPECT_EQ(
      testsupport::Run("QUADRIX_MAX_PIXELS=59999 " + cli + " --max-pixels 60000 1 " + in.Args())
          .status,
      0)
      << "the option wins";
  for (const char* bad : {"0", "-1", "many", "''"}) {
    const auto r = Cli(std::string("--max-pixels ") + bad + " 1 " + in.Args());
    EXPECT_EQ(r.status, 2) << bad;
    EXPECT_NE(r.err.find("pixel limit"), std::string::npos) << r.err;
  }
  EXPECT_EQ(testsupport::Run("QUADRIX_MAX_PIXELS=lots " + cli + " 1 " + in.Args()).status, 2);
}

TEST(CliOddFiles, AreDrawnAsTheyLook) {
  TempDir dir;
  const cv::Mat photo = testsupport::Sample({300, 200});
  cv::Mat grey, rgba, wide;
  cv::cvtColor(photo, grey, cv::COLOR_BGR2GRAY);
  cv::cvtColor(photo, rgba, cv::COLOR_BGR2BGRA);
  rgba(cv::Rect(0, 0, 100, 60)).setTo(cv::Scalar(0, 0, 0, 0));  // transparent, black beneath
  photo.convertTo(wide, CV_16UC3, 257.0);
  cv::imwrite(dir / "wide.png", wide);
  cv::imwrite(dir / "rgba.png", rgba);
  cv::imwrite(dir / "grey.png", grey);
  cv::imwrite(dir / "plain.png", photo);
  std::vector<std::string> files = {"wide.png", "rgba.png", "grey.png"};
  if (testsupport::Run("command -v convert").status == 0) {
    ASSERT_EQ(testsupport::Run("convert " + Quote(dir / "plain.png") + " -colorspace CMYK " +
                               Quote(dir / "cmyk.jpg"))
                  .status,
              0);
    files.push_back("cmyk.jpg");
  }
  for (const std::string& name : files) {
    SCOPED_TRACE(name);
    const auto r = Cli("-o " + Quote(dir / ("drawn_" + name + ".png")) + " 1 " + Quote(dir / name));
    ASSERT_EQ(r.status, 0) << r.err;
    // At the source size the mesh is at rest: the picture is the photo as
    // the image library sees it (alpha dropped, grey as grey, CMYK as colour).
    const cv::Mat drawn = cv::imread(dir / ("drawn_" + name + ".png"));
    EXPECT_LE(MeanAbsDiff(drawn, cv::imread(dir / name, cv::IMREAD_COLOR)), 1.0);
  }
}

namespace {

// Five photos of different sizes in a folder of their own.
struct Folder {
  TempDir dir;
  std::vector<std::string> photos;
  explicit Folder(int count = 5) {
    std::filesystem::create_directory(dir / "in");
    for (int k = 0; k < count; ++k) {
      const std::string path = dir / ("in/photo" + std::to_string(k) + ".jpg");
      cv::imwrite(path, testsupport::Sample({260 + 40 * k, 200 + 10 * k}));
      photos.push_back(path);
    }
  }
  std::string All() const {
    std::string s;
    for (const std::string& p : photos) {
      s += ' ';
      s += Quote(p);
    }
    return s;
  }
};

}  // namespace

TEST(CliBatch, OneBadPhotoIsNamedAndTheRestGoOn) {
  Folder f;
  // The third is cut short.
  const std::string bytes = testsupport::ReadFile(f.photos[2]);
  std::ofstream(f.photos[2], std::ios::binary) << bytes.substr(0, bytes.size() / 3);
  const auto r = Cli("--batch -j 2 --size 300x300 -o " + Quote(f.dir / "out/{name}_{w}x{h}.png") +
                     " 1" + f.All());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.out.empty()) << r.out;
  const auto lines = Lines(r.err);
  ASSERT_EQ(lines.size(), 2u) << r.err;
  EXPECT_EQ(lines[0], "quadrix-cli: cannot read the source image '" + f.photos[2] +
                          "': the file is cut short");
  EXPECT_EQ(lines[1], "1 of 5 photos failed");
  for (int k = 0; k < 5; ++k)
    EXPECT_EQ(std::filesystem::exists(f.dir / ("out/photo" + std::to_string(k) + "_300x300.png")),
              k != 2)
        << k;
  // All well: status 0 and not a word.
  const auto good = Cli("--batch --size 300x300 -o " + Quote(f.dir / "out/{name}.png") + " 1 " +
                        Quote(f.photos[0]) + " " + Quote(f.photos[1]));
  EXPECT_EQ(good.status, 0);
  EXPECT_EQ(good.err, "");
}

TEST(CliBatch, PatternsMustKeepThePhotosApart) {
  Folder f(2);
  const std::string photos = " 1" + f.All();
  for (const std::string& option :
       {"-o " + Quote(f.dir / "p.png"), "--mesh " + Quote(f.dir / "m_{w}.csv"),
        "--importance-out " + Quote(f.dir / "{dir}/i.png"),
        "--dump-energy " + Quote(f.dir / "d")}) {
    const auto r = Cli("--batch " + option + photos);
    EXPECT_EQ(r.status, 2) << option;
    EXPECT_NE(r.err.find("needs {name} in --batch mode"), std::string::npos) << r.err;
  }
  // Two photos of one name in different folders.
  std::filesystem::create_directory(f.dir / "other");
  const std::string twin = f.dir / "other/photo0.jpg";
  std::filesystem::copy_file(f.photos[0], twin);
  const auto both = Cli("--batch -o " + Quote(f.dir / "{name}.png") + " 1 " + Quote(f.photos[0]) +
                        " " + Quote(twin));
  EXPECT_EQ(both.status, 2);
  EXPECT_NE(both.err.find("would both write '" + f.dir / "photo0.png'"), std::string::npos)
      << both.err;
  EXPECT_EQ(Cli("--batch -o " + Quote("{dir}/{name}.png") + " 1 " + Quote(f.photos[0]) + " " +
                Quote(twin))
                .status,
            0)
      << "{dir} keeps them apart";
  // A picture over its own photo, in either mode.
  const auto over = Cli("--batch -o " + Quote("{dir}/{name}.jpg") + photos);
  EXPECT_EQ(over.status, 2);
  EXPECT_NE(over.err.find("would overwrite the source image '" + f.photos[0] + "'"),
            std::string::npos)
      << over.err;
  EXPECT_EQ(Cli("-o " + Quote(f.photos[1]) + " 1 " + Quote(f.photos[0])).status, 0)
      << "another photo is the user's to overwrite";
  EXPECT_EQ(Cli("-o " + Quote(f.photos[0]) + " 1 " + Quote(f.photos[0])).status, 2);
  EXPECT_EQ(Cli("--batch -o " + Quote(f.dir / "{name}.png") + " 1 " + Quote(f.photos[0]) + " " +
                Quote(f.photos[0]))
                .status,
            2)
      << "one photo twice";
  const std::string link = f.dir / "link.jpg";
  std::filesystem::create_symlink(f.photos[0], link);
  EXPECT_EQ(Cli("--batch -o " + Quote(f.dir / "{name}.png") + " 1 " + Quote(f.photos[0]) + " " +
                Quote(link))
                .status,
            0)
      << "a link under another name is another photo";
  // Options that need the other mode.
  EXPECT_EQ(Cli("-j 2 1 " + Quote(f.photos[0])).status, 2);
  EXPECT_EQ(Cli("--batch -j 0" + photos).status, 2);
}

TEST(CliBatch, TwoAtOnceWriteExactlyWhatOneAtATimeWrites) {
  Folder f(4);
  auto run = [&](const std::string& jobs) {
    const std::string out = f.dir / ("j" + jobs);
    const auto r = Cli("--batch -j " + jobs + " --size 300x240 --size 500x200 -o " +
                       Quote(out + "/{name}_{w}x{h}.png") + " --mesh " +
                       Quote(out + "/{name}_{w}x{h}.csv") + " 1" + f.All());
    EXPECT_EQ(r.status, 0) << r.err;
    return out;
  };
  const std::string one = run("1"), two = run("2");
  int compared = 0;
  for (const auto& e : std::filesystem::directory_iterator(one)) {
    const std::string name = e.path().filename().string();
    EXPECT_EQ(testsupport::ReadFile(e.path().string()),
              testsupport::ReadFile((std::filesystem::path(two) / name).string()))
        << name;
    ++compared;
  }
  EXPECT_EQ(compared, 4 * 2 * 2);
}

TEST(CliBatch, ImportancePatternAndProgressOnATerminal) {
  Folder f(2);
  // An importance image beside the first photo only.
  cv::imwrite(f.dir / "in/photo0_sal.png", testsupport::ImportanceImage({260, 200}));
  const auto r = Cli("--batch --importance-pattern " + Quote("{dir}/{name}_sal.png") +
                     " --importance-out " + Quote(f.dir / "{name}_used.png") + " 1" + f.All());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot read the importance image '" + f.dir / "in/photo1_sal.png" +
                       "': no such file"),
            std::string::npos)
      << r.err;
  cv::Mat used = cv::imread(f.dir / "photo0_used.png", cv::IMREAD_GRAYSCALE);
  cv::Mat given;
  cv::imread(f.dir / "in/photo0_sal.png", cv::IMREAD_GRAYSCALE).convertTo(given, CV_8U);
  EXPECT_LE(MeanAbsDiff(used, given), 0.01) << "the pattern's file was used";

  // Under a terminal (script(1) gives it one) a progress line is drawn and
  // rewritten; the messages keep lines of their own.
  if (testsupport::Run("command -v script").status != 0) GTEST_SKIP() << "no script(1)";
  const std::string log = f.dir / "tty.log";
  // Without OpenGL the picture maker's own notice keeps a line of its own too.
  const std::string cmd = "QUADRIX_NO_OPENGL=1 " + std::string(QUADRIX_CLI_PATH) +
                          " --batch -j 1 -o " + Quote(f.dir / "{name}.png") + " 1" + f.All() + " " +
                          Quote(f.dir / "missing.jpg");
  testsupport::Run("script -qec " + Quote(cmd) + " " + Quote(log));
  const std::string tty = testsupport::ReadFile(log);
  EXPECT_NE(tty.find("[0/3] " + f.photos[0]), std::string::npos) << tty;
  EXPECT_NE(tty.find("[2/3] " + f.dir / "missing.jpg"), std::string::npos) << tty;
  EXPECT_NE(tty.find(" left"), std::string::npos) << tty;
  EXPECT_NE(tty.find("\r\033[Kquadrix-cli: cannot read the source image '" + f.dir / "missing.jpg"),
            std::string::npos)
      << tty;
  EXPECT_NE(tty.find("\r\033[K1 of 3 photos failed"), std::string::npos) << tty;
  EXPECT_NE(tty.find("\r\033[Kquadrix-cli: no OpenGL context"), std::string::npos) << tty;
}

TEST(CliBatch, ColourImportanceImageIsWarnedAbout) {
  Folder f(2);
  // As a folder's two photos would be given without --batch.
  cv::imwrite(f.dir / "same.jpg", testsupport::Sample({260, 200}));
  const auto r = Cli("--size 200x200 -o " + Quote(f.dir / "o_{w}x{h}.jpg") + " 1 " +
                     Quote(f.photos[0]) + " " + Quote(f.dir / "same.jpg"));
  EXPECT_EQ(r.status, 0) << r.err;
  const auto lines = Lines(r.err);
  ASSERT_EQ(lines.size(), 1u) << r.err;
  EXPECT_NE(lines[0].find("warning: '" + f.dir / "same.jpg" + "' is a colour photo"),
            std::string::npos);
  EXPECT_NE(lines[0].find("use --batch"), std::string::npos);
  // A grey map, even saved in colour, is not.
  cv::Mat grey = testsupport::ImportanceImage({260, 200}), grey3;
  cv::cvtColor(grey, grey3, cv::COLOR_GRAY2BGR);
  cv::imwrite(f.dir / "grey3.png", grey3);
  const auto quiet = Cli("1 " + Quote(f.photos[0]) + " " + Quote(f.dir / "grey3.png"));
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.err, "");
}

TEST(CliBatch, ManyMachinesExampleRunsWithGnuParallel) {
  // The README's command with this machine as the only login.
  if (testsupport::Run("command -v parallel").status != 0) GTEST_SKIP() << "no GNU parallel";
  Folder f(3);
  const std::string bin = std::filesystem::path(QUADRIX_CLI_PATH).parent_path().string();
  const auto r = testsupport::Run(
      "cd " + Quote(f.dir.path().string()) + " && export PATH=" + Quote(bin) +
      ":\"$PATH\" && find in -name '*.jpg' | parallel --will-cite -j1 --sshlogin : -N 2 "
      "--workdir \"$PWD\" quadrix-cli --batch --size 300x300 -o 'out/{name}_{w}x{h}.jpg' 1");
  EXPECT_EQ(r.status, 0) << r.err;
  for (int k = 0; k < 3; ++k)
    EXPECT_EQ(cv::imread(f.dir / ("out/photo" + std::to_string(k) + "_300x300.jpg")).size(),
              cv::Size(300, 300))
        << k;
}

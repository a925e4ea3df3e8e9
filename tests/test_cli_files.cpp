// What quadrix-cli reads and writes: meshes, dumps, importance maps and
// pictures, and the damaged or odd files it is given.

#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli_support.hpp"
#include "core/resize_host.hpp"

using clisupport::Cli;
using clisupport::Inputs;
using clisupport::Lines;
using clisupport::MeanAbsDiff;
using testsupport::Quote;
using testsupport::TempDir;

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
    EXPECT_EQ(e.path().filename().string().find(".qx"), std::string::npos) << e.path();
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
  // The stages in the order they run, each once.
  const std::vector<std::string> stages = {"read",   "analyse", "link edges", "build equationA",
                                           "factor", "solve",   "draw",       "write"};
  ASSERT_EQ(lines.size(), stages.size()) << timings.out;
  for (size_t k = 0; k < stages.size(); ++k)
    EXPECT_EQ(lines[k].rfind(stages[k] + " time used ", 0), 0u) << lines[k];
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
  const auto withSal =
      Cli("--mesh " + Quote(dir / "m.csv") + " 0 " + Quote(src) + " " + Quote(sal));
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
  // The importance map's picture goes through OpenGL when it can.
  Inputs in;
  const std::string args =
      "--show-importance --size 400x240 -o " + Quote(in.dir / "{w}.png") + " 1 " + in.Args();
  ASSERT_EQ(Cli(args).status, 0);
  std::filesystem::rename(in.dir / "400.png", in.dir / "gl.png");
  const auto cpu =
      testsupport::Run("QUADRIX_NO_OPENGL=1 " + std::string(QUADRIX_CLI_PATH) + " " + args);
  ASSERT_EQ(cpu.status, 0) << cpu.err;
  EXPECT_NE(cpu.err.find("drawing on the processor"), std::string::npos) << cpu.err;
  EXPECT_EQ(std::count(cpu.err.begin(), cpu.err.end(), '\n'), 1) << cpu.err;
  EXPECT_LE(MeanAbsDiff(cv::imread(in.dir / "gl.png"), cv::imread(in.dir / "400.png")), 0.5);
  // The colour picture alone is always drawn on the processor: the same
  // either way, and nothing to say about OpenGL.
  const std::string plain = "--size 400x240 -o " + Quote(in.dir / "{w}.png") + " 1 " + in.Args();
  const auto without =
      testsupport::Run("QUADRIX_NO_OPENGL=1 " + std::string(QUADRIX_CLI_PATH) + " " + plain);
  ASSERT_EQ(without.status, 0) << without.err;
  EXPECT_EQ(without.err, "");
  std::filesystem::rename(in.dir / "400.png", in.dir / "without.png");
  ASSERT_EQ(Cli(plain).status, 0);
  EXPECT_EQ(MeanAbsDiff(cv::imread(in.dir / "without.png"), cv::imread(in.dir / "400.png")), 0.0);
}

TEST(CliPictures, UnusableEffectFileIsNamedAndNothingIsWritten) {
  // The effect draws the mesh over the picture.
  Inputs in;
  // A broken effect in the working directory is found first.
  std::ofstream(in.dir / "interop_gl.glsl") << "//@vertex vs\nthis is not GLSL\n";
  const auto broken = testsupport::Run("cd " + Quote(in.dir.path().string()) + " && " +
                                       QUADRIX_CLI_PATH + " --grid -o p.png 0 " + in.Args());
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
                                        Quote(copy) + " --grid -o p.png 0 " + in.Args());
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("interop_gl.glsl"), std::string::npos) << missing.err;
  EXPECT_FALSE(std::filesystem::exists(in.dir / "p.png"));
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
  const auto r = Cli("--mesh " + Quote(dir / "m.csv") + " 1 " + Quote(huge));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("'" + huge +
                       "' is too large: 30000 x 30000 pixels (900 megapixels) is "
                       "above the limit of 350 megapixels (raise it with --max-pixels)"),
            std::string::npos)
      << r.err;
  EXPECT_LT(seconds, 1.0);
}

TEST(CliHostileFiles, PixelLimitOptionAndVariable) {
  Inputs in;  // 300 x 200
  EXPECT_EQ(Cli("--max-pixels 60000 " + in.Mesh() + " 1 " + in.Args()).status, 0);
  const auto over = Cli("--max-pixels 59999 " + in.Mesh() + " 1 " + in.Args());
  EXPECT_EQ(over.status, 1);
  EXPECT_NE(over.err.find("'" + in.src + "' is too large: 300 x 200 pixels"), std::string::npos)
      << over.err;
  const std::string cli = QUADRIX_CLI_PATH;
  const auto env =
      testsupport::Run("QUADRIX_MAX_PIXELS=59999 " + cli + " " + in.Mesh() + " 1 " + in.Args());
  EXPECT_EQ(env.status, 1);
  EXPECT_EQ(testsupport::Run("QUADRIX_MAX_PIXELS=59999 " + cli + " --max-pixels 60000 " +
                             in.Mesh() + " 1 " + in.Args())
                .status,
            0)
      << "the option wins";
  for (const char* bad : {"0", "-1", "many", "''"}) {
    const auto r = Cli(std::string("--max-pixels ") + bad + " " + in.Mesh() + " 1 " + in.Args());
    EXPECT_EQ(r.status, 2) << bad;
    EXPECT_NE(r.err.find("pixel limit"), std::string::npos) << r.err;
  }
  EXPECT_EQ(testsupport::Run("QUADRIX_MAX_PIXELS=lots " + cli + " " + in.Mesh() + " 1 " + in.Args())
                .status,
            2);
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

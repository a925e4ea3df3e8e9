// quadrix-cli's command line: usage errors and their messages, the file
// name patterns, the minimum quad scale, and batch mode.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli_support.hpp"
#include "core/outputs.hpp"
#include "core/resize_host.hpp"

using clisupport::Cli;
using clisupport::Inputs;
using clisupport::Lines;
using clisupport::MeanAbsDiff;
using testsupport::Quote;
using testsupport::TempDir;

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
      {"--size=10x 1 " + Quote(in.src), "invalid size '10x'"},
      {"--frobnicate=3 1 " + Quote(in.src), "unknown option '--frobnicate'"},
      {"--help=yes", "option --help takes no value"},
      {"--uniform=1 1 " + Quote(in.src), "option --uniform takes no value"},
      {"--no-sharp=1 1 " + Quote(in.src), "option --no-sharp takes no value"},
      {"-o '' 1 " + Quote(in.src), "-o needs a file name pattern"},
      {"--mesh= 1 " + Quote(in.src), "--mesh needs a file name pattern"},
      {"--dump-energy '' 1 " + Quote(in.src), "--dump-energy needs a directory"},
      {"-o out.xyz 1 " + Quote(in.src), "--output 'out.xyz': no image format"},
      {"--importance-out=i.gif 1 " + Quote(in.src), "--importance-out 'i.gif': no image format"},
      {"--batch -jx 1 " + Quote(in.src), "invalid number of jobs 'x'"},
      {"--batch --jobs=300 1 " + Quote(in.src), "invalid number of jobs '300'"},
      {"-j2 1 " + Quote(in.src), "-j needs --batch"},
      {"--importance-pattern p.png 1 " + in.Args(), "either SAL or --importance-pattern"},
  };
  for (const auto& [args, mention] : bad) {
    const auto r = Cli(args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << args << ": " << r.err;
    EXPECT_NE(r.err.find(mention), std::string::npos) << args << ": " << r.err;
  }
  // After "--" a word that starts with a dash is a photo's name.
  const auto dashed = Cli(in.Mesh() + " -- 1 -missing.png");
  EXPECT_EQ(dashed.status, 1);
  EXPECT_NE(dashed.err.find("'-missing.png': no such file"), std::string::npos) << dashed.err;
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
    const auto r = Cli(in.Mesh() + " " + args);
    EXPECT_EQ(r.status, 1) << args;
    EXPECT_NE(r.err.find(mention), std::string::npos) << args << ": " << r.err;
  }
  // An importance image that does not fit the source.
  cv::imwrite(in.dir / "small.png", cv::Mat(100, 100, CV_8UC1, cv::Scalar(9)));
  const auto r = Cli(in.Mesh() + " 0 " + Quote(in.src) + " " + Quote(in.dir / "small.png"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("does not fit"), std::string::npos) << r.err;
  // A source that rounds to no quad.
  cv::imwrite(in.dir / "thin.png", cv::Mat(100, 9, CV_8UC3, cv::Scalar(1, 2, 3)));
  cv::imwrite(in.dir / "thinsal.png", cv::Mat(100, 9, CV_8UC1, cv::Scalar(1)));
  const auto thin =
      Cli(in.Mesh() + " 0 " + Quote(in.dir / "thin.png") + " " + Quote(in.dir / "thinsal.png"));
  EXPECT_EQ(thin.status, 1);
  EXPECT_NE(thin.err.find("thin.png"), std::string::npos) << thin.err;
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
                             " --min-scale 0.25 " + in.Mesh() + " 1 " + in.Args())
                .status,
            0);
  EXPECT_EQ(Cli("--min-scale none " + in.Mesh() + " 1 " + in.Args()).status, 0);
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
  // Without OpenGL the picture maker's own notice (it draws the grid) keeps
  // a line of its own too.
  const std::string cmd = "QUADRIX_NO_OPENGL=1 " + std::string(QUADRIX_CLI_PATH) +
                          " --batch -j 1 --grid -o " + Quote(f.dir / "{name}.png") + " 1" +
                          f.All() + " " + Quote(f.dir / "missing.jpg");
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
  const auto quiet = Cli("--mesh " + Quote(f.dir / "m.csv") + " 1 " + Quote(f.photos[0]) + " " +
                         Quote(f.dir / "grey3.png"));
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

TEST(CliWorkSize, ValuesAndTheCopyItSolvesOn) {
  Inputs in;
  for (const char* bad : {"0", "99", "100001", "abc", "1600px", "''"}) {
    const auto r = Cli(std::string("--work-size ") + bad + " 1 " + in.Args());
    EXPECT_EQ(r.status, 2) << bad;
    EXPECT_NE(r.err.find("invalid working size"), std::string::npos) << r.err;
  }
  EXPECT_EQ(Cli("--work-size").status, 2) << "a value is needed";
  // The environment's value when the option is not given; a bad one is a
  // usage error that names it.
  const auto env = testsupport::Run("QUADRIX_WORK_SIZE=tiny " + std::string(QUADRIX_CLI_PATH) +
                                    " 1 " + in.Args());
  EXPECT_EQ(env.status, 2);
  EXPECT_NE(env.err.find("QUADRIX_WORK_SIZE 'tiny'"), std::string::npos) << env.err;
  // The sample (868 x 600) on a copy of 434 x 300: the map written is the
  // copy's, aligned, and it loads back as the photo's map.
  TempDir dir;
  const std::string map = dir / "map.png";
  ASSERT_EQ(
      Cli("--work-size 434 --importance-out " + Quote(map) + " 1 " + testsupport::SamplePath())
          .status,
      0);
  EXPECT_EQ(cv::imread(map, cv::IMREAD_GRAYSCALE).size(), cv::Size(440, 300));
  const std::string envMap = dir / "env_map.png";
  ASSERT_EQ(
      testsupport::Run("QUADRIX_WORK_SIZE=434 " + std::string(QUADRIX_CLI_PATH) +
                       " --importance-out " + Quote(envMap) + " 1 " + testsupport::SamplePath())
          .status,
      0);
  EXPECT_EQ(cv::imread(envMap, cv::IMREAD_GRAYSCALE).size(), cv::Size(440, 300));
  ASSERT_EQ(testsupport::Run("QUADRIX_WORK_SIZE=434 " + std::string(QUADRIX_CLI_PATH) +
                             " --work-size none --importance-out " + Quote(envMap) + " 1 " +
                             testsupport::SamplePath())
                .status,
            0);
  EXPECT_EQ(cv::imread(envMap, cv::IMREAD_GRAYSCALE).size(), cv::Size(860, 600))
      << "the option wins";
  EXPECT_EQ(Cli("--work-size 434 --size 600x600 -o " + Quote(dir / "o.png") + " 1 " +
                testsupport::SamplePath() + " " + Quote(map))
                .status,
            0);
  EXPECT_EQ(cv::imread(dir / "o.png").size(), cv::Size(600, 600));
  EXPECT_EQ(Cli("--work-size none --size 600x600 -o " + Quote(dir / "o.png") + " 1 " +
                testsupport::SamplePath() + " " + Quote(map))
                .status,
            1)
      << "at full size the copy's map does not fit";
}

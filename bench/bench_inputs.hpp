#pragma once
// The benchmarks' input: the sample photo resized to one size, with an
// importance file made from it (blurred grey, stretched to 50..250). Made
// once per size; the files are removed at exit.

#include <unistd.h>

#include <cstdio>
#include <map>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <utility>

namespace benchinputs {

struct Input {
  cv::Mat src;
  std::string salPath;
};

inline const Input& InputFor(int w, int h) {
  struct Cache {
    std::map<std::pair<int, int>, Input> inputs;
    ~Cache() {
      for (const auto& [size, in] : inputs) std::remove(in.salPath.c_str());
    }
  };
  static Cache cache;
  auto it = cache.inputs.find({w, h});
  if (it != cache.inputs.end()) return it->second;
  Input in;
  cv::Mat photo = cv::imread(std::string(QUADRIX_SOURCE_DIR) + "/data/building.jpg");
  cv::resize(photo, in.src, {w, h}, 0, 0, cv::INTER_CUBIC);
  cv::Mat sal;
  cv::cvtColor(in.src, sal, cv::COLOR_BGR2GRAY);
  cv::GaussianBlur(sal, sal, {0, 0}, w / 100.0);
  cv::normalize(sal, sal, 50, 250, cv::NORM_MINMAX);
  in.salPath = "/tmp/quadrix-bench-sal-" + std::to_string(w) + "x" + std::to_string(h) + "-" +
               std::to_string(::getpid()) + ".png";
  cv::imwrite(in.salPath, sal);
  return cache.inputs.emplace(std::make_pair(w, h), std::move(in)).first->second;
}

}  // namespace benchinputs

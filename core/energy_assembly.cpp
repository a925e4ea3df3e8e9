// The energy assembly: line constraints, constraint units, row assembly with
// the residual matrices, and the fixed border coordinates.

#include <algorithm>
#include <cmath>
#include <map>
#include <opencv2/imgproc.hpp>
#include <sstream>

#include "base/cancel.hpp"
#include "base/check.hpp"
#include "core/resize_host.hpp"
#include "lines/detect_edge.hpp"
#include "saliency/zq_cv_helper.hpp"

namespace quadrix {

void ConstrainUnits::SetNumber(int count) {
  points.clear();
  indices.clear();
  n = count;
  QX_CHECK(n != 0);
  points.resize(static_cast<size_t>(n));
  indices.resize(static_cast<size_t>(n));
}

QuadLinePoints ChooseLinePoints(const cv::Mat& lineInd32S, int q, int C, int R, double margin) {
  const int quadCount = C * R;
  QuadLinePoints out;
  out.linePoint.assign(static_cast<size_t>(quadCount), cv::Point2d());
  std::vector<int32_t> best(static_cast<size_t>(quadCount), -1);
  std::vector<int32_t>& label = out.lineOfQuad;
  label.assign(static_cast<size_t>(quadCount), -1);

  // Each quad keeps the line pixel farthest from its border, the first in
  // scan order among equals.
  const int w = std::min(lineInd32S.cols, C * q);
  const int h = std::min(lineInd32S.rows, R * q);
  for (int y = 0; y < h; ++y) {
    const int32_t* row = lineInd32S.ptr<int32_t>(y);
    for (int x = 0; x < w; ++x) {
      const int32_t lambda = row[x];
      if (lambda <= 0) continue;
      const int t = std::min({x % q, q - x % q, y % q, q - y % q});
      const int quad = (y / q) * C + (x / q);
      if (t > best[quad] && static_cast<double>(t) > margin * q) {
        out.linePoint[quad] = cv::Point2d(x, y);
        label[quad] = lambda;
        best[quad] = t;
      }
    }
  }

  std::map<int32_t, std::vector<cv::Point>> byLabel;  // label -> quads (column, row)
  for (int j = 0; j < R; ++j)
    for (int i = 0; i < C; ++i)
      if (label[j * C + i] > 0) byLabel[label[j * C + i]].emplace_back(i, j);

  // Only lines through at least three quads constrain anything.
  for (auto& [lambda, cells] : byLabel) {
    if (cells.size() < 3) {
      for (const cv::Point& c : cells) label[c.y * C + c.x] = -1;
    } else {
      out.lines.push_back(std::move(cells));
    }
  }

  int P = (C + 1) * (R + 1);
  out.pointNumber.assign(static_cast<size_t>(quadCount), -1);
  for (int k = 0; k < quadCount; ++k)
    if (label[k] >= 1) out.pointNumber[k] = P++;
  out.pointCount = P;
  for (size_t u = 0; u < out.lines.size(); ++u)
    for (const cv::Point& c : out.lines[u]) label[c.y * C + c.x] = static_cast<int32_t>(u);
  return out;
}

void ResizeHost::DetectLines() {
  // The lines depend on the grey image alone: a host made for another
  // importance map keeps them.
  if (!lineLabels_.empty() && lineLabels_.size() == imgGray32F_.size()) return;
  std::vector<EdgeChain> chains;
  CDetectEdge detector(&chains, settings_.sigma);
  detector.SetImage(imgGray32F_);
  detector.CalFirDer();
  detector.NoneMaximalSuppress(settings_.edgeLowThreshold, settings_.edgeHighThreshold);
  detector.Link(settings_.minEdgeLength);
  lineLabels_ = detector.lineIndImg;
}

void ResizeHost::GetConstrainUnits(int out[2], std::vector<ConstrainUnits>& quads,
                                   std::vector<ConstrainUnits>& quad5s,
                                   std::vector<ConstrainUnits>& edges) {
  const int q = settings_.quadSize;
  const int C = quadCountX_;
  const int R = quadCountY_;
  QX_CHECK(imgSal_.channels() == 1 && imgSal_.depth() == CV_32F);
  // Quad indices below come from x / q and y / q.
  QX_CHECK(imgGray32F_.cols == C * q && imgGray32F_.rows == R * q);

  cv::Mat X, Y;
  ZqCvHelper::MeshGrid(0, imgGray32F_.cols, 0, imgGray32F_.rows, q, q, X, Y);
  // With the exact grid the rest positions are the photo's own pixels, so
  // the aligned analysis images only tell where things are.
  X *= restScaleX_;
  Y *= restScaleY_;
  DetectLines();
  CancellationPoint();
  const cv::Mat& lineInd = lineLabels_;
  const QuadLinePoints lines = ChooseLinePoints(lineInd, q, C, R, settings_.linePointMargin);
  const std::vector<int32_t>& label = lines.lineOfQuad;
  const std::vector<int32_t>& pointNo = lines.pointNumber;
  const std::vector<cv::Point2d>& linePoint = lines.linePoint;
  const std::vector<std::vector<cv::Point>>& kept = lines.lines;
  const int V = (C + 1) * (R + 1);
  const int P = lines.pointCount;

  cv::Mat weights;
  cv::resize(imgSal_, weights, cv::Size(C, R), 0, 0, cv::INTER_AREA);

  restCoords_.assign(2 * static_cast<size_t>(P), 0.0);
  linePointQuads_.assign(static_cast<size_t>(P - V), cv::Point());
  for (int j = 0; j <= R; ++j)
    for (int i = 0; i <= C; ++i) {
      const int p = j * (C + 1) + i;
      restCoords_[2 * p] = X.at<double>(j, i);
      restCoords_[2 * p + 1] = Y.at<double>(j, i);
    }

  for (int j = 0; j < R; ++j) {
    for (int i = 0; i < C; ++i) {
      const int k = j * C + i;
      const bool hasLine = label[k] >= 0;
      ConstrainUnits unit;
      unit.SetNumber(hasLine ? 5 : 4);
      const int B = (C + 1) * j + i;
      unit.indices[0] = B;
      unit.indices[1] = B + C + 1;
      unit.indices[2] = B + 1;
      unit.indices[3] = B + C + 2;
      unit.points[0] = {X.at<double>(j, i), Y.at<double>(j, i)};
      unit.points[1] = {X.at<double>(j + 1, i), Y.at<double>(j + 1, i)};
      unit.points[2] = {X.at<double>(j, i + 1), Y.at<double>(j, i + 1)};
      unit.points[3] = {X.at<double>(j + 1, i + 1), Y.at<double>(j + 1, i + 1)};
      if (hasLine) {
        const cv::Point2d rest(linePoint[k].x * restScaleX_, linePoint[k].y * restScaleY_);
        unit.indices[4] = pointNo[k];
        unit.points[4] = rest;
        restCoords_[2 * pointNo[k]] = rest.x;
        restCoords_[2 * pointNo[k] + 1] = rest.y;
        linePointQuads_[pointNo[k] - V] = cv::Point(i, j);
      }
      unit.weight = weights.at<float>(j, i);
      (hasLine ? quad5s : quads).push_back(unit);
    }
  }

  int rows = (8 * static_cast<int>(quads.size()) + 10 * static_cast<int>(quad5s.size())) *
             (settings_.useScaleTerm ? 2 : 1);

  for (const std::vector<cv::Point>& line : kept) {
    const int k = static_cast<int>(line.size());
    ConstrainUnits unit;
    unit.SetNumber(k);
    double sum = 0.0;
    for (int l = 0; l < k; ++l) {
      const int cell = line[l].y * C + line[l].x;
      unit.indices[l] = pointNo[cell];
      unit.points[l] =
          cv::Point2d(linePoint[cell].x * restScaleX_, linePoint[cell].y * restScaleY_);
      sum += weights.at<float>(line[l].y, line[l].x);
    }
    unit.weight = sum / k * settings_.lineWeight;
    edges.push_back(std::move(unit));
    rows += 2 * k;
  }

  out[0] = 2 * P;
  out[1] = rows;
}

namespace {

// B: 2n rows, x and y rows of each point; cols 4 (similarity) or 3 (scale).
cv::Mat ResidualMatrix(const ConstrainUnits& unit, bool similarity) {
  const int n = unit.n;
  double mx = 0.0;
  double my = 0.0;
  for (int i = 0; i < n; ++i) {
    mx += unit.points[i].x;
    my += unit.points[i].y;
  }
  mx /= n;
  my /= n;
  const int cols = similarity ? 4 : 3;
  cv::Mat B = cv::Mat::zeros(2 * n, cols, CV_64FC1);
  for (int i = 0; i < n; ++i) {
    const double dx = unit.points[i].x - mx;
    const double dy = unit.points[i].y - my;
    double* rx = B.ptr<double>(2 * i);
    double* ry = B.ptr<double>(2 * i + 1);
    if (similarity) {
      rx[0] = dx, rx[1] = -dy, rx[2] = 1, rx[3] = 0;
      ry[0] = dy, ry[1] = dx, ry[2] = 0, ry[3] = 1;
    } else {
      rx[0] = dx, rx[1] = 1, rx[2] = 0;
      ry[0] = dy, ry[1] = 0, ry[2] = 1;
    }
  }
  cv::Mat G, T, C;
  cv::mulTransposed(B, G, true);
  cv::invert(G, G, cv::DECOMP_EIG);
  cv::gemm(B, G, 1.0, cv::noArray(), 1.0, T);
  cv::gemm(T, B, 1.0, cv::noArray(), 0.0, C, cv::GEMM_2_T);
  for (int d = 0; d < 2 * n; ++d) C.at<double>(d, d) -= 1.0;
  return C;
}

}  // namespace

cv::Mat ComputeSimilarityMatrix(const ConstrainUnits& unit) { return ResidualMatrix(unit, true); }

cv::Mat ComputeScaleMatrix(const ConstrainUnits& unit) { return ResidualMatrix(unit, false); }

void ResizeHost::AppendUnitRows(const std::vector<ConstrainUnits>& list, TripletMatrix& a,
                                bool blend, UnitResiduals* cache) {
  if (blend && settings_.printDiagnostics) {
    std::ostringstream line;
    line << "beta=" << settings_.beta;
    PrintDiagnostic(line.str());
  }
  const bool cached = cache != nullptr && cache->similarity.size() == list.size() &&
                      (!blend || cache->scale.size() == list.size());
  if (cache != nullptr && !cached) {
    cache->similarity.clear();
    cache->scale.clear();
  }
  std::vector<int> colMap;
  for (size_t u = 0; u < list.size(); ++u) {
    const ConstrainUnits& unit = list[u];
    cv::Mat terms[2];
    if (cached) {
      terms[0] = cache->similarity[u];
      if (blend) terms[1] = cache->scale[u];
    } else {
      terms[0] = ComputeSimilarityMatrix(unit);
      if (blend) terms[1] = ComputeScaleMatrix(unit);
      if (cache != nullptr) {
        cache->similarity.push_back(terms[0]);
        if (blend) cache->scale.push_back(terms[1]);
      }
    }
    const int termCount = blend ? 2 : 1;
    for (int k = 0; k < termCount; ++k) {
      colMap.resize(2 * static_cast<size_t>(unit.n));
      for (int l = 0; l < unit.n; ++l) {
        colMap[2 * l] = 2 * unit.indices[l];
        colMap[2 * l + 1] = 2 * unit.indices[l] + 1;
      }
      const double w = unit.weight;
      double factor = w;
      if (blend) {
        const double f = std::pow(w, settings_.beta);
        factor = k == 0 ? w * (1 - f) : w * f;
      }
      const cv::Mat& m = terms[k];
      for (int r = 0; r < m.rows; ++r) {
        ++a.m;
        const double* row = m.ptr<double>(r);
        for (int c = 0; c < m.cols; ++c) a.entries.push_back({a.m - 1, colMap[c], row[c] * factor});
      }
    }
  }
}

void BuildUniformGrid(int vx, int vy, int width, int height, std::vector<float>& xy) {
  xy.resize(2 * static_cast<size_t>(vx) * static_cast<size_t>(vy));
  const float sx = static_cast<float>(static_cast<double>(width) / (vx - 1));
  const float sy = static_cast<float>(static_cast<double>(height) / (vy - 1));
  for (int j = 0; j < vy; ++j) {
    const float y = static_cast<float>(j * static_cast<double>(sy));
    for (int i = 0; i < vx; ++i) {
      const size_t v = static_cast<size_t>(j) * vx + i;
      xy[2 * v] = static_cast<float>(i * static_cast<double>(sx));
      xy[2 * v + 1] = y;
    }
  }
}

void BuildFixedIndices(std::vector<int32_t>& ind, int qx, int qy) {
  ind.clear();
  for (int i = 0; i <= qx; ++i) {
    ind.push_back(2 * i + 1);
    ind.push_back(2 * (qy * (qx + 1) + i) + 1);
  }
  for (int j = 0; j <= qy; ++j) {
    ind.push_back(2 * j * (qx + 1));
    ind.push_back(2 * (j * (qx + 1) + qx));
  }
}

void BuildFixedValues(std::vector<double>& vals, int qx, int qy, int newWidth, int newHeight) {
  vals.clear();
  for (int i = 0; i <= qx; ++i) {
    vals.push_back(0.0);
    vals.push_back(static_cast<double>(newHeight));
  }
  for (int j = 0; j <= qy; ++j) {
    vals.push_back(0.0);
    vals.push_back(static_cast<double>(newWidth));
  }
}

}  // namespace quadrix

#include "engine/bridge.hpp"

#include <cstdio>
#include <string>

namespace quadrix {

bool TripletMatrix::PutToEngine(NumericEngine* engine, const char* name) const {
  const size_t c = entries.size();
  std::vector<double> iv(c), jv(c), sv(c);
  for (size_t k = 0; k < c; ++k) {
    iv[k] = static_cast<double>(entries[k].row + 1);
    jv[k] = static_cast<double>(entries[k].col + 1);
    sv[k] = entries[k].value;
  }
  if (!engine->PutVariable("iv", EngineArray::Doubles(std::move(iv)))) return false;
  if (!engine->PutVariable("jv", EngineArray::Doubles(std::move(jv)))) return false;
  if (!engine->PutVariable("sv", EngineArray::Doubles(std::move(sv)))) return false;
  char line[1024];
  std::snprintf(line, sizeof line, "%s=sparse(iv,jv,sv,%d,%d);", name, m, n);
  return engine->EvalString(line);
}

bool PutVals(NumericEngine* engine, const std::vector<double>& vals) {
  return engine->PutVariable("vals", EngineArray::Doubles(vals));
}

bool PutInd(NumericEngine* engine, const std::vector<int32_t>& ind) {
  return engine->PutVariable("ind", EngineArray::Int32s(ind));
}

const char* InversePermutationLine() {
  static const std::string line = [] {
    char buf[1024];
    std::snprintf(
        buf, sizeof buf,
        "permSrc_Size=size(%s);%s=zeros(permSrc_Size);\nfor i=1:permSrc_Size(2)\n%s(%s(i))=i;"
        "\nend",
        "P", "P1", "P1", "P");
    return std::string(buf);
  }();
  return line.c_str();
}

}  // namespace quadrix

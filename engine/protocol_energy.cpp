// The back end for engines spoken to through command lines (GNU Octave). The
// factorisation and the unguarded solve are exactly the bridge's sequences;
// a solve with active guard rows is the engine's own sparse solve of the
// equality-constrained normal equations, on variables of its own (all named
// g...), so the bridge's variables are left as the bridge set them.

#include <cmath>
#include <string>

#include "engine/energy_backend.hpp"

namespace quadrix {

namespace {

class ProtocolBackend final : public EnergyBackend {
 public:
  explicit ProtocolBackend(NumericEngine* engine) : engine_(engine) {}

  bool Factor(TripletMatrix a, const std::vector<int32_t>& known, const std::vector<double>& knownW,
              const std::vector<double>& knownH, const GuardRows&, std::string& why) override {
    n_ = a.n;
    knownW_ = knownW;
    knownH_ = knownH;
    if (!a.PutToEngine(engine_))
      throw EngineError(std::string("numeric engine (") + engine_->Name() +
                        ") failed to build the energy matrix: " + engine_->LastError());
    std::vector<int32_t> ind1(known);
    for (int32_t& v : ind1) v += 1;
    if (!PutInd(engine_, ind1))
      throw EngineError(std::string("numeric engine failed to take ind: ") + engine_->LastError());
    for (const char* line : kFactorLines) Eval(line);
    Eval(InversePermutationLine());
    // Only this line may fail without the engine being at fault: the
    // matrix is then not positive definite.
    if (engine_->EvalString(kCholLine)) return true;
    why = engine_->LastError();
    return false;
  }

  void Solve(double W, double H, std::vector<double>& x) override {
    std::vector<double> vals(knownW_.size());
    for (size_t k = 0; k < vals.size(); ++k) vals[k] = W * knownW_[k] + H * knownH_[k];
    SolveFor(vals, x);
  }

  void SolveActive(const std::vector<int32_t>& active, const GuardRows& guard, const ActiveBasis*,
                   ActiveBasis& out) override {
    if (active.empty()) {
      SolveFor(knownW_, out.xw);
      SolveFor(knownH_, out.xh);
      out.lw.clear();
      out.lh.clear();
      return;
    }
    std::vector<double> gi, gj, gs, gb1, gb2;
    for (size_t i = 0; i < active.size(); ++i) {
      const int r = active[i];
      for (int e = guard.start[r]; e < guard.start[r + 1]; ++e) {
        gi.push_back(static_cast<double>(i + 1));
        gj.push_back(static_cast<double>(guard.col[e] + 1));
        gs.push_back(guard.coef[e]);
      }
      gb1.push_back(guard.boundW[r]);
      gb2.push_back(guard.boundH[r]);
    }
    Put("gi", std::move(gi));
    Put("gj", std::move(gj));
    Put("gs", std::move(gs));
    Put("gb1", std::move(gb1));
    Put("gb2", std::move(gb2));
    Put("gv1", knownW_);
    Put("gv2", knownH_);
    // The equality-constrained normal equations of the free coordinates:
    // [xr0 Gr'; Gr 0]·[xr; μ] = [Ar'·(b − A(:, ind)·v); g − G(:, ind)·v],
    // both unit sizes at once; the multipliers are −μ.
    Eval("gk=numel(gb1);G=sparse(gi,gj,gs,gk,N);Gr=G(:,r);gvals=[gv1,gv2];");
    Eval("gz=[xr0,Gr';Gr,sparse(gk,gk)]\\[Ar'*(b*[1,1]-A(:,ind)*gvals);[gb1,gb2]-G(:,ind)*gvals];");
    Eval(
        "gx=zeros(N,2);gx(ind,:)=gvals;gx(r,:)=gz(1:numel(r),:);gl=-gz(numel(r)+1:end,:);"
        "gx1=gx(:,1);gx2=gx(:,2);gl1=gl(:,1);gl2=gl(:,2);");
    Get("gx1", out.xw, static_cast<size_t>(n_));
    Get("gx2", out.xh, static_cast<size_t>(n_));
    Get("gl1", out.lw, active.size());
    Get("gl2", out.lh, active.size());
  }

 private:
  void Eval(const char* line) {
    if (!engine_->EvalString(line))
      throw EngineError(std::string("numeric engine (") + engine_->Name() + ") failed on \"" +
                        line + "\": " + engine_->LastError());
  }
  void Put(const char* name, std::vector<double> v) {
    if (!engine_->PutVariable(name, EngineArray::Doubles(std::move(v))))
      throw EngineError(std::string("numeric engine failed to take ") + name + ": " +
                        engine_->LastError());
  }
  void Get(const char* name, std::vector<double>& out, size_t rows) {
    EngineArray a;
    if (!engine_->GetVariable(name, a) || a.cls != EngineArray::Class::Double)
      throw EngineError(std::string("numeric engine returned no ") + name + ": " +
                        engine_->LastError());
    if (a.real.size() != rows)
      throw EngineError(std::string("numeric engine returned ") + std::to_string(a.real.size()) +
                        " values of " + name + " instead of " + std::to_string(rows));
    out = std::move(a.real);
  }

  // The bridge's solve sequence for the fixed values `vals`.
  void SolveFor(const std::vector<double>& vals, std::vector<double>& x) {
    if (!PutVals(engine_, vals))
      throw EngineError(std::string("numeric engine failed to take vals: ") + engine_->LastError());
    Eval(kRhsLine);
    Eval(kTriSolveLine);
    Eval(kUnpermuteLine);
    Eval(kAssembleLine);
    Get("x", x, static_cast<size_t>(n_));
  }

  NumericEngine* engine_;
  int n_ = 0;
  std::vector<double> knownW_, knownH_;
};

}  // namespace

std::unique_ptr<EnergyBackend> MakeProtocolBackend(NumericEngine* engine) {
  return std::make_unique<ProtocolBackend>(engine);
}

}  // namespace quadrix

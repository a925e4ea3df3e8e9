#pragma once
// What EnergySolver needs from the linear algebra underneath: a factor of
// the energy with the fixed coordinates eliminated, the unguarded minimiser,
// and the minimiser with some guard rows held as equalities.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/bridge.hpp"
#include "engine/cholmod_factor.hpp"
#include "engine/energy_solver.hpp"

namespace quadrix {

// One active set at the unit sizes (1, 0) and (0, 1): the minimiser with the
// active rows held as equalities, and its multipliers (one per active row;
// every one is >= 0 at a constrained minimum), so that at the size (W, H)
// x = W·xw + H·xh and λ = W·lw + H·lh.
struct ActiveBasis {
  std::vector<double> xw, xh;  // all n coordinates
  std::vector<double> lw, lh;
};

class EnergyBackend {
 public:
  virtual ~EnergyBackend() = default;
  // False when the energy is not positive definite on the free coordinates;
  // `why` then says so in the engine's words.
  virtual bool Factor(TripletMatrix a, const std::vector<int32_t>& known,
                      const std::vector<double>& knownW, const std::vector<double>& knownH,
                      const GuardRows& guard, std::string& why) = 0;
  // The unguarded minimiser for the size (W, H).
  virtual void Solve(double W, double H, std::vector<double>& x) = 0;
  // The minimiser with the rows `active` (ascending) of `guard` held as
  // equalities. `warm` may hold multipliers to start from (per active row).
  virtual void SolveActive(const std::vector<int32_t>& active, const GuardRows& guard,
                           const ActiveBasis* warm, ActiveBasis& out) = 0;
  // Most active rows held through a Schur complement before a back end that
  // has one turns to another way.
  virtual void SetSchurLimit(size_t) {}
  // A new size is about to be solved; `near` when its aspect ratio is close
  // to the last one's (a drag).
  virtual void StartSize(bool) {}
  // The factor's analysis, for a back end about to factor an energy of the
  // same pattern (say, after the importance map was painted); null when
  // there is none.
  virtual std::shared_ptr<const CholmodFactor> Analysis() const { return nullptr; }
  // An analysis to take when the pattern to factor is exactly its own.
  virtual void OfferAnalysis(std::shared_ptr<const CholmodFactor>) {}
};

// In process: CHOLMOD; `threads`: may solve the two unit sizes of a large
// guarded solve on two threads.
std::unique_ptr<EnergyBackend> MakeCholmodBackend(bool threads = true);
// Through the bridge's command lines on a protocol engine.
std::unique_ptr<EnergyBackend> MakeProtocolBackend(NumericEngine* engine);

}  // namespace quadrix

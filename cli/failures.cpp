#include "cli/failures.hpp"

#include <new>
#include <opencv2/core.hpp>

#include "base/check.hpp"
#include "core/inputs.hpp"
#include "core/memory_budget.hpp"
#include "engine/engine.hpp"
#include "interop_gl/pictures.hpp"

namespace quadrix {

namespace {

std::string Trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

}  // namespace

Failure DescribeFailure(std::exception_ptr failure) {
  Failure f;
  try {
    std::rethrow_exception(failure);
  } catch (const InputError& e) {
    f.text = std::string(e.what()) +
             (e.cause() == InputError::Cause::kTooLarge ? " (raise it with --max-pixels)" : "");
  } catch (const MemoryLimitError& e) {
    f.text = std::string(e.what()) + " (raise it with --max-memory or QUADRIX_MAX_MEMORY)";
  } catch (const AssertionError& e) {
    f.text = Trimmed(e.what());
    f.ownLine = true;
  } catch (const Error& e) {
    f.text = e.what();
    f.fatal = e.kind() == ErrorKind::kEffect;
    f.engineBroken = e.kind() == ErrorKind::kEngine;
  } catch (const cv::Exception& e) {  // OpenCV's own checks: the same one-line report
    f.text = Trimmed(e.what());
    f.ownLine = true;
  } catch (const FilterOutOfMemory& e) {
    f.text = e.what();
    f.ownLine = true;
  } catch (const std::bad_alloc&) {
    f.text = "out of memory";
  } catch (const std::exception& e) {
    f.text = e.what();
  } catch (...) {
    f.text = "an unknown failure";
  }
  return f;
}

}  // namespace quadrix

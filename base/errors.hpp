#pragma once
// The one error base of the project. Library code throws an Error (or a
// class derived from it) and never ends the process; each program maps the
// kinds to its exit statuses and boxes in one place.

#include <new>
#include <stdexcept>
#include <string>

namespace quadrix {

enum class ErrorKind {
  kInput,      // a file or value the user gave cannot be used
  kOutput,     // a result cannot be written
  kEngine,     // the numeric engine failed or cannot be started
  kEffect,     // nothing can be drawn: the effect file is missing or broken
  kInternal,   // a failed internal check: a fault of the program
  kCancelled,  // the user called the work off (base/cancel.hpp)
};

class Error : public std::runtime_error {
 public:
  Error(ErrorKind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  ErrorKind kind() const { return kind_; }

 private:
  ErrorKind kind_;
};

// An exhausted allocation in the filters. The programs report it on standard
// error as "kurvex: Out of memory" and end with status 1. A bad_alloc, so
// that whoever handles memory running out handles this one too.
class FilterOutOfMemory : public std::bad_alloc {
 public:
  const char* what() const noexcept override { return "kurvex: Out of memory"; }
};

// Throws FilterOutOfMemory.
[[noreturn]] void OutOfMemory();

}  // namespace quadrix

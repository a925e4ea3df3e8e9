#pragma once
// What quadrix-cli says when a photo fails: the one place that maps the
// library's errors to the program's messages.

#include <exception>
#include <string>

namespace quadrix {

struct Failure {
  std::string text;           // one line, without the program's name
  bool ownLine = false;       // printed as it stands (internal check reports)
  bool fatal = false;         // not the photo's fault (the effect file): a batch cannot go on
  bool engineBroken = false;  // the engine connection is lost
};

Failure DescribeFailure(std::exception_ptr failure);

}  // namespace quadrix

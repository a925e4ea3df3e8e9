#pragma once
// A small client for GNU Octave run as a child process (octave-cli): put a
// variable, evaluate a command line, get a variable. Commands go to the
// child's standard input, each wrapped so that its end and any error come
// back as a marker line on standard output. Arrays cross as binary files
// (little-endian IEEE 754 doubles or 32-bit ints), never as decimal text.
//
// The child ends when its standard input closes, and is killed when the
// thread that started it dies, so it never outlives this process.

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>

#include "engine/engine.hpp"

namespace quadrix {

struct OctaveOptions {
  // Looked up in PATH unless it contains a '/'.
  std::string program = "octave-cli";
  // Longest wait for one answer, start-up included; the child is killed
  // when it is exceeded.
  std::chrono::milliseconds timeout = std::chrono::minutes(5);
};

// Owns a file descriptor.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.Release()) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  int Get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Owns a child process: kills and reaps it unless it was reaped already.
class ChildProcess {
 public:
  ChildProcess() = default;
  explicit ChildProcess(pid_t pid) : pid_(pid) {}
  ChildProcess(ChildProcess&& o) noexcept : pid_(o.pid_), status_(o.status_) { o.pid_ = -1; }
  ChildProcess& operator=(ChildProcess&& o) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ~ChildProcess() { Kill(); }

  pid_t Pid() const { return pid_; }
  bool Running() const { return pid_ > 0; }
  // Waits up to `limit` for the child to end; true once it has been reaped.
  bool WaitFor(std::chrono::milliseconds limit);
  void Kill();
  // How it ended, e.g. "exit status 3" or "killed by signal 9".
  std::string Describe() const;

 private:
  pid_t pid_ = -1;
  int status_ = -1;  // waitpid status once reaped, -1 while unknown
};

class OctaveClient {
 public:
  // Starts the program and waits for its first answer. Throws EngineError
  // "cannot start the numeric engine '<program>': <reason>" on failure.
  explicit OctaveClient(const OctaveOptions& options = {});
  // Closes the child's input and gives it a moment to end, then kills it.
  ~OctaveClient();
  OctaveClient(const OctaveClient&) = delete;
  OctaveClient& operator=(const OctaveClient&) = delete;

  // Puts a column under `name`: class double or int32 in the engine.
  bool Put(const std::string& name, const EngineArray& value);
  // Runs the text as it stands (any number of lines) in the base workspace.
  bool Eval(const std::string& text);
  // Copies out a real vector of class double or int32, every element in
  // column order; anything else is an error.
  bool Get(const std::string& name, EngineArray& out);

  const std::string& LastError() const { return error_; }
  pid_t Pid() const { return child_.Pid(); }
  // False once the child has ended or was stopped after a time-out.
  bool Alive() const { return child_.Running() && !dead_; }

 private:
  struct Reply {
    bool ok = false;
    std::string text;  // after "OK " or "ERR "
  };
  // Sends Octave code wrapped in try/catch with the end marker; `okText` is
  // an Octave expression whose value (char) follows "OK ". False when no
  // reply came (error_ says why); otherwise the reply.
  bool Request(const std::string& code, const std::string& okText, Reply& reply);
  bool Send(const std::string& text);
  bool ReadReply(const std::string& marker, Reply& reply);
  bool Fail(std::string message);
  bool Lost(const std::string& what);

  OctaveOptions options_;
  std::string name_;     // the program's file name, for messages
  std::string program_;  // its full path
  std::string tempDir_;
  ChildProcess child_;
  UniqueFd in_;   // the child's standard input
  UniqueFd out_;  // the child's standard output and error
  std::string buffer_;
  std::string nonce_;
  unsigned long long sequence_ = 0;
  bool dead_ = false;
  std::string deadReason_;
  std::string error_;
};

std::unique_ptr<NumericEngine> MakeOctaveEngine(const OctaveOptions& options);

}  // namespace quadrix

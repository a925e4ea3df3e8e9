#include "engine/octave_client.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

namespace quadrix {

UniqueFd& UniqueFd::operator=(UniqueFd&& o) noexcept {
  if (this != &o) Reset(o.Release());
  return *this;
}

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

ChildProcess& ChildProcess::operator=(ChildProcess&& o) noexcept {
  if (this != &o) {
    Kill();
    pid_ = o.pid_;
    status_ = o.status_;
    o.pid_ = -1;
  }
  return *this;
}

bool ChildProcess::WaitFor(std::chrono::milliseconds limit) {
  if (pid_ <= 0) return true;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      status_ = status;
      pid_ = -1;
      return true;
    }
    // Reaped elsewhere (SIGCHLD ignored): nothing left to wait for.
    if (r < 0 && errno != EINTR) {
      pid_ = -1;
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void ChildProcess::Kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  pid_t r;
  do r = ::waitpid(pid_, &status, 0);
  while (r < 0 && errno == EINTR);
  if (r == pid_) status_ = status;
  pid_ = -1;
}

std::string ChildProcess::Describe() const {
  if (status_ < 0) return "unknown status";
  if (WIFEXITED(status_)) return "exit status " + std::to_string(WEXITSTATUS(status_));
  if (WIFSIGNALED(status_)) return "killed by signal " + std::to_string(WTERMSIG(status_));
  return "status " + std::to_string(status_);
}

namespace {

// Names the engine accepts for a variable.
bool IsIdentifier(const std::string& s) {
  if (s.empty() || s.size() > 63 || !std::isalpha(static_cast<unsigned char>(s[0]))) return false;
  for (char c : s)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  return true;
}

// An Octave expression for exactly these bytes: printable ASCII in quoted
// runs (quotes doubled), every other byte as char(n), so that no line feed
// or control character reaches the parser raw.
std::string OctaveString(const std::string& text) {
  std::string out = "[''";
  bool inRun = false;
  for (unsigned char c : text) {
    if (c >= 32 && c < 127) {
      if (!inRun) out += ", '";
      inRun = true;
      out += c == '\'' ? std::string("''") : std::string(1, static_cast<char>(c));
    } else {
      if (inRun) out += "'";
      inRun = false;
      out += ", char(" + std::to_string(c) + ")";
    }
  }
  if (inRun) out += "'";
  return out + "]";
}

// Octave code from a template: each {key} replaced by its value, in one pass
// so that a value is never searched again.
std::string Fill(const std::string& text,
                 std::initializer_list<std::pair<std::string, std::string>> values) {
  std::string out;
  for (size_t k = 0; k < text.size();) {
    bool replaced = false;
    for (const auto& [key, value] : values)
      if (text.compare(k, key.size(), key) == 0) {
        out += value;
        k += key.size();
        replaced = true;
        break;
      }
    if (!replaced) out += text[k++];
  }
  return out;
}

std::string Errno(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// Moves a descriptor above standard input, output and error, so that
// setting up the child's 0, 1 and 2 cannot clobber it.
UniqueFd AboveStdio(int fd) {
  if (fd < 0 || fd > 2) return UniqueFd(fd);
  UniqueFd low(fd);
  return UniqueFd(::fcntl(fd, F_DUPFD_CLOEXEC, 3));
}

std::string FindProgram(const std::string& program, std::string& why) {
  auto executable = [](const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
  };
  if (program.find('/') != std::string::npos) {
    if (executable(program)) return program;
    why = ::access(program.c_str(), F_OK) == 0 ? "not an executable file" : "no such file";
    return {};
  }
  const char* env = std::getenv("PATH");
  std::string path = env ? env : "/usr/local/bin:/usr/bin:/bin";
  std::stringstream dirs(path);
  for (std::string dir; std::getline(dirs, dir, ':');) {
    const std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + program;
    if (executable(candidate)) return candidate;
  }
  why = "not found in PATH (GNU Octave is not installed; on Debian it is the package 'octave')";
  return {};
}

// Closes first..last, or first and everything above when last is -1 (then
// up to maxFd without close_range). Only system calls: this runs between
// fork and exec.
void CloseFrom(int first, int last, int maxFd) {
  if (last >= 0 && first > last) return;
  const unsigned top = last < 0 ? ~0U : static_cast<unsigned>(last);
  if (::close_range(static_cast<unsigned>(first), top, 0) == 0) return;
  for (int fd = first; fd <= (last < 0 ? maxFd : last); ++fd) ::close(fd);
}

// One transfer file, created private and removed when done.
class TempFile {
 public:
  explicit TempFile(const std::string& dir) {
    std::string tmpl = dir + "/quadrix-octave-XXXXXX";
    fd_.Reset(::mkostemp(tmpl.data(), O_CLOEXEC));
    if (fd_) path_ = tmpl;
  }
  ~TempFile() {
    if (fd_) ::unlink(path_.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  explicit operator bool() const { return static_cast<bool>(fd_); }
  const std::string& Path() const { return path_; }
  int Fd() const { return fd_.Get(); }

 private:
  std::string path_;
  UniqueFd fd_;
};

bool WriteAll(int fd, const char* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t w = ::write(fd, data + done, size - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    done += static_cast<size_t>(w);
  }
  return true;
}

bool ReadAll(int fd, char* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t r = ::pread(fd, data + done, size - done, static_cast<off_t>(done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    done += static_cast<size_t>(r);
  }
  return true;
}

template <typename T>
void SwapBytes(std::vector<T>& values) {
  for (T& v : values) {
    char* b = reinterpret_cast<char*>(&v);
    std::reverse(b, b + sizeof(T));
  }
}

// The transfer files are little-endian whatever this machine is.
template <typename T>
bool WriteLittleEndian(int fd, const std::vector<T>& values) {
  if constexpr (std::endian::native == std::endian::little) {
    return WriteAll(fd, reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T));
  } else {
    std::vector<T> swapped = values;
    SwapBytes(swapped);
    return WriteAll(fd, reinterpret_cast<const char*>(swapped.data()), swapped.size() * sizeof(T));
  }
}

template <typename T>
bool ReadLittleEndian(int fd, std::vector<T>& values, size_t count) {
  values.resize(count);
  if (!ReadAll(fd, reinterpret_cast<char*>(values.data()), count * sizeof(T))) return false;
  if constexpr (std::endian::native != std::endian::little) SwapBytes(values);
  return true;
}

std::string Seconds(std::chrono::milliseconds t) {
  std::ostringstream s;
  s << t.count() / 1000.0 << " s";
  return s.str();
}

// The last non-empty line of what the engine printed, for messages.
std::string LastLine(const std::string& text) {
  const size_t end = text.find_last_not_of("\r\n \t");
  if (end == std::string::npos) return {};
  const size_t newline = text.rfind('\n', end);
  const size_t start = newline == std::string::npos ? 0 : newline + 1;
  std::string line = text.substr(start, end + 1 - start);
  if (line.size() > 300) line = line.substr(0, 300) + "...";
  return line;
}

}  // namespace

OctaveClient::OctaveClient(const OctaveOptions& options) : options_(options) {
  auto cannot = [&](const std::string& why) {
    return EngineError("cannot start the numeric engine '" + options_.program + "': " + why);
  };
  name_ = options_.program.substr(options_.program.rfind('/') + 1);
  std::string why;
  program_ = FindProgram(options_.program, why);
  if (program_.empty()) throw cannot(why);
  const char* tmp = std::getenv("TMPDIR");
  tempDir_ = tmp && *tmp ? tmp : "/tmp";

  // Standard input is a socket so that writing to a dead engine is an
  // error (MSG_NOSIGNAL) rather than SIGPIPE; all ends close on exec.
  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
    throw cannot(Errno("socketpair"));
  UniqueFd inParent = AboveStdio(sv[0]), inChild = AboveStdio(sv[1]);
  int pv[2];
  if (::pipe2(pv, O_CLOEXEC) != 0) throw cannot(Errno("pipe"));
  UniqueFd outParent = AboveStdio(pv[0]), outChild = AboveStdio(pv[1]);
  if (::pipe2(pv, O_CLOEXEC) != 0) throw cannot(Errno("pipe"));
  UniqueFd execRead = AboveStdio(pv[0]), execWrite = AboveStdio(pv[1]);
  if (!inParent || !inChild || !outParent || !outChild || !execRead || !execWrite)
    throw cannot(Errno("fcntl"));

  // Everything the child needs is prepared before fork.
  std::vector<std::string> args = {program_,           "--no-gui", "--norc",
                                   "--no-history",     "--quiet",  "--no-window-system",
                                   "--no-line-editing"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  struct rlimit lim {};
  const int maxFd = ::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY
                        ? static_cast<int>(std::min<rlim_t>(lim.rlim_cur, 1 << 20))
                        : 1 << 16;
  const pid_t parent = ::getpid();
  const int in = inChild.Get(), out = outChild.Get(), err = execWrite.Get();

  const pid_t pid = ::fork();
  if (pid < 0) throw cannot(Errno("fork"));
  if (pid == 0) {
    // Own process group: a terminal's Ctrl-C is for us, not the engine.
    ::setpgid(0, 0);
    // Killed when the thread that started it dies, even without EOF.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &dfl, nullptr);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0) {
      const int e = errno;
      (void)!::write(err, &e, sizeof e);
      ::_exit(127);
    }
    // Nothing else of ours is inherited, close-on-exec or not.
    CloseFrom(3, err - 1, maxFd);
    CloseFrom(err + 1, -1, maxFd);
    ::execv(argv[0], argv.data());
    const int e = errno;
    (void)!::write(err, &e, sizeof e);
    ::_exit(127);
  }
  child_ = ChildProcess(pid);
  inChild.Reset();
  outChild.Reset();
  execWrite.Reset();
  in_ = std::move(inParent);
  out_ = std::move(outParent);

  int execErrno = 0;
  ssize_t r;
  do r = ::read(execRead.Get(), &execErrno, sizeof execErrno);
  while (r < 0 && errno == EINTR);
  if (r > 0) {
    child_.WaitFor(std::chrono::seconds(1));
    throw cannot(std::strerror(execErrno));
  }

  std::random_device rd;
  std::ostringstream nonce;
  nonce << std::hex << rd() << rd();
  nonce_ = nonce.str();

  Reply reply;
  if (!Request("more off; page_screen_output(false);", "version()", reply)) throw cannot(error_);
  if (!reply.ok) throw cannot("it refused the set-up: " + reply.text);
}

OctaveClient::~OctaveClient() {
  // End of input ends the engine; wait a little for a clean exit.
  in_.Reset();
  if (!dead_) child_.WaitFor(std::chrono::seconds(2));
  child_.Kill();
}

bool OctaveClient::Fail(std::string message) {
  error_ = std::move(message);
  return false;
}

bool OctaveClient::Lost(const std::string& what) {
  dead_ = true;
  in_.Reset();
  if (!child_.WaitFor(std::chrono::seconds(1))) child_.Kill();
  deadReason_ = what + " (" + child_.Describe() + ")";
  // Whatever it said last may still wait in the pipe.
  for (int i = 0; i < 64 && out_.Get() >= 0; ++i) {
    pollfd p{out_.Get(), POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) break;
    char chunk[4096];
    const ssize_t r = ::read(out_.Get(), chunk, sizeof chunk);
    if (r <= 0) break;
    buffer_.append(chunk, static_cast<size_t>(r));
  }
  const std::string last = LastLine(buffer_);
  if (!last.empty()) deadReason_ += ": " + last;
  buffer_.clear();
  return Fail(deadReason_);
}

bool OctaveClient::Send(const std::string& text) {
  const auto deadline = std::chrono::steady_clock::now() + options_.timeout;
  size_t done = 0;
  while (done < text.size()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{in_.Get(), POLLOUT, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(std::max<long long>(0, left.count())));
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) {
      child_.Kill();
      return Lost(name_ + " took no input for " + Seconds(options_.timeout) + " and was stopped");
    }
    const ssize_t w =
        ::send(in_.Get(), text.data() + done, text.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (w < 0) return Lost(name_ + " ended unexpectedly");
    done += static_cast<size_t>(w);
  }
  return true;
}

bool OctaveClient::ReadReply(const std::string& marker, Reply& reply) {
  const auto deadline = std::chrono::steady_clock::now() + options_.timeout;
  const std::string head = "\n" + marker + " ";
  for (;;) {
    const size_t at = buffer_.find(head);
    const size_t end = at == std::string::npos ? at : buffer_.find('\n', at + head.size());
    if (end != std::string::npos) {
      const std::string line = buffer_.substr(at + head.size(), end - at - head.size());
      buffer_.erase(0, end + 1);
      reply.ok = line.rfind("OK", 0) == 0;
      reply.text = line.size() > 3 ? line.substr(3) : std::string();
      if (!reply.ok && line.rfind("ERR", 0) == 0)
        reply.text = line.size() > 4 ? line.substr(4) : "";
      return true;
    }
    // Keep only a tail of unrelated output, for messages.
    if (at == std::string::npos && buffer_.size() > 65536) buffer_.erase(0, buffer_.size() - 4096);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{out_.Get(), POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(std::max<long long>(0, left.count())));
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) {
      child_.Kill();
      return Lost("no answer from " + name_ + " within " + Seconds(options_.timeout) +
                  "; it was stopped");
    }
    char chunk[65536];
    const ssize_t r = ::read(out_.Get(), chunk, sizeof chunk);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return Lost(name_ + " ended unexpectedly");
    buffer_.append(chunk, static_cast<size_t>(r));
  }
}

bool OctaveClient::Request(const std::string& code, const std::string& okText, Reply& reply) {
  if (dead_) return Fail("the numeric engine is no longer running: " + deadReason_);
  const std::string marker = "@@quadrix-" + nonce_ + "-" + std::to_string(++sequence_);
  // One line; the marker starts a line of its own whatever was printed.
  const std::string line = "try, " + code + " fprintf('\\n%s OK %s\\n', '" + marker + "', " +
                           okText + "); catch __qx_e, fprintf('\\n%s ERR %s\\n', '" + marker +
                           "', strrep(__qx_e.message, char(10), ' ')); end, fflush(stdout);\n";
  if (!Send(line)) return false;
  return ReadReply(marker, reply);
}

bool OctaveClient::Put(const std::string& name, const EngineArray& value) {
  if (!IsIdentifier(name)) return Fail("invalid variable name '" + name + "'");
  const bool ints = value.cls == EngineArray::Class::Int32;
  TempFile file(tempDir_);
  if (!file) return Fail(Errno(("cannot create a transfer file in " + tempDir_).c_str()));
  if (!(ints ? WriteLittleEndian(file.Fd(), value.int32s)
             : WriteLittleEndian(file.Fd(), value.real)))
    return Fail(Errno(("cannot write the transfer file " + file.Path()).c_str()));
  const std::string code = Fill(
      "__qx_f = fopen({path}, 'r', 'ieee-le'); "
      "if __qx_f < 0, error('cannot open the transfer file'); end; "
      "__qx_v = fread(__qx_f, [{n}, 1], '{class}=>{class}'); fclose(__qx_f); "
      "if numel(__qx_v) ~= {n}, error('{name}: %d of {n} values arrived', numel(__qx_v)); end; "
      "{name} = reshape(__qx_v, {n}, 1); clear __qx_f __qx_v;",
      {{"{path}", OctaveString(file.Path())},
       {"{n}", std::to_string(value.rows())},
       {"{class}", ints ? "int32" : "double"},
       {"{name}", name}});
  Reply reply;
  if (!Request(code, "''", reply)) return false;
  return reply.ok || Fail(reply.text);
}

bool OctaveClient::Eval(const std::string& text) {
  Reply reply;
  if (!Request("eval(" + OctaveString(text) + ");", "''", reply)) return false;
  return reply.ok || Fail(reply.text.empty() ? "failed without a message" : reply.text);
}

bool OctaveClient::Get(const std::string& name, EngineArray& out) {
  if (!IsIdentifier(name)) return Fail("invalid variable name '" + name + "'");
  TempFile file(tempDir_);
  if (!file) return Fail(Errno(("cannot create a transfer file in " + tempDir_).c_str()));
  // The reply names the class and both dimensions.
  const std::string code = Fill(
      "__qx_v = {name}; __qx_c = class(__qx_v); "
      "if ~((strcmp(__qx_c, 'double') || strcmp(__qx_c, 'int32')) && isreal(__qx_v)), "
      "error('{name} is not a real double or int32 array (class %s)', __qx_c); end; "
      "if ndims(__qx_v) > 2 || min(size(__qx_v)) > 1, "
      "error('{name} is a %dx%d matrix, not a vector', rows(__qx_v), columns(__qx_v)); end; "
      "__qx_f = fopen({path}, 'w', 'ieee-le'); "
      "if __qx_f < 0, error('cannot open the transfer file'); end; "
      "__qx_n = fwrite(__qx_f, full(__qx_v(:)), __qx_c); fclose(__qx_f); "
      "if __qx_n ~= numel(__qx_v), error('{name}: only %d values written', __qx_n); end; "
      "__qx_r = sprintf('%s %d %d', __qx_c, rows(__qx_v), columns(__qx_v)); "
      "clear __qx_v __qx_c __qx_f __qx_n;",
      {{"{path}", OctaveString(file.Path())}, {"{name}", name}});
  Reply reply;
  if (!Request(code, "__qx_r", reply)) return false;
  if (!reply.ok) return Fail(reply.text);

  std::istringstream s(reply.text);
  std::string cls;
  long long rows = -1, cols = -1;
  s >> cls >> rows >> cols;
  if (!s || rows < 0 || cols < 0 || (cls != "double" && cls != "int32"))
    return Fail("unexpected reply from " + name_ + ": " + reply.text);
  const bool ints = cls == "int32";
  const size_t count = static_cast<size_t>(rows * cols);
  const size_t size = count * (ints ? sizeof(int32_t) : sizeof(double));
  struct stat st {};
  if (::fstat(file.Fd(), &st) != 0 || static_cast<size_t>(st.st_size) != size)
    return Fail("the transfer of " + name + " is incomplete: " + std::to_string(st.st_size) +
                " of " + std::to_string(size) + " bytes");
  EngineArray a;
  a.cls = ints ? EngineArray::Class::Int32 : EngineArray::Class::Double;
  if (!(ints ? ReadLittleEndian(file.Fd(), a.int32s, count)
             : ReadLittleEndian(file.Fd(), a.real, count)))
    return Fail(Errno(("cannot read the transfer file " + file.Path()).c_str()));
  out = std::move(a);
  return true;
}

}  // namespace quadrix

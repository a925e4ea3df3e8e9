// quadrix._core: the extension behind the Python package `quadrix`. The
// package's Python side turns keywords into quadrix-cli's option words and
// checks the plain arguments; this side checks the arrays, runs the work
// with the interpreter's lock released, and turns failures into the
// package's exceptions with the programs' messages.

#include <dlfcn.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/failures.hpp"
#include "cli/options.hpp"
#include "cli/run.hpp"
#include "core/inputs.hpp"
#include "core/outputs.hpp"
#include "imageio/image_file.hpp"
#include "interop_gl/glutil.hpp"
#include "python/array_resizer.hpp"

namespace py = pybind11;

namespace quadrix {

namespace {

// The package's exceptions, made at import.
struct Exceptions {
  PyObject* error = nullptr;     // quadrix.Error(Exception)
  PyObject* argument = nullptr;  // quadrix.ArgumentError(Error, ValueError)
  PyObject* file = nullptr;      // quadrix.FileError(Error, OSError)
  PyObject* notice = nullptr;    // quadrix.Notice(UserWarning)
};
Exceptions exceptions;

// A failure on the way back to Python: the exception to raise and its text.
struct PyFailure {
  PyObject* type;
  std::string text;
};

// Where the arguments came from decides what a bad image is: an argument
// (an array) or a file.
enum class Inputs { kArrays, kFiles };

PyFailure Translate(std::exception_ptr failure, Inputs inputs) {
  try {
    std::rethrow_exception(failure);
  } catch (const UsageError& e) {
    return {exceptions.argument, e.message};
  } catch (const InputError& e) {
    std::string text = e.what();
    if (e.cause() == InputError::Cause::kTooLarge) text += " (raise it with max_pixels)";
    return {inputs == Inputs::kArrays ? exceptions.argument : exceptions.file, text};
  } catch (const OutputError& e) {
    return {exceptions.file, e.what()};
  } catch (const ImageFileError& e) {
    return {exceptions.file, e.what()};
  } catch (const std::bad_alloc&) {
    return {PyExc_MemoryError, "out of memory"};
  } catch (...) {
    return {exceptions.error, DescribeFailure(std::current_exception()).text};
  }
}

// Runs `work` without the interpreter's lock; a failure becomes the
// package's exception once the lock is back.
template <typename Work>
auto Unlocked(Inputs inputs, Work&& work) -> decltype(work()) {
  std::exception_ptr failure;
  {
    py::gil_scoped_release release;
    try {
      return work();
    } catch (...) {
      failure = std::current_exception();
    }
  }
  const PyFailure f = Translate(failure, inputs);
  PyErr_SetString(f.type, f.text.c_str());
  throw py::error_already_set();
}

[[noreturn]] void Refuse(const std::string& text) {
  PyErr_SetString(exceptions.argument, text.c_str());
  throw py::error_already_set();
}

std::string ShapeText(const py::array& a) {
  // Appended piece by piece: GCC 12 warns wrongly about "," + std::string.
  std::string text(1, '(');
  for (py::ssize_t k = 0; k < a.ndim(); ++k) {
    if (k > 0) text += ", ";
    text += std::to_string(a.shape(k));
  }
  text += a.ndim() == 1 ? ",)" : ")";
  return text;
}

// The array as a matrix that shares its pixels, after the checks that keep
// the core from reading outside it. `what`: the argument's name.
cv::Mat Pixels(const py::array& a, const char* what, bool colour) {
  const std::string name = what;
  const bool wide = a.dtype().is(py::dtype::of<std::uint16_t>());
  if (!a.dtype().is(py::dtype::of<std::uint8_t>()) && !(colour && wide))
    Refuse(name + " has dtype " + std::string(py::str(a.dtype())) + ": expected " +
           (colour ? "uint8 or uint16" : "uint8 (grey levels, 250 = 1.0)"));
  const bool shapeOk = colour ? a.ndim() == 3 && (a.shape(2) == 3 || a.shape(2) == 4)
                              : a.ndim() == 2 || (a.ndim() == 3 && a.shape(2) == 1);
  if (!shapeOk)
    Refuse(name + " has shape " + ShapeText(a) + ": expected " +
           (colour ? "height x width x 3 (RGB) or x 4 (RGBA)" : "height x width (grey levels)"));
  if (a.shape(0) == 0 || a.shape(1) == 0) Refuse(name + " is empty: shape " + ShapeText(a));
  if ((a.flags() & py::array::c_style) == 0)
    Refuse(name + " is not contiguous in memory (a view with steps): pass " +
           "numpy.ascontiguousarray(" + name + ")");
  if (a.shape(0) > std::numeric_limits<int>::max() / 4 ||
      a.shape(1) > std::numeric_limits<int>::max() / 4)
    Refuse(name + " has shape " + ShapeText(a) + ": too large");
  const int channels = a.ndim() == 3 ? static_cast<int>(a.shape(2)) : 1;
  const int type = CV_MAKETYPE(wide ? CV_16U : CV_8U, channels);
  return cv::Mat(static_cast<int>(a.shape(0)), static_cast<int>(a.shape(1)), type,
                 const_cast<void*>(a.data()), static_cast<size_t>(a.strides(0)));
}

// The picture as a new array (height x width x channels).
py::array ToArray(const cv::Mat& picture) {
  const std::vector<py::ssize_t> shape{picture.rows, picture.cols, picture.channels()};
  py::array out = picture.depth() == CV_16U ? py::array(py::dtype::of<std::uint16_t>(), shape)
                                            : py::array(py::dtype::of<std::uint8_t>(), shape);
  const size_t row = picture.cols * picture.elemSize();
  auto* to = static_cast<unsigned char*>(out.mutable_data());
  for (int y = 0; y < picture.rows; ++y) std::memcpy(to + y * row, picture.ptr(y), row);
  return out;
}

cv::Size SizeOf(int width, int height) {
  if (width < 1 || height < 1 || width > kMaxTargetSide || height > kMaxTargetSide)
    Refuse("invalid size (" + std::to_string(width) + ", " + std::to_string(height) +
           "): each side must be a whole number from 1 to " + std::to_string(kMaxTargetSide));
  return {width, height};
}

// The Python object behind quadrix.Resizer: the resizer and the arrays it
// reads, kept alive with it.
class PyResizer {
 public:
  PyResizer(py::array image, std::optional<py::array> importance,
            const std::vector<std::string>& words, bool copy)
      : image_(std::move(image)) {
    cv::Mat rgb = Pixels(image_, "image", true);
    // A resizer that outlives the call draws from its own copy.
    if (copy) {
      image_ = py::array(image_.attr("copy")());
      rgb = Pixels(image_, "image", true);
    }
    cv::Mat map;
    if (importance) {
      importance_ = *importance;
      map = Pixels(*importance_, "importance", false);
    }
    resizer_ = Unlocked(Inputs::kArrays, [&] {
      return std::make_unique<ArrayResizer>(rgb, map, ParseResizeOptions(words));
    });
  }

  py::array Mesh(int width, int height) {
    const cv::Size size = SizeOf(width, height);
    const std::vector<float> xy = Unlocked(Inputs::kArrays, [&] { return resizer_->Mesh(size); });
    py::array_t<float> out({static_cast<py::ssize_t>(resizer_->verticesY()),
                            static_cast<py::ssize_t>(resizer_->verticesX()), py::ssize_t{2}});
    std::memcpy(out.mutable_data(), xy.data(), xy.size() * sizeof(float));
    return out;
  }

  py::array Render(int width, int height) {
    const cv::Size size = SizeOf(width, height);
    const cv::Mat picture = Unlocked(Inputs::kArrays, [&] { return resizer_->Render(size); });
    return ToArray(picture);
  }

  const std::vector<std::string>& Notices() const { return resizer_->notices(); }
  std::pair<int, int> GridShape() const { return {resizer_->verticesY(), resizer_->verticesX()}; }
  std::pair<int, int> RestSize() const {
    return {resizer_->restSize().width, resizer_->restSize().height};
  }

 private:
  py::array image_;
  std::optional<py::array> importance_;
  std::unique_ptr<ArrayResizer> resizer_;
};

// quadrix-cli's command line (without the program's name): one photo
// resized to its files. Returns the pictures written and the notices.
std::pair<std::vector<std::string>, std::vector<std::string>> RunFile(
    const std::vector<std::string>& words) {
  std::vector<std::string> notices;
  std::vector<std::string> written = Unlocked(Inputs::kFiles, [&] {
    std::vector<std::string> args{"quadrix"};
    args.insert(args.end(), words.begin(), words.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    const CliOptions o = ParseCliOptions(static_cast<int>(argv.size()), argv.data());
    return ResizeOnePhoto(o, [&](const std::string& text) { notices.push_back(text); });
  });
  return {written, notices};
}

// Checks a command line as quadrix-cli would (say, a whole batch before its
// photos are handed out), without running it.
void CheckCommandLine(const std::vector<std::string>& words) {
  std::vector<std::string> args{"quadrix"};
  args.insert(args.end(), words.begin(), words.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  try {
    ParseCliOptions(static_cast<int>(argv.size()), argv.data());
  } catch (const UsageError& e) {
    Refuse(e.message);
  }
}

// The folder this extension was loaded from: the effect file of the OpenGL
// pictures is looked for there too.
std::filesystem::path ModuleDir() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ModuleDir), &info) == 0 || info.dli_fname == nullptr)
    return {};
  return std::filesystem::path(info.dli_fname).parent_path();
}

PyObject* NewException(const char* name, const char* doc, PyObject* bases) {
  PyObject* type = PyErr_NewExceptionWithDoc(name, doc, bases, nullptr);
  if (type == nullptr) throw py::error_already_set();
  return type;
}

void AddExceptions(py::module_& m) {
  exceptions.error = NewException("quadrix.Error",
                                  "A photo could not be resized; the message says why, as "
                                  "quadrix-cli says it.",
                                  PyExc_Exception);
  py::tuple argumentBases =
      py::make_tuple(py::handle(exceptions.error), py::handle(PyExc_ValueError));
  exceptions.argument = NewException(
      "quadrix.ArgumentError",
      "A bad argument: an option's value, a size, or an array the core cannot work with.",
      argumentBases.ptr());
  py::tuple fileBases = py::make_tuple(py::handle(exceptions.error), py::handle(PyExc_OSError));
  exceptions.file = NewException(
      "quadrix.FileError",
      "A file that cannot be read or written, or whose picture cannot be used.", fileBases.ptr());
  exceptions.notice = NewException(
      "quadrix.Notice",
      "What the resize chose for the user to know about (a flat importance map for a small "
      "photo, 16 bits brought to 8 for the format, ...): issued with warnings.warn.",
      PyExc_UserWarning);
  // The package issues the notices, so that they point at the caller's line.
  m.attr("Error") = py::handle(exceptions.error);
  m.attr("ArgumentError") = py::handle(exceptions.argument);
  m.attr("FileError") = py::handle(exceptions.file);
  m.attr("Notice") = py::handle(exceptions.notice);
}

}  // namespace

}  // namespace quadrix

PYBIND11_MODULE(_core, m) {
  using namespace quadrix;
  m.doc() = "The compiled part of the package quadrix; use the package.";
  AddExceptions(m);
  const std::filesystem::path dir = ModuleDir();
  if (!dir.empty()) AddDataSearchDir(dir);

  m.attr("DEFAULT_MIN_SCALE") = kDefaultMinScale;
  m.attr("DEFAULT_WORK_SIZE") = kDefaultWorkSide;
  m.attr("DEFAULT_MAX_PIXELS") = kDefaultMaxPixels;
  m.attr("MAX_SIDE") = kMaxTargetSide;
  m.attr("VERSION") = QUADRIX_VERSION;

  py::class_<PyResizer>(m, "Resizer")
      .def(py::init<py::array, std::optional<py::array>, const std::vector<std::string>&, bool>(),
           py::arg("image"), py::arg("importance"), py::arg("words"), py::arg("copy"))
      .def("mesh", &PyResizer::Mesh, py::arg("width"), py::arg("height"))
      .def("render", &PyResizer::Render, py::arg("width"), py::arg("height"))
      .def_property_readonly("notices", &PyResizer::Notices)
      .def_property_readonly("grid_shape", &PyResizer::GridShape)
      .def_property_readonly("rest_size", &PyResizer::RestSize);
  m.def("run_file", &RunFile, py::arg("words"));
  m.def("check_command_line", &CheckCommandLine, py::arg("words"));
}

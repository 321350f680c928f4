#include "py_file_cache.hpp"

namespace zelk {
namespace {

// {(kind, path): (identity, object)} of the calling thread.
py::dict thread_cache() {
  static PyObject* const local = py::module_::import("threading").attr("local")().release().ptr();
  py::handle holder(local);
  if (!py::hasattr(holder, "files")) holder.attr("files") = py::dict();
  return holder.attr("files");
}

}  // namespace

py::object load_cached(Id kind, py::handle path, const std::function<py::object()>& load) {
  py::object st;
  try {
    st = py::module_::import("os").attr("stat")(path);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_OSError)) throw;
    return load();
  }
  const py::tuple identity = py::make_tuple(st.attr("st_size"), st.attr("st_mtime_ns"),
                                            st.attr("st_ino"), st.attr("st_dev"));
  const py::tuple key = py::make_tuple(py::handle(kind.ptr), path);
  py::dict cache = thread_cache();
  if (cache.contains(key)) {
    py::tuple entry = cache[key];
    if (py::object(entry[0]).equal(identity)) return entry[1];
  }
  py::object loaded = load();
  cache[key] = py::make_tuple(identity, loaded);
  return loaded;
}

}  // namespace zelk

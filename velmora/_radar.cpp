// velmora._radar: compiled kernels of the radar path (sweep fits, unfolding).
//
// Each kernel lives in its own header beside this file and follows the frame
// of _radar_frame.hpp; this file only registers them.

#include "_radar_frame.hpp"
#include "_radar_unfold.hpp"
#include "_radar_vad.hpp"

namespace py = pybind11;

// Every array type that an entry takes is converted by the frame's caster.
namespace pybind11::detail {
template <>
struct type_caster<array_t<double, array::c_style | array::forcecast>>
    : radar::ArrayArgument<double, array::c_style | array::forcecast> {};
template <>
struct type_caster<array_t<std::int64_t, array::c_style | array::forcecast>>
    : radar::ArrayArgument<std::int64_t, array::c_style | array::forcecast> {};
}  // namespace pybind11::detail

PYBIND11_MODULE(_radar, m) {
    m.doc() = "Radar sweep kernels of velmora (multithreaded).";
    // pybind11 looks up NumPy's C interface on first use, releasing the lock
    // while it waits; at import the lock is held and the interpreter is not
    // exiting, so a first kernel call in a daemon thread cannot be ended there.
    py::detail::npy_api::get();
    m.def("unfold", &radar::unfold_py, py::arg("velocity"), py::arg("azimuth"), py::arg("shape"),
          py::arg("nyquist"), py::arg("n_threads") = 0);
    m.def("vad_sweeps", &radar::vad_sweeps_py, py::arg("sweeps"), py::arg("min_gates"),
          py::arg("min_spread"), py::arg("n_threads") = 0);
}

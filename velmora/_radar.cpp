// velmora._radar: compiled kernels of the radar path (sweep fits, unfolding).
//
// Each kernel lives in its own header beside this file and follows the frame
// of _radar_frame.hpp; this file only registers them.

#include "_radar_frame.hpp"
#include "_radar_vad.hpp"

namespace py = pybind11;

PYBIND11_MODULE(_radar, m) {
    m.doc() = "Radar sweep kernels of velmora (multithreaded).";
    m.def("vad_sweeps", &radar::vad_sweeps_py, py::arg("sweeps"), py::arg("min_gates"),
          py::arg("min_spread"), py::arg("n_threads") = 0);
}

// velmora._radar: compiled kernels of the radar path (sweep fits, unfolding).
//
// Each kernel lives in its own header beside this file and follows the frame
// of _radar_frame.hpp; this file only registers them.

#include "_radar_frame.hpp"
#include "_radar_unfold.hpp"

namespace py = pybind11;

PYBIND11_MODULE(_radar, m) {
    m.doc() = "Radar sweep kernels of velmora (multithreaded).";
    m.def("unfold", &radar::unfold_py, py::arg("velocity"), py::arg("azimuth"), py::arg("shape"),
          py::arg("nyquist"), py::arg("n_threads") = 0);
}

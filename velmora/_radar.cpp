// velmora._radar: compiled kernels of the radar path (sweep fits, unfolding).
//
// Each kernel lives in its own header beside this file and follows the frame
// of _radar_frame.hpp; this file only registers them.

#include "_radar_frame.hpp"

namespace py = pybind11;

PYBIND11_MODULE(_radar, m) {
    m.doc() = "Radar sweep kernels of velmora (multithreaded).";
    // pybind11 looks up NumPy's C interface on first use, releasing the lock
    // while it waits; at import the lock is held and the interpreter is not
    // exiting, so a first kernel call in a daemon thread cannot be ended there.
    py::detail::npy_api::get();
}

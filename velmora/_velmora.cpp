// _velmora: cold-pool, wind-profile and baroclinity kernels.
//
// Every kernel follows the same frame: check the input shapes, allocate the
// output, release the interpreter lock and hand an item function to
// parallel_blocks.  An item function reads only inputs and writes only the
// output elements of its own item, so results do not depend on the thread
// count.  Where the order of floating-point operations matters for bit-exact
// results, it is written out as the formulas give it; the build disables FMA
// contraction so that the compiler keeps that order.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <stdexcept>
#include <thread>
#include <vector>

namespace py = pybind11;

namespace {

using Array = py::array_t<double, py::array::c_style | py::array::forcecast>;

constexpr double quiet_nan = std::numeric_limits<double>::quiet_NaN();

inline bool is_finite(double x) { return std::fabs(x) <= std::numeric_limits<double>::max(); }

// ---------------------------------------------------------------------------
// Parallel runner

std::int64_t hardware_threads() {
    const unsigned reported = std::thread::hardware_concurrency();
    return reported == 0 ? 1 : static_cast<std::int64_t>(reported);
}

// Calls fn(i) for every i in [0, n), in blocks of `grain` consecutive items
// claimed from a shared counter by the calling thread and up to
// worker_count - 1 started threads.  The first exception thrown by fn on any
// thread stops further claiming and is rethrown here after every started
// thread has been joined.  A thread that the system refuses to start is
// simply not there: the threads already running finish the blocks.
template <class Fn>
void parallel_blocks(std::int64_t n, std::int64_t grain, int n_threads, const Fn& fn) {
    if (n <= 0) return;
    const std::int64_t requested = n_threads > 0 ? n_threads : hardware_threads();
    const std::int64_t blocks = n / grain + (n % grain != 0);
    const std::int64_t worker_count = std::min(requested, blocks);

    std::atomic<std::int64_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr first_error;

    auto block_loop = [&]() noexcept {
        try {
            while (!failed.load(std::memory_order_relaxed)) {
                const std::int64_t b = next.fetch_add(grain);
                if (b >= n) return;
                const std::int64_t e = std::min(b + grain, n);
                for (std::int64_t i = b; i < e; ++i) fn(i);
            }
        } catch (...) {
            if (!failed.exchange(true)) first_error = std::current_exception();
        }
    };

    if (worker_count <= 1) {
        block_loop();
    } else {
        std::vector<std::thread> started;
        try {
            started.reserve(static_cast<std::size_t>(worker_count - 1));
            for (std::int64_t k = 1; k < worker_count; ++k) started.emplace_back(block_loop);
        } catch (...) {
            // Out of threads or memory: carry on with the threads we have.
        }
        block_loop();
        for (std::thread& t : started) t.join();
    }
    if (first_error) std::rethrow_exception(first_error);
}

// The common tail of every entry: run the items with the lock released.
template <class Fn>
void run_items(std::int64_t n, std::int64_t grain, int n_threads, const Fn& fn) {
    py::gil_scoped_release release;
    parallel_blocks(n, grain, n_threads, fn);
}

Array new_output(std::vector<py::ssize_t> shape) { return Array(std::move(shape)); }

void require(bool ok, const char* message) {
    if (!ok) throw std::invalid_argument(message);
}

// ---------------------------------------------------------------------------
// vad: first- and second-harmonic fits of radial velocity against azimuth

// Per-thread scratch for the valid samples of one row: vr, and (sin, cos)
// of az and of az + az as adjacent pairs, so that the trigonometric functions
// are evaluated once per sample rather than once per pass.  It grows to the
// longest row a thread has seen and is reused.
struct VadScratch {
    std::vector<double> buffer;
    double *vr, *sc, *sc2;
    void reserve(std::int64_t g) {
        const std::size_t need = 5 * static_cast<std::size_t>(g);
        if (buffer.size() < need) buffer.resize(need);
        vr = buffer.data();
        sc = vr + g;
        sc2 = sc + 2 * g;
    }
};

// Two doubles in one SSE register.  Lane-wise arithmetic is plain IEEE double
// arithmetic, so two independent sums can share one instruction with results
// identical to the scalar ones.
using Pair = double __attribute__((vector_size(16)));

inline Pair load_pair(const double* p) {
    Pair v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Solves the 4x4 system m x = h by Gaussian elimination with partial pivoting.
// Returns the determinant of m, or 0 when a pivot is exactly zero (then x is
// left untouched).
double solve4(double m[4][4], double h[4], double x[4]) {
    double det = 1.0;
    for (int k = 0; k < 3; ++k) {
        int p = k;
        for (int r = k + 1; r < 4; ++r)
            if (std::fabs(m[r][k]) > std::fabs(m[p][k])) p = r;
        if (m[p][k] == 0.0) return 0.0;
        if (p != k) {
            for (int s = 0; s < 4; ++s) std::swap(m[p][s], m[k][s]);
            std::swap(h[p], h[k]);
            det = -det;
        }
        det *= m[k][k];
        for (int r = k + 1; r < 4; ++r) {
            const double f = m[r][k] / m[k][k];
            for (int s = k; s < 4; ++s) m[r][s] = m[r][s] - f * m[k][s];
            h[r] = h[r] - f * h[k];
        }
    }
    if (m[3][3] == 0.0) return 0.0;
    det *= m[3][3];
    x[3] = h[3] / m[3][3];
    x[2] = (h[2] - m[2][3] * x[3]) / m[2][2];
    x[1] = ((h[1] - m[1][2] * x[2]) - m[1][3] * x[3]) / m[1][1];
    x[0] = (((h[0] - m[0][1] * x[1]) - m[0][2] * x[2]) - m[0][3] * x[3]) / m[0][0];
    return det;
}

// Fits row i and writes column i of the (8, R) output `out`.
void vad_row(const double* vr, const double* az, double cos_el, std::int64_t G,
             std::int64_t min_gates, double min_spread, double* out, std::int64_t R,
             std::int64_t i, VadScratch& w) {
    auto row = [&](int k) -> double& { return out[k * R + i]; };
    for (int k = 0; k < 8; ++k) row(k) = quiet_nan;
    if (G < 1) {
        row(4) = 0.0;
        return;
    }
    w.reserve(G);

    // Pass 1: keep the valid samples, in order, with their sin and cos.
    std::int64_t n_valid = 0;
    double Sv = 0.0, Ss = 0.0, Sc = 0.0;
    for (std::int64_t j = 0; j < G; ++j) {
        if (!is_finite(vr[j]) || !is_finite(az[j])) continue;
        const double s = std::sin(az[j]), c = std::cos(az[j]);
        w.vr[n_valid] = vr[j];
        w.sc[2 * n_valid] = s;
        w.sc[2 * n_valid + 1] = c;
        w.sc2[2 * n_valid] = az[j];  // kept for pass 4
        ++n_valid;
        Sv += vr[j];
        Ss += s;
        Sc += c;
    }
    const double N = static_cast<double>(n_valid);
    row(4) = N;
    if (N < static_cast<double>(min_gates) || N < 3.0) return;

    const double mv = Sv / N, ms = Ss / N, mc = Sc / N;

    // Pass 2: centred second moments.
    double Sss = 0.0, Scc = 0.0, Ssc = 0.0, Ssv = 0.0, Scv = 0.0;
    for (std::int64_t j = 0; j < n_valid; ++j) {
        const double ds = w.sc[2 * j] - ms, dc = w.sc[2 * j + 1] - mc, dv = w.vr[j] - mv;
        Sss += ds * ds;
        Scc += dc * dc;
        Ssc += ds * dc;
        Ssv += ds * dv;
        Scv += dc * dv;
    }
    const double det = Sss * Scc - Ssc * Ssc;
    if (!(det / (N * N) >= min_spread)) return;

    const double a1 = (Scc * Ssv - Ssc * Scv) / det;
    const double b1 = (Sss * Scv - Ssc * Ssv) / det;
    const double a0 = (mv - ms * a1) - mc * b1;

    // Pass 3: residual of the first-harmonic fit.
    double SSR = 0.0;
    for (std::int64_t j = 0; j < n_valid; ++j) {
        const double r = ((w.vr[j] - a0) - a1 * w.sc[2 * j]) - b1 * w.sc[2 * j + 1];
        SSR += r * r;
    }
    row(0) = a1 / cos_el;
    row(1) = b1 / cos_el;
    row(2) = a0;
    row(3) = std::sqrt(SSR / N);

    // Pass 4: second harmonic, with az + az as the angle.
    double Ss2 = 0.0, Sc2 = 0.0;
    for (std::int64_t j = 0; j < n_valid; ++j) {
        const double twice = w.sc2[2 * j] + w.sc2[2 * j];
        const double s2 = std::sin(twice), c2 = std::cos(twice);
        w.sc2[2 * j] = s2;
        w.sc2[2 * j + 1] = c2;
        Ss2 += s2;
        Sc2 += c2;
    }
    const double ms2 = Ss2 / N, mc2 = Sc2 / N;

    // Pass 5: normal equations of the two-harmonic fit.  With the centred
    // regressors d = (d0, d1, d2, d3), each lane of a pair accumulates one
    // element of M or h in sample order; M is symmetric and products commute,
    // so the upper triangle is mirrored.
    const Pair mean01 = {ms, mc}, mean23 = {ms2, mc2};
    Pair m00_11 = {}, m01_23 = {}, m02_13 = {}, m03_12 = {}, m22_33 = {}, h01 = {}, h23 = {};
    for (std::int64_t j = 0; j < n_valid; ++j) {
        const Pair d01 = load_pair(w.sc + 2 * j) - mean01;
        const Pair d23 = load_pair(w.sc2 + 2 * j) - mean23;
        const Pair d02 = {d01[0], d23[0]}, d13 = {d01[1], d23[1]}, d32 = {d23[1], d23[0]};
        const double dv = w.vr[j] - mv;
        m00_11 += d01 * d01;
        m01_23 += d02 * d13;
        m02_13 += d01 * d23;
        m03_12 += d01 * d32;
        m22_33 += d23 * d23;
        h01 += d01 * dv;
        h23 += d23 * dv;
    }
    double m[4][4] = {{m00_11[0], m01_23[0], m02_13[0], m03_12[0]},
                      {m01_23[0], m00_11[1], m03_12[1], m02_13[1]},
                      {m02_13[0], m03_12[1], m22_33[0], m01_23[1]},
                      {m03_12[0], m02_13[1], m01_23[1], m22_33[1]}};
    double h[4] = {h01[0], h01[1], h23[0], h23[1]};

    double x[4];
    const double D = solve4(m, h, x);
    if (D == 0.0) return;
    if (!(D / (N * N * N * N) >= 0.25 * min_spread)) return;
    row(5) = (((mv - ms * x[0]) - mc * x[1]) - ms2 * x[2]) - mc2 * x[3];
    row(6) = x[2];
    row(7) = x[3];
}

Array vad_py(Array vr, Array az, Array cos_el, std::int64_t min_gates, double min_spread,
             int n_threads) {
    require(vr.ndim() == 2 && az.ndim() == 2, "vr, az must be 2-D");
    require(az.shape(0) == vr.shape(0) && az.shape(1) == vr.shape(1), "shape mismatch");
    const std::int64_t R = vr.shape(0), G = vr.shape(1);
    require(cos_el.size() == R, "shape mismatch");

    Array out = new_output({8, R});
    double* o = out.mutable_data();
    const double *pvr = vr.data(), *paz = az.data(), *pcos = cos_el.data();
    run_items(R, 64, n_threads, [&](std::int64_t i) {
        thread_local VadScratch scratch;
        vad_row(pvr + i * G, paz + i * G, pcos[i], G, min_gates, min_spread, o, R, i, scratch);
    });
    return out;
}

}  // namespace

PYBIND11_MODULE(_velmora, m) {
    m.doc() = "Cold-pool, wind-profile and baroclinity kernel (multithreaded).";
    m.def("vad", &vad_py, py::arg("vr"), py::arg("az"), py::arg("cos_el"), py::arg("min_gates"),
          py::arg("min_spread"), py::arg("n_threads") = 0);
}

// vad_sweeps: the VAD fits of every gate of a whole volume, read from the
// sweeps as stored.
//
// Each gate is one row of _velmora.vad: its samples are the rays of its
// sweep in ray order, and it makes exactly the additions and products of
// that row, in the same order, over its valid samples only.  Two things
// differ in how, never in what:
//  - every gate of a ray shares the ray's azimuth, so sin and cos of az and
//    of az + az come from a table computed once per ray;
//  - gates are fitted side by side in vector lanes, each lane doing the
//    scalar row's operations; a skipped sample leaves a lane's sums as they
//    were (a select, never an added zero: +0.0 + -0.0 is +0.0).
// The two loops of the row that only need means from the first (the centred
// moments and the 4 x 4 normal equations) share one pass: their common sums
// are the same operations on the same values.
#pragma once

#include <cstring>

#include "_radar_frame.hpp"

namespace radar {

namespace vad_detail {

// A value of type T at a byte address that need not be aligned for T.
template <class T>
inline T read(const char* p) {
    T x;
    std::memcpy(&x, p, sizeof x);
    return x;
}

// Gates fitted side by side by one item: a ray's gates of a block are read
// together (two cache lines of float32, four of float64).
constexpr std::int64_t block_gates = 32;

// Rays of a block are far apart in memory, too far for the processor to
// guess the next one: a ray is asked for this many rays ahead.
constexpr std::int64_t prefetch_rays = 8;
constexpr std::int64_t cache_line = 64;

// One sweep of the call, with byte strides as NumPy gives them.
struct Sweep {
    const char* data;
    bool is_float32;
    std::int64_t ray_stride, gate_stride;
    const char* mask;  // nullptr when there is none; nonzero bytes are missing
    std::int64_t mask_ray_stride, mask_gate_stride;
    const double* reserved;  // (low, high) pairs, both included
    std::int64_t n_reserved;
    std::int64_t rays, start, stop;  // gates [start, stop) are fitted
    double divisor;                  // a1 and b1 are divided by it
    std::int64_t first_ray;          // of this sweep in the volume's ray table
    std::int64_t first_item, first_column;
};

// Per ray: sin and cos of the azimuth (scaled by the ray's share of the
// divisor when cosines differ), of twice it, and whether the ray has data.
struct RayTrig {
    double s, c, s2, c2;
    bool usable;
};

// The ray's own trigonometry, the same libm calls on the same arguments as
// the row-by-row fit.  `scale` is 1 or the ray's cosine over the divisor.
inline RayTrig ray_trig(double az, double scale) {
    if (!is_finite(az) || !is_finite(scale)) return {0.0, 0.0, 0.0, 0.0, false};
    const double s = std::sin(az), c = std::cos(az);
    const double twice = az + az;
    const double s2 = std::sin(twice), c2 = std::cos(twice);
    if (scale == 1.0) return {s, c, s2, c2, true};
    return {s * scale, c * scale, s2, c2, true};
}

// Solves the 4x4 system m x = h by Gaussian elimination with partial
// pivoting, as the row-by-row fit does (same operations, same order).
// Returns the determinant of m, or 0 when a pivot is exactly zero.
inline double solve4(double m[4][4], double h[4], double x[4]) {
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

// The sums of one gate, lane by lane.  Moments are of the centred
// regressors d0..d3 = (sin, cos, sin2, cos2) - their means and dv = vr - mv.
struct GateSums {
    double n, sv, ss, sc, ss2, sc2;
    double m00, m11, m01, m23, m02, m13, m03, m12, m22, m33, h0, h1, h2, h3;
};

// First-harmonic coefficients of a gate, or accepted = false.
struct FirstFit {
    bool accepted;
    double a0, a1, b1;
};

inline FirstFit first_fit(const GateSums& g, double min_spread) {
    const double N = g.n;
    const double mv = g.sv / N, ms = g.ss / N, mc = g.sc / N;
    const double det = g.m00 * g.m11 - g.m01 * g.m01;
    if (!(det / (N * N) >= min_spread)) return {false, 0.0, 0.0, 0.0};
    const double a1 = (g.m11 * g.h0 - g.m01 * g.h1) / det;
    const double b1 = (g.m00 * g.h1 - g.m01 * g.h0) / det;
    const double a0 = (mv - ms * a1) - mc * b1;
    return {true, a0, a1, b1};
}

// Writes the column of one fitted gate (the sums of a gate with enough
// samples, its first fit accepted and its squared residual).
inline void write_fits(const GateSums& g, const FirstFit& f, double ssr, double divisor,
                       double min_spread, double* out, std::int64_t columns, std::int64_t col) {
    auto row = [&](int k) -> double& { return out[k * columns + col]; };
    const double N = g.n;
    row(0) = f.a1 / divisor;
    row(1) = f.b1 / divisor;
    row(2) = f.a0;
    row(3) = std::sqrt(ssr / N);

    const double mv = g.sv / N, ms = g.ss / N, mc = g.sc / N;
    const double ms2 = g.ss2 / N, mc2 = g.sc2 / N;
    double m[4][4] = {{g.m00, g.m01, g.m02, g.m03},
                      {g.m01, g.m11, g.m12, g.m13},
                      {g.m02, g.m12, g.m22, g.m23},
                      {g.m03, g.m13, g.m23, g.m33}};
    double h[4] = {g.h0, g.h1, g.h2, g.h3};
    double x[4];
    const double D = solve4(m, h, x);
    if (D == 0.0) return;
    if (!(D / (N * N * N * N) >= 0.25 * min_spread)) return;
    row(5) = (((mv - ms * x[0]) - mc * x[1]) - ms2 * x[2]) - mc2 * x[3];
    row(6) = x[2];
    row(7) = x[3];
}

// The velocities of gates [g0, g0 + n) of ray j as doubles into `row`
// (block_gates wide): NaN where the ray has no usable azimuth, where the
// mask says missing, inside a reserved range, and in the lanes past n.
// Non-finite values are left for the lanes.  Each step is a plain loop
// over the gates, which the compiler vectorises for the path it compiles.
template <class T>
void gather_ray(const Sweep& sw, const RayTrig& trig, std::int64_t j, std::int64_t g0,
                std::int64_t n, double* row) {
    if (!trig.usable) n = 0;
    const char* p = sw.data + j * sw.ray_stride + g0 * sw.gate_stride;
    if (sw.gate_stride == static_cast<std::int64_t>(sizeof(T))) {
        for (std::int64_t l = 0; l < n; ++l) row[l] = read<T>(p + l * static_cast<std::int64_t>(sizeof(T)));
    } else {
        for (std::int64_t l = 0; l < n; ++l) row[l] = read<T>(p + l * sw.gate_stride);
    }
    if (sw.mask != nullptr) {
        const char* m = sw.mask + j * sw.mask_ray_stride + g0 * sw.mask_gate_stride;
        if (sw.mask_gate_stride == 1) {
            for (std::int64_t l = 0; l < n; ++l) row[l] = m[l] != 0 ? quiet_nan : row[l];
        } else {
            for (std::int64_t l = 0; l < n; ++l) row[l] = m[l * sw.mask_gate_stride] != 0 ? quiet_nan : row[l];
        }
    }
    for (std::int64_t r = 0; r < sw.n_reserved; ++r) {
        const double low = sw.reserved[2 * r], high = sw.reserved[2 * r + 1];
        for (std::int64_t l = 0; l < n; ++l) row[l] = row[l] >= low && row[l] <= high ? quiet_nan : row[l];
    }
    for (std::int64_t l = n; l < block_gates; ++l) row[l] = quiet_nan;
}

// Asks for the cache lines of n values `stride` bytes apart from p.
inline void prefetch_span(const char* p, std::int64_t stride, std::int64_t n) {
    const std::int64_t bytes = stride * (n - 1);
    if (bytes < 0 || bytes > block_gates * static_cast<std::int64_t>(sizeof(double))) {
        __builtin_prefetch(p);  // wide or backward strides: the first value only
        return;
    }
    for (std::int64_t at = 0; at < bytes + cache_line; at += cache_line) __builtin_prefetch(p + at);
}

// Asks for gates [g0, g0 + n) of ray j (not their mask: a byte a gate,
// the processor's own prefetching keeps up, and asking slows it down).
inline void prefetch_ray(const Sweep& sw, std::int64_t j, std::int64_t g0, std::int64_t n) {
    prefetch_span(sw.data + j * sw.ray_stride + g0 * sw.gate_stride, sw.gate_stride, n);
}

// W lanes of doubles, and the lane masks that comparisons of them give.
template <int W>
struct Lanes {
    typedef double V __attribute__((vector_size(8 * W)));
    typedef std::int64_t M __attribute__((vector_size(8 * W)));
};

// Registers go in and out by reference: passing them by value between
// functions compiled for different paths would change the calling convention.
template <class V>
inline void load(V& v, const double* p) {
    std::memcpy(&v, p, sizeof v);
}

template <class V>
inline void store(double* p, const V& v) {
    std::memcpy(p, &v, sizeof v);
}

template <class V>
inline void splat(V& v, double x) {
    for (std::size_t k = 0; k < sizeof v / sizeof x; ++k) v[k] = x;
}

// Fits the gates of one block: sw's gates [g0, g0 + n), n <= block_gates,
// W at a time.  `values` is scratch for rays x block_gates doubles.
template <int W>
void fit_block(const Sweep& sw, const RayTrig* table, std::int64_t g0, std::int64_t n,
               std::int64_t min_gates, double min_spread, double* values, double* out,
               std::int64_t columns) {
    using V = typename Lanes<W>::V;
    using M = typename Lanes<W>::M;
    const std::int64_t R = sw.rays;
    V nan;
    splat(nan, quiet_nan);

    for (std::int64_t j = 0; j < R; ++j) {
        double* row = values + j * block_gates;
        if (j + prefetch_rays < R) prefetch_ray(sw, j + prefetch_rays, g0, n);
        if (sw.is_float32)
            gather_ray<float>(sw, table[j], j, g0, n, row);
        else
            gather_ray<double>(sw, table[j], j, g0, n, row);
    }

    for (std::int64_t q = 0; q < n; q += W) {
        const std::int64_t lanes = std::min<std::int64_t>(W, n - q);
        const std::int64_t col0 = sw.first_column + (g0 - sw.start) + q;
        for (int k = 0; k < 8; ++k)
            for (std::int64_t l = 0; l < lanes; ++l) out[k * columns + col0 + l] = quiet_nan;

        // Pass 1: the valid samples, their count and sums.  Invalid ones
        // become NaN in the scratch, so that later passes test v == v.
        // (x - x == 0 holds exactly for finite x: one comparison, as a
        // combination of comparisons is split lane by lane in 512-bit code.)
        V N{}, Sv{}, Ss{}, Sc{}, Ss2{}, Sc2{};
        for (std::int64_t j = 0; j < R; ++j) {
            double* at = values + j * block_gates + q;
            V x;
            load(x, at);
            const M valid = x - x == 0.0;
            store(at, valid ? x : nan);
            const RayTrig& t = table[j];
            N = valid ? N + 1.0 : N;
            Sv = valid ? Sv + x : Sv;
            Ss = valid ? Ss + t.s : Ss;
            Sc = valid ? Sc + t.c : Sc;
            Ss2 = valid ? Ss2 + t.s2 : Ss2;
            Sc2 = valid ? Sc2 + t.c2 : Sc2;
        }
        GateSums g[W];
        double lane[W];
        auto to_lanes = [&](const V& v, double GateSums::*field) {
            store(lane, v);
            for (int l = 0; l < W; ++l) g[l].*field = lane[l];
        };
        to_lanes(N, &GateSums::n);
        to_lanes(Sv, &GateSums::sv);
        to_lanes(Ss, &GateSums::ss);
        to_lanes(Sc, &GateSums::sc);
        to_lanes(Ss2, &GateSums::ss2);
        to_lanes(Sc2, &GateSums::sc2);
        bool any_fit = false;
        for (std::int64_t l = 0; l < lanes; ++l) {
            out[4 * columns + col0 + l] = g[l].n;
            any_fit |= g[l].n >= static_cast<double>(min_gates) && g[l].n >= 3.0;
        }
        if (!any_fit) continue;

        // Pass 2: the centred moments, which are also the normal equations
        // of the two-harmonic fit (means computed as the row does, lane-wise).
        const V mv = Sv / N, ms = Ss / N, mc = Sc / N, ms2 = Ss2 / N, mc2 = Sc2 / N;
        V m00{}, m11{}, m01{}, m23{}, m02{}, m13{}, m03{}, m12{}, m22{}, m33{};
        V h0{}, h1{}, h2{}, h3{};
        for (std::int64_t j = 0; j < R; ++j) {
            V x;
            load(x, values + j * block_gates + q);
            const M valid = x == x;
            const RayTrig& t = table[j];
            const V d0 = t.s - ms, d1 = t.c - mc, d2 = t.s2 - ms2, d3 = t.c2 - mc2;
            const V dv = x - mv;
            m00 = valid ? m00 + d0 * d0 : m00;
            m11 = valid ? m11 + d1 * d1 : m11;
            m01 = valid ? m01 + d0 * d1 : m01;
            m23 = valid ? m23 + d2 * d3 : m23;
            m02 = valid ? m02 + d0 * d2 : m02;
            m13 = valid ? m13 + d1 * d3 : m13;
            m03 = valid ? m03 + d0 * d3 : m03;
            m12 = valid ? m12 + d1 * d2 : m12;
            m22 = valid ? m22 + d2 * d2 : m22;
            m33 = valid ? m33 + d3 * d3 : m33;
            h0 = valid ? h0 + d0 * dv : h0;
            h1 = valid ? h1 + d1 * dv : h1;
            h2 = valid ? h2 + d2 * dv : h2;
            h3 = valid ? h3 + d3 * dv : h3;
        }
        to_lanes(m00, &GateSums::m00);
        to_lanes(m11, &GateSums::m11);
        to_lanes(m01, &GateSums::m01);
        to_lanes(m23, &GateSums::m23);
        to_lanes(m02, &GateSums::m02);
        to_lanes(m13, &GateSums::m13);
        to_lanes(m03, &GateSums::m03);
        to_lanes(m12, &GateSums::m12);
        to_lanes(m22, &GateSums::m22);
        to_lanes(m33, &GateSums::m33);
        to_lanes(h0, &GateSums::h0);
        to_lanes(h1, &GateSums::h1);
        to_lanes(h2, &GateSums::h2);
        to_lanes(h3, &GateSums::h3);

        FirstFit fit[W];
        double a0_lane[W] = {}, a1_lane[W] = {}, b1_lane[W] = {};
        bool any_accepted = false;
        for (std::int64_t l = 0; l < lanes; ++l) {
            const bool enough = g[l].n >= static_cast<double>(min_gates) && g[l].n >= 3.0;
            fit[l] = enough ? first_fit(g[l], min_spread) : FirstFit{false, 0.0, 0.0, 0.0};
            a0_lane[l] = fit[l].a0;
            a1_lane[l] = fit[l].a1;
            b1_lane[l] = fit[l].b1;
            any_accepted |= fit[l].accepted;
        }
        if (!any_accepted) continue;

        // Pass 3: the residual of the first-harmonic fit.
        V a0, a1, b1;
        load(a0, a0_lane);
        load(a1, a1_lane);
        load(b1, b1_lane);
        V SSR{};
        for (std::int64_t j = 0; j < R; ++j) {
            V x;
            load(x, values + j * block_gates + q);
            const M valid = x == x;
            const RayTrig& t = table[j];
            const V r = ((x - a0) - a1 * t.s) - b1 * t.c;
            SSR = valid ? SSR + r * r : SSR;
        }
        store(lane, SSR);
        for (std::int64_t l = 0; l < lanes; ++l)
            if (fit[l].accepted) write_fits(g[l], fit[l], lane[l], sw.divisor, min_spread, out, columns, col0 + l);
    }
}

// The instruction sets the block fits are compiled for.  Every lane does
// the scalar row's IEEE operations in its order, so all paths give the same
// bits; a call takes the widest path the processor has.
enum class VectorPath { sse2, avx2, avx512 };

inline VectorPath vector_path() {
    __builtin_cpu_init();
    VectorPath path = VectorPath::sse2;
    if (__builtin_cpu_supports("avx2")) path = VectorPath::avx2;
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
        __builtin_cpu_supports("avx512vl"))
        path = VectorPath::avx512;
#ifdef RADAR_FORCE_PATH
    // Test builds pin a narrower path so that each path runs on any test machine.
    path = std::min(path, VectorPath::RADAR_FORCE_PATH);
#endif
    return path;
}

using BlockFit = void (*)(const Sweep&, const RayTrig*, std::int64_t, std::int64_t, std::int64_t,
                          double, double*, double*, std::int64_t);

__attribute__((target("avx512f,avx512dq,avx512vl"), flatten)) inline void fit_block_avx512(
    const Sweep& sw, const RayTrig* table, std::int64_t g0, std::int64_t n, std::int64_t min_gates,
    double min_spread, double* values, double* out, std::int64_t columns) {
    fit_block<8>(sw, table, g0, n, min_gates, min_spread, values, out, columns);
}

__attribute__((target("avx2"), flatten)) inline void fit_block_avx2(
    const Sweep& sw, const RayTrig* table, std::int64_t g0, std::int64_t n, std::int64_t min_gates,
    double min_spread, double* values, double* out, std::int64_t columns) {
    fit_block<4>(sw, table, g0, n, min_gates, min_spread, values, out, columns);
}

__attribute__((flatten)) inline void fit_block_sse2(
    const Sweep& sw, const RayTrig* table, std::int64_t g0, std::int64_t n, std::int64_t min_gates,
    double min_spread, double* values, double* out, std::int64_t columns) {
    fit_block<2>(sw, table, g0, n, min_gates, min_spread, values, out, columns);
}

inline BlockFit block_fit_for(VectorPath path) {
    switch (path) {
        case VectorPath::avx512: return fit_block_avx512;
        case VectorPath::avx2: return fit_block_avx2;
        default: return fit_block_sse2;
    }
}

// The divisor of a1 and b1 for one sweep, and the scale of each ray's
// regressors.  When every ray has the same cosine, the fit is the row fit
// exactly: regressors sin az, cos az, then a1 and b1 divided by the cosine.
// When they differ, each ray's regressors are scaled by its cosine over the
// median cosine of the sweep, and a1, b1 divided by that median: the
// coefficients are then u and v with each ray's own elevation, while the
// regressors stay near sin az and cos az, so that min_spread keeps its
// meaning.  Rays with a non-finite cosine then have no data.
inline double cosine_divisor(const double* cos_el, std::int64_t rays, double* scale) {
    bool same = true;
    for (std::int64_t j = 1; j < rays && same; ++j) same = cos_el[j] == cos_el[0];
    if (same || rays == 0) {
        const double divisor = rays == 0 ? 1.0 : cos_el[0];
        for (std::int64_t j = 0; j < rays; ++j) scale[j] = 1.0;  // scale may be cos_el itself
        return divisor;
    }
    Scratch<double> finite(static_cast<std::size_t>(rays));
    std::int64_t n_finite = 0;
    for (std::int64_t j = 0; j < rays; ++j)
        if (is_finite(cos_el[j])) finite[n_finite++] = cos_el[j];
    double median = quiet_nan;
    if (n_finite > 0) {
        double* middle = finite.data() + n_finite / 2;
        std::nth_element(finite.data(), middle, finite.data() + n_finite);
        median = *middle;
    }
    for (std::int64_t j = 0; j < rays; ++j) scale[j] = cos_el[j] / median;
    return median;
}

}  // namespace vad_detail

using Floats = py::array_t<double, py::array::c_style | py::array::forcecast>;

// The sweeps of a volume as the item function reads them.  Every array the
// call reads is kept in `held`, so that the converted ones live as long as
// the call.
struct VolumeInput {
    std::vector<vad_detail::Sweep> sweeps;
    Scratch<double> cosines;  // per ray, then replaced by the regressor scales
    Scratch<double> azimuths;
    std::int64_t rays = 0, items = 0, columns = 0;
    py::list held;
    explicit VolumeInput(std::int64_t total_rays) : cosines(total_rays), azimuths(total_rays) {}
};

inline std::int64_t count_rays(const py::sequence& sweeps) {
    std::int64_t total = 0;
    for (py::handle item : sweeps) {
        require(py::isinstance<py::tuple>(item) && py::len(item) == 7,
                "each sweep must be (vr, mask, az, cos_el, reserved, start, stop)");
        py::array vr = convert<py::array>(item.cast<py::tuple>()[0]);
        require(vr && vr.ndim() == 2, "vr must be 2-D");
        total += vr.shape(0);
    }
    return total;
}

// Checks one sweep and appends it; the arrays that need a conversion
// (another dtype, a C-contiguous copy of a per-ray vector) are converted.
inline void add_sweep(VolumeInput& in, const py::tuple& item) {
    namespace d = vad_detail;
    py::array vr = convert<py::array>(item[0]);
    if (!py::isinstance<py::array_t<float>>(vr) && !py::isinstance<py::array_t<double>>(vr))
        vr = convert<py::array_t<double, py::array::forcecast>>(vr);
    require(static_cast<bool>(vr), "vr must be a float array");
    const std::int64_t rays = vr.shape(0), gates = vr.shape(1);

    const bool has_mask = !item[1].is_none();
    const py::object given = has_mask ? py::object(item[1]) : py::object(py::bool_(false));
    py::array mask = convert<py::array_t<bool, py::array::forcecast>>(given);
    require(!has_mask || (mask && mask.ndim() == 2 && mask.shape(0) == rays && mask.shape(1) == gates),
            "mask must have the shape of vr");
    Floats az = convert<Floats>(item[2]), cos_el = convert<Floats>(item[3]);
    require(az && cos_el && az.size() == rays && cos_el.size() == rays,
            "az, cos_el must have one value per ray");
    Floats reserved = convert<Floats>(item[4]);
    require(reserved && (reserved.size() == 0 || (reserved.ndim() == 2 && reserved.shape(1) == 2)),
            "reserved must be (k, 2) value ranges");
    const std::int64_t start = item[5].cast<std::int64_t>(), stop = item[6].cast<std::int64_t>();
    require(0 <= start && start <= stop && stop <= gates, "gates out of range");

    d::Sweep sw{};
    sw.data = static_cast<const char*>(vr.data());
    sw.is_float32 = vr.itemsize() == 4;
    sw.ray_stride = vr.strides(0);
    sw.gate_stride = vr.strides(1);
    if (has_mask) {
        sw.mask = static_cast<const char*>(mask.data());
        sw.mask_ray_stride = mask.strides(0);
        sw.mask_gate_stride = mask.strides(1);
    }
    // The ranges are read in the lanes: an aligned C-contiguous copy.
    Floats ranges(std::vector<py::ssize_t>{reserved.size()});
    std::memcpy(ranges.mutable_data(), reserved.data(), static_cast<std::size_t>(reserved.nbytes()));
    sw.reserved = ranges.data();
    sw.n_reserved = reserved.size() / 2;
    sw.rays = rays;
    sw.start = start;
    sw.stop = stop;
    sw.first_ray = in.rays;
    sw.first_item = in.items;
    sw.first_column = in.columns;
    if (rays > 0) {
        const std::size_t bytes = static_cast<std::size_t>(rays) * sizeof(double);
        std::memcpy(in.azimuths.data() + sw.first_ray, az.data(), bytes);
        std::memcpy(in.cosines.data() + sw.first_ray, cos_el.data(), bytes);
    }
    in.rays += rays;
    in.items += (stop - start + d::block_gates - 1) / d::block_gates;
    in.columns += stop - start;
    in.sweeps.push_back(sw);
    for (py::handle a : {py::handle(vr), py::handle(mask), py::handle(ranges)}) in.held.append(a);
}

// vad_sweeps(sweeps, min_gates, min_spread, n_threads): the (8, gates)
// fits of every sweep's gates [start, stop), sweep after sweep.
inline py::array_t<double> vad_sweeps_py(py::sequence sweeps, std::int64_t min_gates,
                                         double min_spread, int n_threads) {
    namespace d = vad_detail;
    VolumeInput in(count_rays(sweeps));
    for (py::handle item : sweeps) add_sweep(in, item.cast<py::tuple>());

    // Per ray: the divisor of its sweep and its regressor scale, then its trigonometry.
    Scratch<d::RayTrig> table(static_cast<std::size_t>(in.rays));
    for (d::Sweep& sw : in.sweeps)
        sw.divisor = d::cosine_divisor(in.cosines.data() + sw.first_ray, sw.rays,
                                       in.cosines.data() + sw.first_ray);
    py::array_t<double> out(std::vector<py::ssize_t>{8, in.columns});
    double* o = out.mutable_data();
    run_items(in.rays, 256, n_threads, [&](std::int64_t j) {
        table[j] = d::ray_trig(in.azimuths[j], in.cosines[j]);
    });

    const d::BlockFit fit_block = d::block_fit_for(d::vector_path());
    run_items(in.items, 4, n_threads, [&](std::int64_t i) {
        // The sweep of item i: the last whose first item is at most i.
        auto after = std::upper_bound(in.sweeps.begin(), in.sweeps.end(), i,
                                      [](std::int64_t k, const d::Sweep& sw) { return k < sw.first_item; });
        const d::Sweep& sw = *(after - 1);
        const std::int64_t g0 = sw.start + (i - sw.first_item) * d::block_gates;
        Scratch<double> values(static_cast<std::size_t>(sw.rays * d::block_gates));
        fit_block(sw, table.data() + sw.first_ray, g0, std::min(d::block_gates, sw.stop - g0),
                  min_gates, min_spread, values.data(), o, in.columns);
    });
    return out;
}

}  // namespace radar

// _ensemble: random measurement errors and ensemble statistics.
//
// Every threaded kernel follows the same frame: check the input shapes,
// allocate the outputs, release the interpreter lock and hand a block body to
// parallel_blocks.  A block body computes each of its points from the inputs
// and that point's index alone, so results do not depend on the thread count
// or on which thread claims which block.  The random numbers come from the
// counter-based Philox4x64-10 generator, addressed by key, member and point.
// Where the order of floating-point operations matters for bit-exact results,
// it is written out as the formulas give it; the build disables FMA
// contraction so that the compiler keeps that order.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <cxxabi.h>
#include <exception>
#include <initializer_list>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include <xmmintrin.h>

namespace py = pybind11;

namespace {

using Array = py::array_t<double, py::array::c_style | py::array::forcecast>;
using FloatArray = py::array_t<float, py::array::c_style | py::array::forcecast>;
using WordArray = py::array_t<std::uint64_t, py::array::c_style>;

constexpr double quiet_nan = std::numeric_limits<double>::quiet_NaN();

inline bool is_finite(double x) { return std::fabs(x) <= std::numeric_limits<double>::max(); }

// ---------------------------------------------------------------------------
// Block runner

constexpr std::int64_t grain = 256;

std::int64_t hardware_threads() {
    const unsigned reported = std::thread::hardware_concurrency();
    return reported == 0 ? 1 : static_cast<std::int64_t>(reported);
}

// How often the calling thread looks for a pending signal (Ctrl-C) while a
// call runs.
constexpr auto signal_check_interval = std::chrono::milliseconds(100);

// The interpreter lock, released while a kernel computes.  It is taken back
// only by explicit calls, never by a destructor: at interpreter exit, taking
// the lock back ends a daemon thread by unwinding its stack, and that unwind
// cannot pass a destructor, which is noexcept.
class ReleasedLock {
public:
    ReleasedLock() : handles_signals_(_PyOS_IsMainThread() != 0), state_(PyEval_SaveThread()) {}
    ReleasedLock(const ReleasedLock&) = delete;
    ReleasedLock& operator=(const ReleasedLock&) = delete;

    // Takes the lock back for good; later calls do nothing.
    void reacquire() {
        if (PyThreadState* state = std::exchange(state_, nullptr)) PyEval_RestoreThread(state);
    }

    // Runs the signal handlers with the lock held for just that.  False when
    // one of them raised (KeyboardInterrupt for Ctrl-C); the error waits for
    // the caller.  Only the main thread runs handlers, so other threads skip
    // the lock.
    bool signals_clear() {
        if (!handles_signals_ || state_ == nullptr) return true;
        reacquire();
        const bool clear = PyErr_CheckSignals() == 0;
        state_ = PyEval_SaveThread();
        return clear;
    }

private:
    bool handles_signals_;
    PyThreadState* state_;
};

// Calls body(begin, end) for consecutive blocks of `grain` indices covering
// [0, n), claimed from a shared counter by the calling thread and up to
// worker_count - 1 started threads, with the interpreter lock released.  It
// is called, and returns or throws, with the lock held.  Between blocks the
// calling thread looks for Ctrl-C; on a signal, or on the first exception
// thrown by body on any thread, no more blocks are claimed, every started
// thread is joined and the error is raised here.  A thread that the system
// refuses to start is simply not there: the threads already running finish
// the blocks.
template <class Body>
void parallel_blocks(std::int64_t n, int n_threads, const Body& body) {
    if (n <= 0) return;
    const std::int64_t requested = n_threads > 0 ? n_threads : hardware_threads();
    const std::int64_t blocks = n / grain + (n % grain != 0);
    const std::int64_t worker_count = std::min(requested, blocks);

    std::atomic<std::int64_t> next{0};
    std::atomic<bool> stop{false}, failed{false};
    std::exception_ptr first_error;

    // Claims and runs one block; false when there is nothing left to do.
    // Worker threads run only this and never touch Python.
    auto run_next_block = [&]() noexcept {
        if (stop.load(std::memory_order_relaxed)) return false;
        const std::int64_t begin = next.fetch_add(grain);
        if (begin >= n) return false;
        try {
            body(begin, std::min(begin + grain, n));
        } catch (...) {  // body only computes: the interpreter never ends the thread here
            if (!failed.exchange(true)) first_error = std::current_exception();
            stop = true;
            return false;
        }
        return true;
    };
    auto block_loop = [&]() noexcept {
        while (run_next_block()) {
        }
    };

    ReleasedLock lock;
    std::vector<std::thread> started;
    bool interrupted = false;
    try {
        try {
            started.reserve(static_cast<std::size_t>(worker_count - 1));
            for (std::int64_t k = 1; k < worker_count; ++k) started.emplace_back(block_loop);
        } catch (const std::exception&) {
            // Out of threads or memory: carry on with the threads we have.
        }
        auto last_check = std::chrono::steady_clock::now();
        while (run_next_block()) {
            if (std::chrono::steady_clock::now() - last_check < signal_check_interval) continue;
            if (!lock.signals_clear()) {
                interrupted = true;
                stop = true;
                break;
            }
            last_check = std::chrono::steady_clock::now();
        }
    } catch (...) {
        // The interpreter ends this thread at exit by unwinding it from the
        // signal check; no started thread may outlive the frame it works on.
        stop = true;
        for (std::thread& t : started) t.join();
        lock.reacquire();
        throw;
    }
    for (std::thread& t : started) t.join();
    lock.reacquire();
    if (interrupted) throw py::error_already_set();
    if (first_error) std::rethrow_exception(first_error);
}

// The common tail of every threaded entry.  While the lock is released, the call
// holds an extra reference to each of its arrays, dropped once the lock is
// back.  If the interpreter ends this thread at exit instead of giving the
// lock back, the references are never dropped: the arrays leak rather than
// being freed without the lock while the interpreter tears itself down.
template <class Body>
void run_blocks(std::int64_t n, int n_threads, std::initializer_list<py::handle> arrays,
                const Body& body) {
    for (py::handle a : arrays) a.inc_ref();
    auto drop = [&] {
        for (py::handle a : arrays) a.dec_ref();
    };
    try {
        parallel_blocks(n, n_threads, body);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        drop();
        throw;
    }
    drop();
}

// The binding passes on an array that already has the right dtype and
// layout, even when its data are not aligned for the element type (a view
// at an odd byte offset, or a buffer unpickled from another process).
// Reading through such a pointer is undefined, so the kernels read an
// aligned copy instead.
template <class T, int Flags>
void align(py::array_t<T, Flags>& a) {
    if (a.flags() & py::detail::npy_api::NPY_ARRAY_ALIGNED_) return;
    py::array_t<T, Flags> copy(std::vector<py::ssize_t>(a.shape(), a.shape() + a.ndim()));
    if (a.nbytes() > 0) std::memcpy(copy.mutable_data(), a.data(), static_cast<std::size_t>(a.nbytes()));
    a = std::move(copy);
}

template <class... Arrays>
void align_all(Arrays&... arrays) {
    (align(arrays), ...);
}

Array new_output(std::vector<py::ssize_t> shape) { return Array(std::move(shape)); }

void require(bool ok, const char* message) {
    if (!ok) throw std::invalid_argument(message);
}

// ---------------------------------------------------------------------------
// Philox4x64-10

using Words = std::array<std::uint64_t, 4>;
using u128 = unsigned __int128;

constexpr std::uint64_t philox_mul0 = 0xD2E7470EE14C6C93;
constexpr std::uint64_t philox_mul1 = 0xCA5A826395121157;
constexpr std::uint64_t philox_bump0 = 0x9E3779B97F4A7C15;
constexpr std::uint64_t philox_bump1 = 0xBB67AE8584CAA73B;
constexpr int philox_rounds = 10;

constexpr std::uint64_t high(u128 p) { return static_cast<std::uint64_t>(p >> 64); }
constexpr std::uint64_t low(u128 p) { return static_cast<std::uint64_t>(p); }

constexpr Words philox_round(const Words& x, std::uint64_t r0, std::uint64_t r1) {
    const u128 p0 = u128(philox_mul0) * x[0];
    const u128 p1 = u128(philox_mul1) * x[2];
    return {high(p1) ^ x[1] ^ r0, low(p1), high(p0) ^ x[3] ^ r1, low(p0)};
}

// The generator as published: ten rounds, the key bumped after each.
constexpr Words philox4x64_10(Words x, std::uint64_t r0, std::uint64_t r1) {
    for (int k = 0; k < philox_rounds; ++k) {
        x = philox_round(x, r0, r1);
        r0 += philox_bump0;
        r1 += philox_bump1;
    }
    return x;
}

// The stream of one key and one counter tail (c1, c2, 0) as a function of c0.
// The round keys and every part of the first two rounds that does not depend
// on c0 are computed once here, so that a draw costs the c0 product of round
// 1, one product of round 2 and the eight full rounds after them.
class PhiloxStream {
public:
    constexpr PhiloxStream(std::uint64_t k0, std::uint64_t k1, std::uint64_t c1, std::uint64_t c2) {
        for (int k = 0; k < philox_rounds; ++k) {
            key0_[k] = k0 + philox_bump0 * static_cast<std::uint64_t>(k);
            key1_[k] = k1 + philox_bump1 * static_cast<std::uint64_t>(k);
        }
        const u128 p1 = u128(philox_mul1) * c2;
        after1_x0_ = high(p1) ^ c1 ^ key0_[0];
        after1_x1_ = low(p1);
        round2_p0_ = u128(philox_mul0) * after1_x0_;
    }

    // The words for counter word c0, given its round-1 product philox_mul0 * c0.
    constexpr Words from_product(u128 c0_product) const {
        const std::uint64_t x2 = high(c0_product) ^ key1_[0];
        const std::uint64_t x3 = low(c0_product);
        const u128 p1 = u128(philox_mul1) * x2;
        Words x = {high(p1) ^ after1_x1_ ^ key0_[1], low(p1), high(round2_p0_) ^ x3 ^ key1_[1],
                   low(round2_p0_)};
        for (int k = 2; k < philox_rounds; ++k) x = philox_round(x, key0_[k], key1_[k]);
        return x;
    }

    constexpr Words at(std::uint64_t c0) const { return from_product(u128(philox_mul0) * c0); }

private:
    std::uint64_t key0_[philox_rounds] = {}, key1_[philox_rounds] = {};
    std::uint64_t after1_x0_ = 0, after1_x1_ = 0;
    u128 round2_p0_ = 0;
};

constexpr bool stream_matches_generator(std::uint64_t k0, std::uint64_t k1, std::uint64_t c0,
                                        std::uint64_t c1, std::uint64_t c2) {
    const Words a = PhiloxStream(k0, k1, c1, c2).at(c0);
    const Words b = philox4x64_10({c0, c1, c2, 0}, k0, k1);
    return a[0] == b[0] && a[1] == b[1] && a[2] == b[2] && a[3] == b[3];
}
static_assert(stream_matches_generator(0, 0, 1, 0, 0), "shortcut differs from the generator");
static_assert(stream_matches_generator(0x243F6A8885A308D3, ~0ull, 12345, ~0ull, 1),
              "shortcut differs from the generator");

constexpr double two_pow_minus_53 = 1.1102230246251565e-16;
constexpr double two_pi = 6.283185307179586;

// (0, 1]: never 0, so its logarithm is finite.
inline double uniform_nonzero(std::uint64_t w) {
    return static_cast<double>((w >> 11) + 1) * two_pow_minus_53;
}

// [0, 1).
inline double uniform_below_one(std::uint64_t w) {
    return static_cast<double>(w >> 11) * two_pow_minus_53;
}

inline double box_muller_radius(std::uint64_t w_r) {
    return std::sqrt(std::log(uniform_nonzero(w_r)) * -2.0);
}

inline double box_muller_angle(std::uint64_t w_t) { return uniform_below_one(w_t) * two_pi; }

struct NormalPair {
    double a, b;  // radius * cos(angle), radius * sin(angle)
};

inline NormalPair normal_pair(std::uint64_t w_r, std::uint64_t w_t) {
    const double radius = box_muller_radius(w_r);
    double s, c;
    sincos(box_muller_angle(w_t), &s, &c);
    return {radius * c, radius * s};
}

// The cosine term of normal_pair alone, for draws whose sine term is unused.
inline double normal_cos(std::uint64_t w_r, std::uint64_t w_t) {
    return box_muller_radius(w_r) * std::cos(box_muller_angle(w_t));
}

// ---------------------------------------------------------------------------
// words: raw generator output, on the calling thread with the lock held

WordArray words_py(std::uint64_t k0, std::uint64_t k1, std::int64_t member, std::int64_t block,
                   std::int64_t n) {
    WordArray out({static_cast<py::ssize_t>(n), py::ssize_t{4}});
    std::uint64_t* o = out.mutable_data();
    const PhiloxStream stream(k0, k1, static_cast<std::uint64_t>(member),
                              static_cast<std::uint64_t>(block));
    // c0 = j + 1 grows by one per row, so its round-1 product grows by the multiplier.
    u128 c0_product = philox_mul0;
    for (std::int64_t j = 0; j < n; ++j, c0_product += philox_mul0) {
        const Words w = stream.from_product(c0_product);
        for (int k = 0; k < 4; ++k) o[4 * j + k] = w[k];
    }
    return out;
}

// ---------------------------------------------------------------------------
// perturb: random measurement errors on polarimetric radar fields

enum FieldFlag : int { flag_dbz = 1, flag_zdr = 2, flag_phidp = 4, flag_rhohv = 8, flag_vel = 16 };

constexpr double decibel_factor = 4.342944819032518;  // 10 / ln 10, correctly rounded

inline double clip_unit(double x) { return x < 0.0 ? 0.0 : (x > 1.0 ? 1.0 : x); }

// The inputs of perturb as raw pointers, and where member i's fields go.
struct PerturbData {
    const double *dbz, *zdr, *phidp, *rhohv, *vel;
    const double* fac[6];
    const double *bias_dbz, *bias_zdr;
    int flags;
    std::int64_t n, F;
    double* out;

    // Output row of member i for the field in slot s.
    double* row(std::int64_t i, std::int64_t s) const { return out + (i * F + s) * n; }
};

// Points drawn together, so that the calls to log, sqrt and sincos of
// neighbouring points are independent and overlap in the processor.
constexpr std::int64_t draw_batch = 16;

// Member i, points [begin, end): the deviates first, then the fields.
void perturb_member(const PerturbData& d, std::uint64_t k0, std::uint64_t k1, std::uint64_t member,
                    std::int64_t i, std::int64_t begin, std::int64_t end) {
    const PhiloxStream main_block(k0, k1, member, 0), vel_block(k0, k1, member, 1);
    const bool with_vel = d.flags & flag_vel;
    double* rows[5];
    {
        std::int64_t s = 0;
        for (int bit = 0; bit < 5; ++bit) rows[bit] = (d.flags >> bit) & 1 ? d.row(i, s++) : nullptr;
    }
    const double bias_dbz = d.bias_dbz[i], bias_zdr = d.bias_zdr[i];

    for (std::int64_t g0 = begin; g0 < end; g0 += draw_batch) {
        const std::int64_t count = std::min(draw_batch, end - g0);
        double d0[draw_batch], d1[draw_batch], d2[draw_batch], d3[draw_batch], e0[draw_batch];
        for (std::int64_t k = 0; k < count; ++k) {
            const std::uint64_t c0 = static_cast<std::uint64_t>(g0 + k) + 1;
            const Words w = main_block.at(c0);
            const NormalPair p01 = normal_pair(w[0], w[1]), p23 = normal_pair(w[2], w[3]);
            d0[k] = p01.a;
            d1[k] = p01.b;
            d2[k] = p23.a;
            d3[k] = p23.b;
            if (with_vel) {
                const Words y = vel_block.at(c0);
                e0[k] = normal_cos(y[0], y[1]);
            }
        }
        for (std::int64_t k = 0; k < count; ++k) {
            const std::int64_t g = g0 + k;
            const double eh = d0[k] * d.fac[0][g];
            if (rows[0]) rows[0][g] = (d.dbz[g] + bias_dbz) + decibel_factor * eh;
            if (rows[1]) {
                const double ev = (d1[k] * d.fac[2][g]) + (d.fac[1][g] * d0[k]);
                rows[1][g] = (d.zdr[g] + bias_zdr) + decibel_factor * (eh - ev);
            }
            if (rows[2]) rows[2][g] = (d2[k] * d.fac[3][g]) + d.phidp[g];
            if (rows[3]) rows[3][g] = clip_unit((d3[k] * d.fac[4][g]) + d.rhohv[g]);
            if (rows[4]) rows[4][g] = (e0[k] * d.fac[5][g]) + d.vel[g];
        }
    }
}

Array perturb_py(Array dbz, Array zdr, Array phidp, Array rhohv, Array vel, int flags, Array fac,
                 Array bias_dbz, Array bias_zdr, std::uint64_t k0, std::uint64_t k1,
                 std::int64_t m0, int n_threads) {
    require(fac.ndim() == 2 && fac.shape(0) == 6, "fac must be (6, n)");
    const std::int64_t n = fac.shape(1);
    const std::int64_t M = bias_dbz.size();
    require(bias_zdr.size() == M, "bias arrays differ in length");
    const Array* fields[5] = {&dbz, &zdr, &phidp, &rhohv, &vel};
    std::int64_t F = 0;
    for (int bit = 0; bit < 5; ++bit) {
        if (!((flags >> bit) & 1)) continue;
        require(fields[bit]->size() == n, "a field differs in size from fac");
        ++F;
    }
    align_all(dbz, zdr, phidp, rhohv, vel, fac, bias_dbz, bias_zdr);

    Array out = new_output({M, F, n});
    // No member or no field flagged: nothing to draw.
    if (out.size() == 0) return out;
    PerturbData d{dbz.data(), zdr.data(), phidp.data(), rhohv.data(), vel.data(), {},
                  bias_dbz.data(), bias_zdr.data(), flags, n, F, out.mutable_data()};
    for (int r = 0; r < 6; ++r) d.fac[r] = fac.data() + r * n;
    // Member numbers wrap modulo 2^64, as counter words do.
    const std::uint64_t first_member = static_cast<std::uint64_t>(m0);
    run_blocks(n, n_threads, {out, dbz, zdr, phidp, rhohv, vel, fac, bias_dbz, bias_zdr},
               [&](std::int64_t begin, std::int64_t end) {
        for (std::int64_t i = 0; i < M; ++i)
            perturb_member(d, k0, k1, first_member + static_cast<std::uint64_t>(i), i, begin, end);
    });
    return out;
}

// ---------------------------------------------------------------------------
// statistics: mean, standard deviation and percentiles over the members

// Linear interpolation between the order statistics around rank
// (level / 100) * (v - 1).  The level has been checked to lie in 0 ... 100, so
// the rank lies in 0 ... v - 1 and the conversion to an integer is in range.
// The sorted values are sorted[0], sorted[stride], ...
inline double percentile(const float* sorted, std::int64_t stride, std::int64_t v, double level) {
    const double h = (level / 100.0) * static_cast<double>(v - 1);
    const std::int64_t lo = static_cast<std::int64_t>(std::floor(h));
    const std::int64_t hi = std::min(lo + 1, v - 1);
    const double s_lo = sorted[lo * stride], s_hi = sorted[hi * stride];
    return (s_hi - s_lo) * (h - static_cast<double>(lo)) + s_lo;
}

// Points reduced together: lane p of a tile row holds one member of point
// g0 + p, so that every step below runs over the lanes side by side.
constexpr std::int64_t stat_lanes = 16;

constexpr float missing_member = std::numeric_limits<float>::infinity();

// Lane by lane a = min(a, b), b = max(a, b), four lanes per SSE register
// (SSE is part of every x86-64 processor).  The tile holds no NaN.
inline void compare_exchange(float* a, float* b) {
    for (std::int64_t p = 0; p < stat_lanes; p += 4) {
        const __m128 x = _mm_loadu_ps(a + p), y = _mm_loadu_ps(b + p);
        _mm_storeu_ps(a + p, _mm_min_ps(x, y));
        _mm_storeu_ps(b + p, _mm_max_ps(x, y));
    }
}

// Sorts every lane of the tile's first m rows ascending with Batcher's
// odd-even merge network, which has no data-dependent branches.  The order
// statistics are those of any sort: equal values are interchangeable, and
// signed zeros cannot change an interpolated percentile.
void sort_lanes(float* tile, std::int64_t m) {
    for (std::int64_t p = 1; p < m; p <<= 1)
        for (std::int64_t k = p; k >= 1; k >>= 1)
            for (std::int64_t j = k % p; j + k < m; j += 2 * k)
                for (std::int64_t i = 0; i < std::min(k, m - j - k); ++i)
                    if ((i + j) / (2 * p) == (i + j + k) / (2 * p))
                        compare_exchange(tile + (i + j) * stat_lanes, tile + (i + j + k) * stat_lanes);
}

struct StatisticsData {
    const float* values;
    std::int64_t members, n, min_valid;
    const double* levels;
    std::int64_t P;
    double *mean, *std_dev, *pct;
};

void statistics_block(const StatisticsData& d, std::int64_t begin, std::int64_t end) {
    // The members of stat_lanes points, kept as float32: widening is exact
    // and keeps the order, so sorting before widening gives the same order
    // statistics.  A member that is not valid becomes +inf and sorts last.
    std::vector<float> tile(static_cast<std::size_t>(d.members * stat_lanes));
    for (std::int64_t g0 = begin; g0 < end; g0 += stat_lanes) {
        const std::int64_t width = std::min(stat_lanes, end - g0);
        for (std::int64_t i = 0; i < d.members; ++i) {
            const float* row = d.values + i * d.n + g0;
            float* lanes = tile.data() + i * stat_lanes;
            for (std::int64_t p = 0; p < width; ++p)
                lanes[p] = is_finite(row[p]) ? row[p] : missing_member;
            std::fill(lanes + width, lanes + stat_lanes, missing_member);
        }
        // Both sums run over the valid members in member order, before the sort.
        double sum[stat_lanes] = {}, squares[stat_lanes] = {}, mean[stat_lanes];
        std::int64_t v[stat_lanes] = {};
        for (std::int64_t i = 0; i < d.members; ++i) {
            const float* lanes = tile.data() + i * stat_lanes;
            for (std::int64_t p = 0; p < stat_lanes; ++p) {
                const bool valid = lanes[p] < missing_member;
                sum[p] = valid ? sum[p] + lanes[p] : sum[p];
                v[p] += valid;
            }
        }
        for (std::int64_t p = 0; p < stat_lanes; ++p) mean[p] = sum[p] / static_cast<double>(v[p]);
        for (std::int64_t i = 0; i < d.members; ++i) {
            const float* lanes = tile.data() + i * stat_lanes;
            for (std::int64_t p = 0; p < stat_lanes; ++p) {
                const double dev = lanes[p] - mean[p];
                squares[p] = lanes[p] < missing_member ? squares[p] + dev * dev : squares[p];
            }
        }
        sort_lanes(tile.data(), d.members);

        for (std::int64_t p = 0; p < width; ++p) {
            const std::int64_t j = g0 + p;
            if (v[p] == 0 || v[p] < d.min_valid) {
                d.mean[j] = d.std_dev[j] = quiet_nan;
                for (std::int64_t k = 0; k < d.P; ++k) d.pct[k * d.n + j] = quiet_nan;
                continue;
            }
            d.mean[j] = mean[p];
            d.std_dev[j] = v[p] == 1 ? quiet_nan : std::sqrt(squares[p] / static_cast<double>(v[p] - 1));
            for (std::int64_t k = 0; k < d.P; ++k)
                d.pct[k * d.n + j] = percentile(tile.data() + p, stat_lanes, v[p], d.levels[k]);
        }
    }
}

py::tuple statistics_py(FloatArray values, Array percentiles, std::int64_t min_valid, int n_threads) {
    require(values.ndim() == 2, "values must be (members, n)");
    const std::int64_t members = values.shape(0), n = values.shape(1);
    const std::int64_t P = percentiles.size();
    align_all(values, percentiles);
    const double* levels = percentiles.data();
    // A level outside 0 ... 100 (or NaN) would put the rank outside the sorted members.
    for (std::int64_t k = 0; k < P; ++k)
        require(levels[k] >= 0.0 && levels[k] <= 100.0, "percentiles must be between 0 and 100");

    Array mean = new_output({n}), std_dev = new_output({n}), pct = new_output({P, n});
    const StatisticsData d{values.data(), members, n, min_valid, levels, P,
                           mean.mutable_data(), std_dev.mutable_data(), pct.mutable_data()};
    run_blocks(n, n_threads, {mean, std_dev, pct, values, percentiles},
               [&](std::int64_t begin, std::int64_t end) { statistics_block(d, begin, end); });
    return py::make_tuple(mean, std_dev, pct);
}

// ---------------------------------------------------------------------------
// mode: the most frequent category code over the members

// The code of a member value, or `not_counted` when it has none in
// 0 ... n_codes - 1.  The range test comes before the conversion, since
// converting a float at or beyond 2^63 (or NaN, or an infinity) is undefined.
inline std::int64_t member_code(float x, std::int64_t n_codes, std::int64_t not_counted) {
    const double d = x;
    if (!(d > -1.0 && d < 9223372036854775808.0)) return not_counted;
    const std::int64_t code = static_cast<std::int64_t>(d);  // toward zero: -0.5 gives 0
    return code < n_codes ? code : not_counted;
}

// Room for the count table of a group of points.  A table that cannot be
// made is reported as std::bad_alloc (MemoryError); the non-throwing new makes
// that our decision rather than the allocator's, which under a sanitizer
// would abort instead of throwing.
std::unique_ptr<std::int64_t[]> count_table(std::int64_t n_codes, std::int64_t group) {
    const std::int64_t max_counts = std::numeric_limits<std::int64_t>::max() / 8;
    if (n_codes >= max_counts / group) throw std::bad_alloc();
    std::int64_t* table = new (std::nothrow) std::int64_t[(n_codes + 1) * group];
    if (table == nullptr) throw std::bad_alloc();
    return std::unique_ptr<std::int64_t[]>(table);
}

// Points counted together: each member row is then read contiguously for
// the whole group.  The group shrinks as n_codes grows, down to one point.
constexpr std::int64_t count_budget = 4096;

struct ModeData {
    const float* values;
    std::int64_t members, n, n_codes, min_valid;
    double *code, *fraction;
};

void mode_block(const ModeData& d, std::int64_t begin, std::int64_t end) {
    const std::int64_t group = std::clamp<std::int64_t>(count_budget / d.n_codes, 1, grain);
    // counts[c * group + p] counts code c at point p of the group; the extra
    // row c = n_codes collects the members that are not counted.
    const std::unique_ptr<std::int64_t[]> counts = count_table(d.n_codes, group);
    for (std::int64_t g0 = begin; g0 < end; g0 += group) {
        const std::int64_t width = std::min(group, end - g0);
        std::fill(counts.get(), counts.get() + (d.n_codes + 1) * group, std::int64_t{0});
        for (std::int64_t i = 0; i < d.members; ++i) {
            const float* row = d.values + i * d.n + g0;
            for (std::int64_t p = 0; p < width; ++p)
                ++counts[member_code(row[p], d.n_codes, d.n_codes) * group + p];
        }
        for (std::int64_t p = 0; p < width; ++p) {
            // Strictly greater: ties go to the lowest code.
            std::int64_t best = counts[p], code = 0, total = counts[p];
            for (std::int64_t c = 1; c < d.n_codes; ++c) {
                const std::int64_t count = counts[c * group + p];
                total += count;
                if (count > best) {
                    best = count;
                    code = c;
                }
            }
            const std::int64_t j = g0 + p;
            if (total == 0 || total < d.min_valid) {
                d.code[j] = d.fraction[j] = quiet_nan;
            } else {
                d.code[j] = static_cast<double>(code);
                d.fraction[j] = static_cast<double>(best) / static_cast<double>(total);
            }
        }
    }
}

py::tuple mode_py(FloatArray values, std::int64_t n_codes, std::int64_t min_valid, int n_threads) {
    require(values.ndim() == 2, "values must be (members, n)");
    require(n_codes > 0, "n_codes must be positive");
    const std::int64_t members = values.shape(0), n = values.shape(1);
    align_all(values);

    Array code = new_output({n}), fraction = new_output({n});
    const ModeData d{values.data(), members, n, n_codes, min_valid, code.mutable_data(),
                     fraction.mutable_data()};
    run_blocks(n, n_threads, {code, fraction, values},
               [&](std::int64_t begin, std::int64_t end) { mode_block(d, begin, end); });
    return py::make_tuple(code, fraction);
}

}  // namespace

PYBIND11_MODULE(_ensemble, m) {
    m.doc() = "Random measurement errors and ensemble statistics";
    m.def("perturb", &perturb_py, py::arg("dbz"), py::arg("zdr"), py::arg("phidp"),
          py::arg("rhohv"), py::arg("vel"), py::arg("flags"), py::arg("fac"), py::arg("bias_dbz"),
          py::arg("bias_zdr"), py::arg("k0"), py::arg("k1"), py::arg("m0"),
          py::arg("n_threads") = 0);
    m.def("statistics", &statistics_py, py::arg("values"), py::arg("percentiles"),
          py::arg("min_valid"), py::arg("n_threads") = 0);
    m.def("mode", &mode_py, py::arg("values"), py::arg("n_codes"), py::arg("min_valid"),
          py::arg("n_threads") = 0);
    m.def("words", &words_py, py::arg("k0"), py::arg("k1"), py::arg("member"), py::arg("block"),
          py::arg("n"));
}

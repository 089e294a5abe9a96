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
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <new>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include <sched.h>
#include <unistd.h>

namespace py = pybind11;

namespace {

using Array = py::array_t<double, py::array::c_style | py::array::forcecast>;

// ---------------------------------------------------------------------------
// Interpreter exit
//
// At exit, CPython 3.12 ends a daemon thread that tries to take the
// interpreter lock back by unwinding its stack (pthread_exit).  Inside a call
// that can happen wherever the lock is taken back: in NumPy's conversion of an
// argument, which releases the lock while it casts, and when a kernel takes
// the lock back after computing.  Letting that unwind run would free Python
// objects (the converted arguments) with no thread state, and a destructor
// that takes the lock back cannot let it pass at all (std::terminate).  So the
// unwind is caught right where the lock is taken back, with catch (...), which
// binds no object, and the thread then waits for the process to end: nothing
// is freed, nothing is unwound, and the interpreter never waits for daemon
// threads.

[[noreturn]] void wait_for_process_exit() {
    for (;;) pause();
}

// Runs a call into the interpreter that may take the lock back.  Such calls
// throw no C++ exception of their own, so anything caught is the exit's
// unwind; should an interpreter that is not finalizing ever unwind a thread,
// it is let through.
template <class Call>
auto taking_lock_back(const Call& call) -> decltype(call()) {
    try {
        return call();
    } catch (...) {
        if (!_Py_IsFinalizing()) throw;
        wait_for_process_exit();
    }
}

// Array arguments are converted as pybind11's own caster converts them (the
// same NumPy call and flags, the same signature), with three differences: the
// conversion is wrapped by taking_lock_back; the caster holds no array until
// it has converted one, so that it never owns a placeholder; and a copy that
// runs out of memory, or is interrupted, raises that error rather than the
// binding's TypeError for arguments of the wrong type.
template <class T, int Flags>
struct ArrayArgument {
    using A = py::array_t<T, Flags>;

    bool load(py::handle src, bool convert) {
        if (!convert && !A::check_(src)) return false;
        using api = py::detail::npy_api;
        PyObject* converted = taking_lock_back([&] {
            return api::get().PyArray_FromAny_(src.ptr(), py::dtype::of<T>().release().ptr(), 0, 0,
                                               api::NPY_ARRAY_ENSUREARRAY_ | Flags, nullptr);
        });
        if (converted == nullptr) {
            if (PyErr_ExceptionMatches(PyExc_MemoryError) || !PyErr_ExceptionMatches(PyExc_Exception))
                throw py::error_already_set();
            PyErr_Clear();
            return false;
        }
        value = py::reinterpret_steal<A>(converted);
        return true;
    }
    static py::handle cast(const py::handle& src, py::return_value_policy, py::handle) {
        return src.inc_ref();
    }

    static constexpr auto name = py::detail::handle_type_name<A>::name;
    operator A&() { return value; }
    operator A&&() && { return std::move(value); }
    template <typename U>
    using cast_op_type = py::detail::movable_cast_op_type<U>;

private:
    A value = py::reinterpret_steal<A>(py::handle());
};

}  // namespace

namespace pybind11::detail {
template <>
struct type_caster<Array> : ArrayArgument<double, Array::c_style | Array::forcecast> {};
}  // namespace pybind11::detail

namespace {

constexpr double quiet_nan = std::numeric_limits<double>::quiet_NaN();

inline bool is_finite(double x) { return std::fabs(x) <= std::numeric_limits<double>::max(); }

// ---------------------------------------------------------------------------
// Parallel runner

std::int64_t hardware_threads() {
    const unsigned reported = std::thread::hardware_concurrency();
    return reported == 0 ? 1 : static_cast<std::int64_t>(reported);
}

// The most threads one call starts: a few per processor this process may
// run on, however many are requested.  Results never depend on the count.
std::int64_t thread_limit() {
    std::int64_t usable = hardware_threads();
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0)
        usable = std::min<std::int64_t>(usable, std::max(CPU_COUNT(&allowed), 1));
    return 4 * usable;
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
        if (PyThreadState* state = std::exchange(state_, nullptr))
            taking_lock_back([state] { PyEval_RestoreThread(state); });
    }

    // Runs the signal handlers with the lock held for just that.  False when
    // one of them raised (KeyboardInterrupt for Ctrl-C); the error waits for
    // the caller.  Only the main thread runs handlers, so other threads skip
    // the lock.
    bool signals_clear() {
        if (!handles_signals_ || state_ == nullptr) return true;
        reacquire();
        const bool clear = taking_lock_back([] { return PyErr_CheckSignals(); }) == 0;
        state_ = PyEval_SaveThread();
        return clear;
    }

private:
    bool handles_signals_;
    PyThreadState* state_;
};

// Calls fn(i) for every i in [0, n), in blocks of `grain` consecutive items
// claimed from a shared counter by the calling thread and up to
// worker_count - 1 started threads, with the interpreter lock released.  It
// is called, and returns or throws, with the lock held.  Between blocks the
// calling thread looks for Ctrl-C; on a signal, or on the first exception
// thrown by fn on any thread, no more blocks are claimed, every started
// thread is joined and the error is raised here.  A thread that the system
// refuses to start is simply not there: the threads already running finish
// the blocks.
template <class Fn>
void parallel_blocks(std::int64_t n, std::int64_t grain, int n_threads, const Fn& fn) {
    if (n <= 0) return;
    const std::int64_t requested = n_threads > 0 ? n_threads : hardware_threads();
    const std::int64_t blocks = n / grain + (n % grain != 0);
    const std::int64_t worker_count = std::min({requested, blocks, thread_limit()});

    std::atomic<std::int64_t> next{0};
    std::atomic<bool> stop{false}, failed{false};
    std::exception_ptr first_error;

    // Claims and runs one block; false when there is nothing left to do.
    // Worker threads run only this and never touch Python.
    auto run_next_block = [&]() noexcept {
        if (stop.load(std::memory_order_relaxed)) return false;
        const std::int64_t b = next.fetch_add(grain);
        if (b >= n) return false;
        const std::int64_t e = std::min(b + grain, n);
        try {
            for (std::int64_t i = b; i < e; ++i) fn(i);
        } catch (...) {  // fn only computes: the interpreter never ends the thread here
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
        // No started thread may outlive the frame it works on.
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

// Two doubles in one SSE register.  Lane-wise arithmetic is plain IEEE double
// arithmetic, so two independent sums can share one instruction with results
// identical to the scalar ones.
using Pair = double __attribute__((vector_size(16)));

inline Pair load_pair(const double* p) {
    Pair v;
    std::memcpy(&v, p, sizeof v);
    return v;
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

// Scratch memory for one call, from malloc: a buffer that cannot be had is
// reported as std::bad_alloc (MemoryError) by this code rather than by
// operator new, which under a sanitizer aborts instead of throwing.
template <class T>
class Scratch {
    static_assert(std::is_trivial_v<T>, "scratch elements are not constructed");

public:
    explicit Scratch(std::size_t count) {
        if (count > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
        if (count == 0) return;
        data_ = static_cast<T*>(std::malloc(count * sizeof(T)));
        if (data_ == nullptr) throw std::bad_alloc();
    }
    ~Scratch() { std::free(data_); }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    T* data() { return data_; }
    T& operator[](std::size_t i) { return data_[i]; }

private:
    T* data_ = nullptr;
};

// ---------------------------------------------------------------------------
// thermo: moist thermodynamics point by point

struct Thermo {
    double r, theta, theta_v, theta_e;
};

// Mixing ratio, potential temperature, virtual and equivalent potential
// temperature of one point; the grouping of every formula is kept as written.
inline Thermo thermo_point(double T, double P, double D) {
    const double De = std::isnan(D) ? quiet_nan : (D < T ? D : T);
    const double R = 100000.0 / P;
    const double theta = T * std::pow(R, 0.28542059262205427);
    const double Dc = De - 273.15;
    const double e = std::exp((17.67 * Dc) / (Dc + 243.5)) * 611.2;
    const double r = (0.6219569156569429 * e) / (P - e);
    const double L = std::log(T / De);
    const double rg = 1000.0 * r;
    const double F = std::pow(R, (1.0 - 0.00028 * rg) * 0.2854);
    const double TL = 1.0 / (L / 800.0 + 1.0 / (De - 56.0)) + 56.0;
    const double X = std::exp((3.376 / TL - 0.00254) * rg * (0.00081 * rg + 1.0));
    return {r, theta, ((1.0 + r / 0.6219569156569429) * theta) / (r + 1.0), (T * F) * X};
}

Array thermo_py(Array t, Array p, Array td, int n_threads) {
    const std::int64_t n = t.size();
    require(p.size() == n, "size mismatch");
    require(td.size() == n, "size mismatch");
    align_all(t, p, td);

    Array out = new_output({4, n});
    double* o = out.mutable_data();
    const double *pt = t.data(), *pp = p.data(), *ptd = td.data();
    parallel_blocks(n, 4096, n_threads, [&](std::int64_t i) {
        const Thermo q = thermo_point(pt[i], pp[i], ptd[i]);
        o[i] = q.r;
        o[n + i] = q.theta;
        o[2 * n + i] = q.theta_v;
        o[3 * n + i] = q.theta_e;
    });
    return out;
}

// ---------------------------------------------------------------------------
// cold_pool: integrated negative buoyancy per column

// sqrt(2 I), with a negative total giving 0; a NaN stays NaN.
inline double intensity(double I) {
    const double v = I + I;
    return v < 0.0 ? 0.0 : std::sqrt(v);
}

// Writes column i of the (3, K) output from the column's heights z and
// buoyancies b (J levels each).
void cold_pool_column(const double* z, const double* b, std::int64_t J, double bottom,
                      double threshold, double top, double* out, std::int64_t K, std::int64_t i) {
    double& strength = out[i];
    double& depth = out[K + i];
    double& not_found = out[2 * K + i];
    strength = depth = not_found = quiet_nan;

    auto valid = [&](std::int64_t k) { return is_finite(z[k]) && is_finite(b[k]); };
    std::int64_t k = 0;
    while (k < J && !(valid(k) && (!is_finite(bottom) || z[k] >= bottom))) ++k;
    if (k >= J) return;
    const double z0 = z[k], b0 = b[k];
    double z_prev = z0, b_prev = b0, S = 0.0;
    auto accumulate = [&](std::int64_t k) {
        S = S + ((-b_prev - b[k]) * 0.5) * (z[k] - z_prev);
        z_prev = z[k];
        b_prev = b[k];
    };

    if (is_finite(top)) {  // fixed depth above the base
        const double target = top + z0;
        for (++k; k < J; ++k) {
            if (!valid(k)) continue;
            if (z[k] >= target) {
                const double b_t = ((b[k] - b_prev) * (target - z_prev)) / (z[k] - z_prev) + b_prev;
                const double I = ((-b_prev - b_t) * 0.5) * (target - z_prev) + S;
                strength = intensity(I);
                depth = top;
                not_found = 0.0;
                return;
            }
            accumulate(k);
        }
        return;  // the column ends below the target
    }

    // Threshold mode: up to where the buoyancy first reaches the threshold.
    const double h = threshold;
    if (b0 >= h) {
        strength = depth = not_found = 0.0;
        return;
    }
    for (++k; k < J; ++k) {
        if (!valid(k)) continue;
        if (b[k] >= h) {
            const double z_c = ((h - b_prev) * (z[k] - z_prev)) / (b[k] - b_prev) + z_prev;
            const double I = ((-b_prev - h) * 0.5) * (z_c - z_prev) + S;
            strength = intensity(I);
            depth = z_c - z0;
            not_found = 0.0;
            return;
        }
        accumulate(k);
    }
    strength = intensity(S);
    depth = z_prev - z0;
    not_found = 1.0;
}

Array cold_pool_py(Array z, Array b, Array bottom, double threshold, Array top, int n_threads) {
    require(b.ndim() == 2 && z.ndim() == 2, "z and b must be 2-D");
    const std::int64_t K = b.shape(0), J = b.shape(1);
    require(z.shape(0) == K && z.shape(1) == J, "shape mismatch");
    require(bottom.size() == K, "shape mismatch");
    require(top.size() == K, "shape mismatch");
    align_all(z, b, bottom, top);

    Array out = new_output({3, K});
    double* o = out.mutable_data();
    const double *pz = z.data(), *pb = b.data(), *pbottom = bottom.data(), *ptop = top.data();
    parallel_blocks(K, 64, n_threads, [&](std::int64_t i) {
        cold_pool_column(pz + i * J, pb + i * J, J, pbottom[i], threshold, ptop[i], o, K, i);
    });
    return out;
}

// ---------------------------------------------------------------------------
// profile: layer winds, storm-relative helicity and layer-mean wind

struct Wind {
    double u, v;
    bool found;
};

struct Column {
    const double *z, *u, *v;
    std::int64_t J;
    bool valid(std::int64_t k) const { return is_finite(z[k]) && is_finite(u[k]) && is_finite(v[k]); }
};

constexpr double height_tolerance = 1e-6;

// The wind at height h: the level at h, else linear interpolation between
// the valid levels around h, else the end level if h lies within the
// tolerance beyond it.  A NaN h compares with nothing and ends in failure.
Wind wind_at(const Column& c, double h) {
    std::int64_t lo = -1;
    for (std::int64_t k = 0; k < c.J; ++k) {
        if (!c.valid(k)) continue;
        if (c.z[k] == h) return {c.u[k], c.v[k], true};
        if (c.z[k] > h) {
            if (lo >= 0) {
                const double f = (h - c.z[lo]) / (c.z[k] - c.z[lo]);
                return {(c.u[k] - c.u[lo]) * f + c.u[lo], (c.v[k] - c.v[lo]) * f + c.v[lo], true};
            }
            if (c.z[k] - h > height_tolerance) return {0.0, 0.0, false};
            return {c.u[k], c.v[k], true};
        }
        lo = k;
    }
    if (lo < 0 || !(h - c.z[lo] <= height_tolerance)) return {0.0, 0.0, false};
    return {c.u[lo], c.v[lo], true};
}

// Writes column i of the (7, K) output.
void profile_column(const Column& c, double ground, double bottom, double top, double cu,
                    double cv, double* out, std::int64_t K, std::int64_t i) {
    auto row = [&](int r) -> double& { return out[r * K + i]; };
    for (int r = 0; r < 7; ++r) row(r) = quiet_nan;
    if (c.J <= 0) return;

    double g = ground;
    if (!is_finite(g)) {
        std::int64_t k = 0;
        while (k < c.J && !c.valid(k)) ++k;
        if (k >= c.J) return;
        g = c.z[k];
    }
    const double h_bot = bottom + g, h_top = top + g;
    const Wind bot = wind_at(c, h_bot);
    if (!bot.found) return;
    const Wind tip = wind_at(c, h_top);
    if (!tip.found) return;
    row(0) = bot.u;
    row(1) = bot.v;
    row(2) = tip.u;
    row(3) = tip.v;

    double u_p = bot.u, v_p = bot.v, z_p = h_bot, Su = 0.0, Sv = 0.0, H = 0.0;
    for (std::int64_t k = 0; k < c.J; ++k) {
        if (!c.valid(k) || c.z[k] <= h_bot) continue;
        if (c.z[k] >= h_top) break;
        const double u_k = c.u[k], v_k = c.v[k], z_k = c.z[k];
        H = ((v_p - cv) * (u_k - cu) - (u_p - cu) * (v_k - cv)) + H;
        const double d = z_k - z_p;
        Su = ((u_p + u_k) * 0.5) * d + Su;
        Sv = ((v_p + v_k) * 0.5) * d + Sv;
        u_p = u_k;
        v_p = v_k;
        z_p = z_k;
    }
    if (is_finite(cu) && is_finite(cv))
        row(4) = ((tip.u - cu) * (v_p - cv) - (tip.v - cv) * (u_p - cu)) + H;
    if (h_top > h_bot) {
        row(5) = (((u_p + tip.u) * 0.5) * (h_top - z_p) + Su) / (h_top - h_bot);
        row(6) = (((v_p + tip.v) * 0.5) * (h_top - z_p) + Sv) / (h_top - h_bot);
    } else {
        row(5) = bot.u;
        row(6) = bot.v;
    }
}

Array profile_py(Array z, Array u, Array v, Array ground, double bottom, double top, Array cu,
                 Array cv, int n_threads) {
    require(u.ndim() == 2, "u must be 2-D");
    const std::int64_t K = u.shape(0), J = u.shape(1);
    require(z.size() == K * J, "shape mismatch");
    require(v.size() == K * J, "shape mismatch");
    require(ground.size() == K && cu.size() == K && cv.size() == K, "shape mismatch");
    align_all(z, u, v, ground, cu, cv);

    Array out = new_output({7, K});
    double* o = out.mutable_data();
    const double *pz = z.data(), *pu = u.data(), *pv = v.data(), *pground = ground.data(),
                 *pcu = cu.data(), *pcv = cv.data();
    parallel_blocks(K, 64, n_threads, [&](std::int64_t i) {
        const Column c{pz + i * J, pu + i * J, pv + i * J, J};
        profile_column(c, pground[i], bottom, top, pcu[i], pcv[i], o, K, i);
    });
    return out;
}

// ---------------------------------------------------------------------------
// gradient: derivatives along x and y on a non-uniform grid

// The derivative at a point of value c (coordinate sc) between neighbours a
// (at sa) and d (at sd): centred where both neighbours are usable, one-sided
// next to a gap or an edge, NaN where c or both neighbours are missing.  A
// neighbour outside the grid is passed as NaN, which makes it unusable.
inline double derivative(double a, double c, double d, double sa, double sc, double sd) {
    if (!is_finite(c)) return quiet_nan;
    const bool left = is_finite(a), right = is_finite(d);
    if (right) return left ? (d - a) / (sd - sa) : (d - c) / (sd - sc);
    if (left) return (c - a) / (sc - sa);
    return quiet_nan;
}

Array gradient_py(Array f, Array x, Array y, int n_threads) {
    require(f.ndim() == 3, "f must be 3-D (batch, y, x)");
    const std::int64_t B = f.shape(0), NY = f.shape(1), NX = f.shape(2);
    require(x.size() == NX, "coordinate size");
    require(y.size() == NY, "coordinate size");
    align_all(f, x, y);

    Array out = new_output({2, B, NY, NX});
    if (out.size() == 0) return out;  // rows without points are no work, however many
    double* o = out.mutable_data();
    const double *pf = f.data(), *px = x.data(), *py = y.data();
    const std::int64_t plane = B * NY * NX;
    parallel_blocks(B * NY, 8, n_threads, [&](std::int64_t r) {
        const std::int64_t j = r % NY;
        const bool has_below = j > 0, has_above = j + 1 < NY;
        const double* row = pf + r * NX;  // grid row (b, j); the rows of a batch are adjacent
        const double* below = has_below ? row - NX : row;
        const double* above = has_above ? row + NX : row;
        const double y_below = has_below ? py[j - 1] : quiet_nan;
        const double y_above = has_above ? py[j + 1] : quiet_nan;
        double* dfdx = o + r * NX;
        double* dfdy = o + plane + r * NX;

        auto any_point = [&](std::int64_t i) {
            const double a = i > 0 ? row[i - 1] : quiet_nan;
            const double d = i + 1 < NX ? row[i + 1] : quiet_nan;
            const double xa = i > 0 ? px[i - 1] : quiet_nan;
            const double xd = i + 1 < NX ? px[i + 1] : quiet_nan;
            dfdx[i] = derivative(a, row[i], d, xa, px[i], xd);
            dfdy[i] = derivative(has_below ? below[i] : quiet_nan, row[i],
                                 has_above ? above[i] : quiet_nan, y_below, py[j], y_above);
        };
        if (!has_below || !has_above || NX < 3) {
            for (std::int64_t i = 0; i < NX; ++i) any_point(i);
            return;
        }
        // Interior row: where the point and its four neighbours are all finite,
        // both derivatives are centred and share one paired division.
        const double y_centred = y_above - y_below;
        any_point(0);
        for (std::int64_t i = 1; i + 1 < NX; ++i) {
            const double a = row[i - 1], c = row[i], d = row[i + 1], lo = below[i], hi = above[i];
            if (is_finite(a) & is_finite(c) & is_finite(d) & is_finite(lo) & is_finite(hi)) {
                const Pair q = Pair{d - a, hi - lo} / Pair{px[i + 1] - px[i - 1], y_centred};
                dfdx[i] = q[0];
                dfdy[i] = q[1];
            } else {
                any_point(i);
            }
        }
        any_point(NX - 1);
    });
    return out;
}

// ---------------------------------------------------------------------------
// vad: first- and second-harmonic fits of radial velocity against azimuth

// Scratch for the valid samples of one row of g: vr, and (sin, cos) of az
// and of az + az as adjacent pairs, so that the trigonometric functions are
// evaluated once per sample rather than once per pass.  It lives for one row,
// so a call keeps nothing once it returns.
struct VadScratch {
    explicit VadScratch(std::int64_t g)
        : buffer(5 * static_cast<std::size_t>(g)), vr(buffer.data()), sc(vr + g), sc2(sc + 2 * g) {}
    Scratch<double> buffer;
    double *vr, *sc, *sc2;
};

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
             std::int64_t i) {
    auto row = [&](int k) -> double& { return out[k * R + i]; };
    for (int k = 0; k < 8; ++k) row(k) = quiet_nan;
    if (G < 1) {
        row(4) = 0.0;
        return;
    }
    VadScratch w(G);

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
    align_all(vr, az, cos_el);

    Array out = new_output({8, R});
    double* o = out.mutable_data();
    const double *pvr = vr.data(), *paz = az.data(), *pcos = cos_el.data();
    parallel_blocks(R, 64, n_threads, [&](std::int64_t i) {
        vad_row(pvr + i * G, paz + i * G, pcos[i], G, min_gates, min_spread, o, R, i);
    });
    return out;
}

}  // namespace

PYBIND11_MODULE(_velmora, m) {
    m.doc() = "Cold-pool, wind-profile and baroclinity kernel (multithreaded).";
    // pybind11 looks up NumPy's C interface on first use, releasing the lock
    // while it waits; at import the lock is held and the interpreter is not
    // exiting, so a first kernel call in a daemon thread cannot be ended there.
    py::detail::npy_api::get();
    m.def("thermo", &thermo_py, py::arg("t"), py::arg("p"), py::arg("td"), py::arg("n_threads") = 0);
    m.def("cold_pool", &cold_pool_py, py::arg("z"), py::arg("b"), py::arg("bottom"),
          py::arg("threshold"), py::arg("top"), py::arg("n_threads") = 0);
    m.def("profile", &profile_py, py::arg("z"), py::arg("u"), py::arg("v"), py::arg("ground"),
          py::arg("bottom"), py::arg("top"), py::arg("cu"), py::arg("cv"), py::arg("n_threads") = 0);
    m.def("gradient", &gradient_py, py::arg("f"), py::arg("x"), py::arg("y"), py::arg("n_threads") = 0);
    m.def("vad", &vad_py, py::arg("vr"), py::arg("az"), py::arg("cos_el"), py::arg("min_gates"),
          py::arg("min_spread"), py::arg("n_threads") = 0);
}

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

#include <immintrin.h>
#include <sched.h>
#include <unistd.h>

namespace py = pybind11;

namespace {

using Array = py::array_t<double, py::array::c_style | py::array::forcecast>;
using FloatArray = py::array_t<float, py::array::c_style | py::array::forcecast>;
using WordArray = py::array_t<std::uint64_t, py::array::c_style>;

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
template <>
struct type_caster<FloatArray> : ArrayArgument<float, FloatArray::c_style | FloatArray::forcecast> {};
}  // namespace pybind11::detail

namespace {

constexpr double quiet_nan = std::numeric_limits<double>::quiet_NaN();

inline bool is_finite(double x) { return std::fabs(x) <= std::numeric_limits<double>::max(); }

// ---------------------------------------------------------------------------
// Block runner

constexpr std::int64_t grain = 256;

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
    const std::int64_t worker_count = std::min({requested, blocks, thread_limit()});

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
// Scratch memory and processor paths

// Scratch storage for one block or one call.  It is taken from malloc so
// that a failed allocation becomes std::bad_alloc (MemoryError) by our own
// decision: under AddressSanitizer a failing operator new aborts instead.
template <class T>
class Scratch {
    static_assert(std::is_trivially_copyable_v<T>, "scratch holds plain values");

public:
    explicit Scratch(std::size_t count) {
        if (count > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
        data_ = static_cast<T*>(std::malloc(std::max<std::size_t>(count, 1) * sizeof(T)));
        if (data_ == nullptr) throw std::bad_alloc();
    }
    ~Scratch() { std::free(data_); }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    T* data() { return data_; }
    T& operator[](std::size_t k) { return data_[k]; }

private:
    T* data_ = nullptr;
};

// The instruction sets the reductions are compiled for.  Every path does the
// same IEEE operations in the same order in each lane (or exact ones: min,
// max, integer counts), so all give the same bits; a call takes the widest
// path the processor has.  The block bodies for each path are the same
// templates, compiled once per path by the `target` wrappers below.
enum class VectorPath { sse2, avx2, avx512 };

VectorPath vector_path() {
    __builtin_cpu_init();
    VectorPath path = VectorPath::sse2;
    if (__builtin_cpu_supports("avx2")) path = VectorPath::avx2;
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq"))
        path = VectorPath::avx512;
#ifdef ENSEMBLE_FORCE_PATH
    // Test builds pin a narrower path so that each path runs on any test machine.
    path = std::min(path, VectorPath::ENSEMBLE_FORCE_PATH);
#endif
    return path;
}

// W lanes of T in one register of the path being compiled.
template <class T, int W>
struct Register {
    typedef T type __attribute__((vector_size(sizeof(T) * W)));
};

// Unaligned register loads and stores.
template <class V, class T>
inline void load(V& v, const T* p) {
    std::memcpy(&v, p, sizeof v);
}

template <class V, class T>
inline void store(T* p, const V& v) {
    std::memcpy(p, &v, sizeof v);
}

// ---------------------------------------------------------------------------
// Sorting networks, for the columns of a tile of points side by side

// Rows of a tile hold one member each; lane p of every row belongs to point
// g0 + p, so that a compare-exchange of two rows works on all lanes at once.
constexpr std::int64_t tile_lanes = 16;

// Beyond this many members a network grows faster than a sort of each point.
constexpr std::int64_t network_members = 4096;

// Batcher's odd-even merge sort of m rows as a list of row pairs (a, b) with
// a < b, built once per call: sorting is then one pass over the list.
class SortNetwork {
public:
    explicit SortNetwork(std::int64_t m) : size_(for_each_pair(m, [](std::int64_t, std::int64_t) {})),
                                            rows_(2 * static_cast<std::size_t>(size_)) {
        std::uint32_t* out = rows_.data();
        for_each_pair(m, [&](std::int64_t a, std::int64_t b) {
            *out++ = static_cast<std::uint32_t>(a);
            *out++ = static_cast<std::uint32_t>(b);
        });
    }
    std::int64_t size() const { return size_; }
    const std::uint32_t* rows() const { return rows_.data(); }

private:
    template <class Emit>
    static std::int64_t for_each_pair(std::int64_t m, const Emit& emit) {
        std::int64_t count = 0;
        for (std::int64_t p = 1; p < m; p <<= 1)
            for (std::int64_t k = p; k >= 1; k >>= 1)
                for (std::int64_t j = k % p; j + k < m; j += 2 * k)
                    for (std::int64_t i = 0; i < std::min(k, m - j - k); ++i)
                        if ((i + j) / (2 * p) == (i + j + k) / (2 * p)) {
                            emit(i + j, i + j + k);
                            ++count;
                        }
        return count;
    }

    std::int64_t size_;
    mutable Scratch<std::uint32_t> rows_;
};

// The three paths: lanes per register, and a compare-exchange of two tile
// rows (lane by lane a = min(a, b), b = max(a, b)) in min and max
// instructions, which the generic a < b ? a : b does not become.  The tile
// holds no NaN, so min and max are exact; equal values are interchangeable
// in the order statistics, and signed zeros cannot change an interpolated
// percentile or a code.
struct Sse2 {
    static constexpr int floats = 4;
    static void exchange(float* a, float* b) {
        for (std::int64_t q = 0; q < tile_lanes; q += 4) {
            const __m128 x = _mm_loadu_ps(a + q), y = _mm_loadu_ps(b + q);
            _mm_storeu_ps(a + q, _mm_min_ps(x, y));
            _mm_storeu_ps(b + q, _mm_max_ps(x, y));
        }
    }
};

struct Avx2 {
    static constexpr int floats = 8;
    __attribute__((target("avx2"))) static void exchange(float* a, float* b) {
        for (std::int64_t q = 0; q < tile_lanes; q += 8) {
            const __m256 x = _mm256_loadu_ps(a + q), y = _mm256_loadu_ps(b + q);
            _mm256_storeu_ps(a + q, _mm256_min_ps(x, y));
            _mm256_storeu_ps(b + q, _mm256_max_ps(x, y));
        }
    }
};

struct Avx512 {
    static constexpr int floats = 16;
    __attribute__((target("avx512f"))) static void exchange(float* a, float* b) {
        const __m512 x = _mm512_loadu_ps(a), y = _mm512_loadu_ps(b);
        _mm512_storeu_ps(a, _mm512_mask_min_ps(x, 0xFFFF, x, y));  // all lanes
        _mm512_storeu_ps(b, _mm512_mask_max_ps(x, 0xFFFF, x, y));
    }
};
static_assert(tile_lanes == Avx512::floats, "one AVX-512 register per tile row");

// Sorts every lane of a tile ascending.
template <class Path>
inline void sort_lanes(float* tile, const SortNetwork& network) {
    const std::uint32_t* rows = network.rows();
    for (std::int64_t c = 0; c < network.size(); ++c)
        Path::exchange(tile + rows[2 * c] * tile_lanes, tile + rows[2 * c + 1] * tile_lanes);
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

// Member i, points [begin, end) of one block: first every word and radius,
// then the sine and cosine calls, then the fields.  The calls are made in
// order of their angle's top six bits, so that neighbouring calls take the
// same road through libm's argument reduction; each call still gets the
// argument it has in point order, so the bits are those of normal_pair.
constexpr int angle_bucket_shift = 58;  // 64 buckets
constexpr int angle_buckets = 64;

// order[0 ... count) = 0 ... count - 1 sorted by the top bits of words[k] (stable).
void order_by_angle(const std::uint64_t* words, std::int64_t count, std::uint16_t* order) {
    std::int64_t start[angle_buckets + 1] = {};
    for (std::int64_t k = 0; k < count; ++k) ++start[(words[k] >> angle_bucket_shift) + 1];
    for (int b = 0; b < angle_buckets; ++b) start[b + 1] += start[b];
    for (std::int64_t k = 0; k < count; ++k)
        order[start[words[k] >> angle_bucket_shift]++] = static_cast<std::uint16_t>(k);
}

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

    // Pair 2k is (w[0], w[1]) of point begin + k, pair 2k + 1 is (w[2], w[3]);
    // the velocity draw of that point is pair k of the second block.
    const std::int64_t count = end - begin;  // at most grain
    std::uint64_t angle[2 * grain] = {}, vel_angle[grain] = {};
    double radius[2 * grain], sine[2 * grain], cosine[2 * grain], vel_radius[grain], vel_cosine[grain];
    std::uint16_t order[2 * grain];
    for (std::int64_t k = 0; k < count; ++k) {
        const std::uint64_t c0 = static_cast<std::uint64_t>(begin + k) + 1;
        const Words w = main_block.at(c0);
        radius[2 * k] = box_muller_radius(w[0]);
        angle[2 * k] = w[1];
        radius[2 * k + 1] = box_muller_radius(w[2]);
        angle[2 * k + 1] = w[3];
        if (with_vel) {
            const Words y = vel_block.at(c0);
            vel_radius[k] = box_muller_radius(y[0]);
            vel_angle[k] = y[1];
        }
    }
    order_by_angle(angle, 2 * count, order);
    for (std::int64_t k = 0; k < 2 * count; ++k)
        sincos(box_muller_angle(angle[order[k]]), &sine[order[k]], &cosine[order[k]]);
    if (with_vel) {
        order_by_angle(vel_angle, count, order);
        for (std::int64_t k = 0; k < count; ++k)
            vel_cosine[order[k]] = std::cos(box_muller_angle(vel_angle[order[k]]));
    }

    for (std::int64_t k = 0; k < count; ++k) {
        const std::int64_t g = begin + k;
        // The deviates of normal_pair and normal_cos, in their grouping.
        const double d0 = radius[2 * k] * cosine[2 * k], d1 = radius[2 * k] * sine[2 * k];
        const double d2 = radius[2 * k + 1] * cosine[2 * k + 1];
        const double d3 = radius[2 * k + 1] * sine[2 * k + 1], e0 = vel_radius[k] * vel_cosine[k];
        const double eh = d0 * d.fac[0][g];
        if (rows[0]) rows[0][g] = (d.dbz[g] + bias_dbz) + decibel_factor * eh;
        if (rows[1]) {
            const double ev = (d1 * d.fac[2][g]) + (d.fac[1][g] * d0);
            rows[1][g] = (d.zdr[g] + bias_zdr) + decibel_factor * (eh - ev);
        }
        if (rows[2]) rows[2][g] = (d2 * d.fac[3][g]) + d.phidp[g];
        if (rows[3]) rows[3][g] = clip_unit((d3 * d.fac[4][g]) + d.rhohv[g]);
        if (rows[4]) rows[4][g] = (e0 * d.fac[5][g]) + d.vel[g];
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
    parallel_blocks(n, n_threads, [&](std::int64_t begin, std::int64_t end) {
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

constexpr float float_max = std::numeric_limits<float>::max();
constexpr float missing_member = std::numeric_limits<float>::infinity();

struct StatisticsData {
    const float* values;
    std::int64_t members, n, min_valid;
    const double* levels;
    std::int64_t P;
    double *mean, *std_dev, *pct;
    const SortNetwork* network;  // empty when the points are sorted one by one
    VectorPath path;
};

// The outputs of point j from its v valid members: their sum and sum of
// squared deviations in member order, and the members sorted ascending at
// sorted[0], sorted[stride], ...
inline void write_statistics(const StatisticsData& d, std::int64_t j, std::int64_t v, double mean,
                             double squares, const float* sorted, std::int64_t stride) {
    if (v == 0 || v < d.min_valid) {
        d.mean[j] = d.std_dev[j] = quiet_nan;
        for (std::int64_t k = 0; k < d.P; ++k) d.pct[k * d.n + j] = quiet_nan;
        return;
    }
    d.mean[j] = mean;
    d.std_dev[j] = v == 1 ? quiet_nan : std::sqrt(squares / static_cast<double>(v - 1));
    for (std::int64_t k = 0; k < d.P; ++k) d.pct[k * d.n + j] = percentile(sorted, stride, v, d.levels[k]);
}

// Points g0 ... g0 + tile_lanes - 1 through a tile of members x tile_lanes
// floats.  Members stay float32: widening is exact and keeps the order, so
// sorting before widening gives the same order statistics.  A member that is
// not valid becomes +inf and sorts last.
template <class Path>
inline void statistics_tile(const StatisticsData& d, float* tile, std::int64_t g0) {
    constexpr int W = Path::floats;
    using Floats = typename Register<float, W>::type;
    using HalfFloats = typename Register<float, W / 2>::type;  // widen to one register of doubles
    using Doubles = typename Register<double, W / 2>::type;
    using Counts = typename Register<std::int64_t, W / 2>::type;
    constexpr std::int64_t L = tile_lanes, H = W / 2, K = L / H;
    const Floats largest = Floats{} + float_max, missing = Floats{} + missing_member;
    // The rows are read with a stride of n: fetch those of a later tile ahead.
    constexpr std::int64_t ahead = 2;
    const bool prefetch = g0 + (ahead + 1) * L <= d.n;
    for (std::int64_t i = 0; i < d.members; ++i) {
        const float* row = d.values + i * d.n + g0;
        if (prefetch) __builtin_prefetch(row + ahead * L);
        for (std::int64_t q = 0; q < L; q += W) {
            Floats x;
            load(x, row + q);
            store(tile + i * L + q, x >= -largest && x <= largest ? x : missing);  // NaN fails both
        }
    }
    // Both sums run over the valid members in member order, before the sort,
    // in double, K registers of H lanes side by side.
    const Doubles infinity = Doubles{} + static_cast<double>(missing_member);
    Doubles sum[K] = {}, squares[K] = {}, mean[K];
    Counts v[K] = {};
    for (std::int64_t i = 0; i < d.members; ++i)
        for (std::int64_t k = 0; k < K; ++k) {
            HalfFloats h;
            load(h, tile + i * L + k * H);
            const Doubles x = __builtin_convertvector(h, Doubles);
            const Counts valid = x < infinity;  // -1 or 0
            sum[k] = valid ? sum[k] + x : sum[k];
            v[k] -= valid;
        }
    for (std::int64_t k = 0; k < K; ++k) mean[k] = sum[k] / __builtin_convertvector(v[k], Doubles);
    for (std::int64_t i = 0; i < d.members; ++i)
        for (std::int64_t k = 0; k < K; ++k) {
            HalfFloats h;
            load(h, tile + i * L + k * H);
            const Doubles x = __builtin_convertvector(h, Doubles);
            const Doubles dev = x - mean[k];
            squares[k] = x < infinity ? squares[k] + dev * dev : squares[k];
        }
    sort_lanes<Path>(tile, *d.network);
    double lane_mean[L], lane_squares[L];
    std::int64_t lane_v[L];
    for (std::int64_t k = 0; k < K; ++k) {
        store(lane_mean + k * H, mean[k]);
        store(lane_squares + k * H, squares[k]);
        store(lane_v + k * H, v[k]);
    }
    for (std::int64_t p = 0; p < L; ++p)
        write_statistics(d, g0 + p, lane_v[p], lane_mean[p], lane_squares[p], tile + p, L);
}

__attribute__((target("avx512f,avx512bw,avx512vl,avx512dq"), flatten))
void statistics_tile_avx512(const StatisticsData& d, float* tile, std::int64_t g0) {
    statistics_tile<Avx512>(d, tile, g0);
}

__attribute__((target("avx2"), flatten))
void statistics_tile_avx2(const StatisticsData& d, float* tile, std::int64_t g0) {
    statistics_tile<Avx2>(d, tile, g0);
}

__attribute__((flatten))
void statistics_tile_sse2(const StatisticsData& d, float* tile, std::int64_t g0) {
    statistics_tile<Sse2>(d, tile, g0);
}

// Point j alone, as the definition reads: its valid members in member order
// into `buffer` (room for every member), the sums, then a sort.
void statistics_point(const StatisticsData& d, float* buffer, std::int64_t j) {
    std::int64_t v = 0;
    for (std::int64_t i = 0; i < d.members; ++i) {
        const float x = d.values[i * d.n + j];
        if (std::fabs(x) <= float_max) buffer[v++] = x;
    }
    double sum = 0.0, squares = 0.0;
    for (std::int64_t k = 0; k < v; ++k) sum += buffer[k];
    const double mean = sum / static_cast<double>(v);
    for (std::int64_t k = 0; k < v; ++k) {
        const double dev = buffer[k] - mean;
        squares += dev * dev;
    }
    std::sort(buffer, buffer + v);
    write_statistics(d, j, v, mean, squares, buffer, 1);
}

// Whole tiles of points through the network; the points left over, or all
// of them when there are too many members for a network, one by one.  The
// scratch is never larger than what the block reads.
void statistics_block(const StatisticsData& d, std::int64_t begin, std::int64_t end) {
    std::int64_t j = begin;
    if (end - begin >= tile_lanes && d.members <= network_members) {
        Scratch<float> tile(static_cast<std::size_t>(d.members * tile_lanes));
        for (; j + tile_lanes <= end; j += tile_lanes) {
            switch (d.path) {
                case VectorPath::avx512: statistics_tile_avx512(d, tile.data(), j); break;
                case VectorPath::avx2: statistics_tile_avx2(d, tile.data(), j); break;
                case VectorPath::sse2: statistics_tile_sse2(d, tile.data(), j); break;
            }
        }
    }
    if (j < end) {
        Scratch<float> buffer(static_cast<std::size_t>(d.members));
        for (; j < end; ++j) statistics_point(d, buffer.data(), j);
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
    const SortNetwork network(n >= tile_lanes && members <= network_members ? members : 0);
    const StatisticsData d{values.data(), members, n, min_valid, levels, P,
                           mean.mutable_data(), std_dev.mutable_data(), pct.mutable_data(),
                           &network, vector_path()};
    parallel_blocks(n, n_threads,
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

// The largest float32 that is at most n_codes - 1.  A member value truncated
// toward zero is a whole float32, so it is a code below n_codes exactly when
// it is at most this bound.
float largest_code(std::int64_t n_codes) {
    const std::int64_t last = n_codes - 1;
    float f = static_cast<float>(last);  // rounded to nearest: maybe one step above
    if (static_cast<double>(f) >= 9223372036854775808.0 || static_cast<std::int64_t>(f) > last)
        f = std::nextafter(f, 0.0f);
    return f;
}

// The code of a member value as a float (exact, being a truncated float32),
// or +inf when it is not counted.  Only values below 2^23 have a fraction to
// cut off, and only they are converted to an integer.
inline float code_value(float x, float largest) {
    const bool small = std::fabs(x) < 8388608.0f;
    const float in_range = small ? x : 0.0f;
    const float whole = small ? static_cast<float>(static_cast<std::int32_t>(in_range)) : x;
    return x > -1.0f && x < 9223372036854775808.0f && whole <= largest ? whole : missing_member;
}

struct ModeData {
    const float* values;
    std::int64_t members, n, n_codes, min_valid;
    double *code, *fraction;
    float largest;               // largest_code(n_codes)
    const SortNetwork* network;  // for tiles of sorted codes, when used
    VectorPath path;
};

inline void write_mode(const ModeData& d, std::int64_t j, std::int64_t code, std::int64_t best,
                       std::int64_t total) {
    if (total == 0 || total < d.min_valid) {
        d.code[j] = d.fraction[j] = quiet_nan;
    } else {
        d.code[j] = static_cast<double>(code);
        d.fraction[j] = static_cast<double>(best) / static_cast<double>(total);
    }
}

// Few codes and fewer than 256 members: one byte counter per code and point,
// for count_lanes points side by side.  Each member row is compared with
// every code across all lanes at once.
constexpr std::int64_t count_lanes = 64;
constexpr std::int64_t max_counted_codes = 64;
constexpr std::int64_t max_counted_members = 255;

template <int B>
inline void mode_counted(const ModeData& d, std::uint8_t* counts, std::int64_t g0) {
    using Bytes = typename Register<std::uint8_t, B>::type;
    constexpr std::int64_t L = count_lanes;
    const float limit = static_cast<float>(d.n_codes);  // exact: at most 64
    std::memset(counts, 0, static_cast<std::size_t>(d.n_codes * L));
    // The rows are read with a stride of n: fetch the next group's ahead.
    const bool next_group = g0 + 2 * L <= d.n;
    for (std::int64_t i = 0; i < d.members; ++i) {
        const float* row = d.values + i * d.n + g0;
        if (next_group) for (std::int64_t q = 0; q < L; q += 16) __builtin_prefetch(row + L + q);
        alignas(64) std::uint8_t codes[L];
        for (std::int64_t p = 0; p < L; ++p) {
            const bool counted = row[p] > -1.0f && row[p] < limit;  // false for NaN
            const float x = counted ? row[p] : -1.0f;
            codes[p] = static_cast<std::uint8_t>(static_cast<std::int32_t>(x));  // -1 gives 255
        }
        for (std::int64_t c = 0; c < d.n_codes; ++c) {
            const Bytes code = Bytes{} + static_cast<std::uint8_t>(c);
            for (std::int64_t q = 0; q < L; q += B) {
                Bytes member, count;
                load(member, codes + q);
                load(count, counts + c * L + q);
                store(counts + c * L + q, count - reinterpret_cast<Bytes>(member == code));  // -1 is a hit
            }
        }
    }
    // Strictly greater: ties go to the lowest code.  Totals fit: at most 255 members.
    alignas(64) std::uint8_t best[L], code[L], total[L];
    for (std::int64_t p = 0; p < L; ++p) best[p] = total[p] = counts[p], code[p] = 0;
    for (std::int64_t c = 1; c < d.n_codes; ++c)
        for (std::int64_t p = 0; p < L; ++p) {
            const std::uint8_t count = counts[c * L + p];
            total[p] = static_cast<std::uint8_t>(total[p] + count);
            code[p] = count > best[p] ? static_cast<std::uint8_t>(c) : code[p];
            best[p] = count > best[p] ? count : best[p];
        }
    for (std::int64_t p = 0; p < L; ++p) write_mode(d, g0 + p, code[p], best[p], total[p]);
}

// Any codes, at most network_members members: the codes of tile_lanes points
// sorted lane by lane, then the longest run of equal codes in each lane.
// Runs come in ascending code order, so keeping only a strictly longer run
// leaves the lowest of the most frequent codes.
template <class Path>
inline void mode_sorted(const ModeData& d, float* tile, std::int64_t g0) {
    constexpr int W = Path::floats;
    using Floats = typename Register<float, W>::type;
    using Mask = typename Register<std::int32_t, W>::type;  // -1 or 0 per lane
    constexpr std::int64_t L = tile_lanes, K = L / W;
    const Floats largest = Floats{} + d.largest, missing = Floats{} + missing_member;
    const Floats fraction_limit = Floats{} + 8388608.0f, above_code = Floats{} + 9223372036854775808.0f;
    const Floats one = Floats{} + 1.0f;
    // The rows are read with a stride of n: fetch those of a later tile ahead.
    const bool prefetch = g0 + 3 * L <= d.n;
    for (std::int64_t i = 0; i < d.members; ++i) {
        const float* row = d.values + i * d.n + g0;
        if (prefetch) __builtin_prefetch(row + 2 * L);
        for (std::int64_t q = 0; q < L; q += W) {
            // code_value, lane by lane.
            Floats x;
            load(x, row + q);
            const Mask small = (x > -fraction_limit) & (x < fraction_limit);  // false for NaN
            const Floats in_range = small ? x : Floats{};
            const Floats whole = small ? __builtin_convertvector(__builtin_convertvector(in_range, Mask), Floats) : x;
            const Mask counted = (x > -one) & (x < above_code) & (whole <= largest);
            store(tile + i * L + q, counted ? whole : missing);
        }
    }
    sort_lanes<Path>(tile, *d.network);
    // Counts and run lengths as floats: whole numbers of at most network_members.
    Floats code[K] = {}, best[K] = {}, run[K] = {}, total[K] = {};
    for (std::int64_t i = 0; i < d.members; ++i)
        for (std::int64_t k = 0; k < K; ++k) {
            Floats s, previous;
            load(s, tile + i * L + k * W);
            const Mask counted = s < missing;
            if (i == 0) {
                run[k] = one;
            } else {
                load(previous, tile + (i - 1) * L + k * W);
                run[k] = s == previous ? run[k] + one : one;
            }
            const Mask longer = counted & (run[k] > best[k]);
            best[k] = longer ? run[k] : best[k];
            code[k] = longer ? s : code[k];
            total[k] = counted ? total[k] + one : total[k];
        }
    float lane_code[L], lane_best[L], lane_total[L];
    for (std::int64_t k = 0; k < K; ++k) {
        store(lane_code + k * W, code[k]);
        store(lane_best + k * W, best[k]);
        store(lane_total + k * W, total[k]);
    }
    // Codes lie in 0 ... largest < 2^63 and counts in 0 ... members: in range.
    for (std::int64_t p = 0; p < L; ++p)
        write_mode(d, g0 + p, static_cast<std::int64_t>(lane_code[p]), static_cast<std::int64_t>(lane_best[p]),
                   static_cast<std::int64_t>(lane_total[p]));
}

__attribute__((target("avx512f,avx512bw,avx512vl,avx512dq"), flatten))
void mode_counted_avx512(const ModeData& d, std::uint8_t* counts, std::int64_t g0) {
    mode_counted<64>(d, counts, g0);
}
__attribute__((target("avx2"), flatten))
void mode_counted_avx2(const ModeData& d, std::uint8_t* counts, std::int64_t g0) {
    mode_counted<32>(d, counts, g0);
}
__attribute__((flatten))
void mode_counted_sse2(const ModeData& d, std::uint8_t* counts, std::int64_t g0) {
    mode_counted<16>(d, counts, g0);
}
__attribute__((target("avx512f,avx512bw,avx512vl,avx512dq"), flatten))
void mode_sorted_avx512(const ModeData& d, float* tile, std::int64_t g0) { mode_sorted<Avx512>(d, tile, g0); }
__attribute__((target("avx2"), flatten))
void mode_sorted_avx2(const ModeData& d, float* tile, std::int64_t g0) { mode_sorted<Avx2>(d, tile, g0); }
__attribute__((flatten))
void mode_sorted_sse2(const ModeData& d, float* tile, std::int64_t g0) { mode_sorted<Sse2>(d, tile, g0); }

// Points counted together in the table path: each member row is then read
// contiguously for the whole group.  The group shrinks as n_codes grows,
// down to one point; beyond table_codes the codes of each point are sorted
// instead, so that no scratch grows with n_codes.
constexpr std::int64_t table_codes = 4096;

void mode_table(const ModeData& d, std::int64_t begin, std::int64_t end) {
    const std::int64_t group = std::clamp<std::int64_t>(table_codes / d.n_codes, 1, grain);
    // counts[c * group + p] counts code c at point p of the group; the extra
    // row c = n_codes collects the members that are not counted.
    Scratch<std::int64_t> counts(static_cast<std::size_t>((d.n_codes + 1) * group));
    for (std::int64_t g0 = begin; g0 < end; g0 += group) {
        const std::int64_t width = std::min(group, end - g0);
        std::fill(counts.data(), counts.data() + (d.n_codes + 1) * group, std::int64_t{0});
        for (std::int64_t i = 0; i < d.members; ++i) {
            const float* row = d.values + i * d.n + g0;
            for (std::int64_t p = 0; p < width; ++p)
                ++counts[static_cast<std::size_t>(member_code(row[p], d.n_codes, d.n_codes) * group + p)];
        }
        for (std::int64_t p = 0; p < width; ++p) {
            // Strictly greater: ties go to the lowest code.
            std::int64_t best = counts[p], code = 0, total = counts[p];
            for (std::int64_t c = 1; c < d.n_codes; ++c) {
                const std::int64_t count = counts[static_cast<std::size_t>(c * group + p)];
                total += count;
                if (count > best) {
                    best = count;
                    code = c;
                }
            }
            write_mode(d, g0 + p, code, best, total);
        }
    }
}

// Point by point: the counted codes sorted, then the longest run of equal
// codes, the first one of that length (the lowest code) winning.
void mode_points_sorted(const ModeData& d, std::int64_t begin, std::int64_t end) {
    Scratch<float> codes(static_cast<std::size_t>(d.members));
    for (std::int64_t j = begin; j < end; ++j) {
        std::int64_t total = 0;
        for (std::int64_t i = 0; i < d.members; ++i) {
            const float c = code_value(d.values[i * d.n + j], d.largest);
            if (c < missing_member) codes[static_cast<std::size_t>(total++)] = c;
        }
        std::sort(codes.data(), codes.data() + total);
        std::int64_t best = 0, run = 0;
        float code = 0.0f;
        for (std::int64_t k = 0; k < total; ++k) {
            run = k > 0 && codes[k] == codes[k - 1] ? run + 1 : 1;
            if (run > best) {
                best = run;
                code = codes[k];
            }
        }
        write_mode(d, j, static_cast<std::int64_t>(code), best, total);
    }
}

bool counts_in_bytes(std::int64_t members, std::int64_t n_codes) {
    return n_codes <= max_counted_codes && members <= max_counted_members;
}

// Whole groups of points through the vector paths, the rest (and every
// point when there are too many members for them) through the table or, for
// more codes than a table serves, a sort per point.
void mode_block(const ModeData& d, std::int64_t begin, std::int64_t end) {
    std::int64_t j = begin;
    if (counts_in_bytes(d.members, d.n_codes) && end - begin >= count_lanes) {
        Scratch<std::uint8_t> counts(static_cast<std::size_t>(d.n_codes * count_lanes));
        for (; j + count_lanes <= end; j += count_lanes) {
            switch (d.path) {
                case VectorPath::avx512: mode_counted_avx512(d, counts.data(), j); break;
                case VectorPath::avx2: mode_counted_avx2(d, counts.data(), j); break;
                case VectorPath::sse2: mode_counted_sse2(d, counts.data(), j); break;
            }
        }
    } else if (d.network->size() > 0 && end - begin >= tile_lanes) {
        Scratch<float> tile(static_cast<std::size_t>(d.members * tile_lanes));
        for (; j + tile_lanes <= end; j += tile_lanes) {
            switch (d.path) {
                case VectorPath::avx512: mode_sorted_avx512(d, tile.data(), j); break;
                case VectorPath::avx2: mode_sorted_avx2(d, tile.data(), j); break;
                case VectorPath::sse2: mode_sorted_sse2(d, tile.data(), j); break;
            }
        }
    }
    if (j == end) return;
    if (d.n_codes <= table_codes)
        mode_table(d, j, end);
    else
        mode_points_sorted(d, j, end);
}

py::tuple mode_py(FloatArray values, std::int64_t n_codes, std::int64_t min_valid, int n_threads) {
    require(values.ndim() == 2, "values must be (members, n)");
    require(n_codes > 0, "n_codes must be positive");
    const std::int64_t members = values.shape(0), n = values.shape(1);
    align_all(values);

    Array code = new_output({n}), fraction = new_output({n});
    const bool sorted_tiles = !counts_in_bytes(members, n_codes) && members >= 2 &&
                              members <= network_members && n >= tile_lanes;
    const SortNetwork network(sorted_tiles ? members : 0);
    const ModeData d{values.data(), members, n, n_codes, min_valid, code.mutable_data(),
                     fraction.mutable_data(), largest_code(n_codes), &network, vector_path()};
    parallel_blocks(n, n_threads,
                    [&](std::int64_t begin, std::int64_t end) { mode_block(d, begin, end); });
    return py::make_tuple(code, fraction);
}

}  // namespace

PYBIND11_MODULE(_ensemble, m) {
    m.doc() = "Random measurement errors and ensemble statistics";
    // pybind11 looks up NumPy's C interface on first use, releasing the lock
    // while it waits; at import the lock is held and the interpreter is not
    // exiting, so a first kernel call in a daemon thread cannot be ended there.
    py::detail::npy_api::get();
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

// The calling frame of velmora._radar: the interpreter lock released while a
// kernel computes, the parallel runner, scratch memory and input checks.
// Every entry of the module checks its input, allocates its output, takes
// the raw pointers and hands an item function to run_items.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
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

namespace radar {

namespace py = pybind11;

// At exit, CPython 3.12 ends a daemon thread that tries to take the
// interpreter lock back by unwinding its stack (pthread_exit).  Inside a call
// that can happen wherever the lock is taken back: in NumPy's conversion of an
// argument, which releases the lock while it casts, and when a kernel takes
// the lock back after computing.  Letting that unwind run would free Python
// objects with no thread state, and a destructor that takes the lock back
// cannot let it pass at all (std::terminate).  So the unwind is caught right
// where the lock is taken back, with catch (...), which binds no object, and
// the thread then waits for the process to end: nothing is freed, nothing is
// unwound, and the interpreter never waits for daemon threads.
[[noreturn]] inline void wait_for_process_exit() {
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

// The caster of an array argument: NumPy's conversion as pybind11's own
// caster makes it (the same call and flags, the same signature), wrapped by
// taking_lock_back; no placeholder array is held before the conversion; and a
// copy that runs out of memory, or is interrupted, raises that error rather
// than the binding's TypeError.  Each array type of the module's entries gets
// one (see the end of _radar.cpp).
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

constexpr double quiet_nan = std::numeric_limits<double>::quiet_NaN();

inline bool is_finite(double x) { return std::fabs(x) <= std::numeric_limits<double>::max(); }

inline void require(bool ok, const char* message) {
    if (!ok) throw std::invalid_argument(message);
}

// An array converted inside an entry (an element of a sequence argument), as
// A::ensure converts it, with the exit handling of the caster above; an
// object that cannot be converted gives a null array.
template <class A>
A convert(py::handle h) {
    return taking_lock_back([&] { return A::ensure(h); });
}

inline std::int64_t hardware_threads() {
    const unsigned reported = std::thread::hardware_concurrency();
    return reported == 0 ? 1 : static_cast<std::int64_t>(reported);
}

// The most threads one call starts: a few per processor this process may
// run on, however many are requested.  Results never depend on the count.
inline std::int64_t thread_limit() {
    std::int64_t usable = hardware_threads();
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0)
        usable = std::min<std::int64_t>(usable, std::max(CPU_COUNT(&allowed), 1));
    return 4 * usable;
}

// How often the calling thread looks for a pending signal (Ctrl-C).
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

    void reacquire() {
        if (PyThreadState* state = std::exchange(state_, nullptr))
            taking_lock_back([state] { PyEval_RestoreThread(state); });
    }

    // Runs the signal handlers with the lock held for just that; false when
    // one of them raised.  Only the main thread runs handlers.
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
// worker_count - 1 started threads, with the interpreter lock released.
// Called, and returning or throwing, with the lock held.  On Ctrl-C or on the
// first exception of fn no more blocks are claimed, every started thread is
// joined and the error is raised here.
template <class Fn>
void parallel_blocks(std::int64_t n, std::int64_t grain, int n_threads, const Fn& fn) {
    if (n <= 0) return;
    const std::int64_t requested = n_threads > 0 ? n_threads : hardware_threads();
    const std::int64_t blocks = n / grain + (n % grain != 0);
    const std::int64_t worker_count = std::min({requested, blocks, thread_limit()});

    std::atomic<std::int64_t> next{0};
    std::atomic<bool> stop{false}, failed{false};
    std::exception_ptr first_error;

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

// The common tail of every entry.
template <class Fn>
void run_items(std::int64_t n, std::int64_t grain, int n_threads, const Fn& fn) {
    parallel_blocks(n, grain, n_threads, fn);
}

// Scratch memory from malloc: a buffer that cannot be had is std::bad_alloc
// (MemoryError), also under a sanitizer, whose operator new aborts instead.
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

}  // namespace radar

// Running a routine without the interpreter lock. Arguments are converted to records before, and
// results built after, with the lock held; in between the routine touches no Python object, so
// other Python threads run meanwhile. Every few milliseconds of work the routine's polls take the
// lock back briefly to run pending signal handlers (Ctrl-C); when one raises, the routine stops and
// the call ends with that exception.
#pragma once

#include "binding/pyref.hpp"
#include "core/interrupt.hpp"
#include "core/outcome.hpp"

#include <utility>

namespace pelmora::binding {

class Unlocked {
public:
    Unlocked() noexcept {
        poller_.check = &check;
        poller_.context = this;
        state_ = PyEval_SaveThread();
    }
    // Takes the lock back; an exception raised by a handler is pending again afterwards.
    ~Unlocked() {
        PyEval_RestoreThread(state_);
        if (raised_) PyErr_SetRaisedException(raised_);
    }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

    InterruptPoller& poller() noexcept { return poller_; }
    bool raised() const noexcept { return raised_ != nullptr; }

private:
    static bool check(void* context) noexcept {
        auto* self = static_cast<Unlocked*>(context);
        PyEval_RestoreThread(self->state_);
        if (PyErr_CheckSignals() < 0) self->raised_ = PyErr_GetRaisedException();
        self->state_ = PyEval_SaveThread();
        return self->raised_ != nullptr;
    }

    InterruptPoller poller_;
    PyThreadState* state_ = nullptr;
    PyObject* raised_ = nullptr;
};

// Runs `work` (returning an Outcome) without the lock. When a signal handler raised during the
// work, the outcome is Error::interrupted() whatever the routine returned, and the handler's
// exception is pending: raise_error leaves it in place.
template <class Work>
auto without_gil(Work&& work) -> decltype(work()) {
    using Result = decltype(work());
    Unlocked unlocked;
    bool raised = false;
    Result result = [&]() -> Result {
        InterruptScope scope(unlocked.poller());
        Result r = work();
        raised = unlocked.raised();
        return r;
    }();
    if (raised) return Result(Error::interrupted());
    return result;
}

}  // namespace pelmora::binding

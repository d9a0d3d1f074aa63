// Running a piece of code so that a processor fault inside it (an access
// violation, say, in a network call reading a damaged reply) ends that piece
// instead of the process. MinGW's compiler has no __try/__except, so a
// vectored exception handler moves a faulting thread out of the guarded code
// and back into RunGuarded, which then reports the fault.
#pragma once

#include <type_traits>
#include <utility>

namespace skewmon::platform::win32 {

// Runs body(context). Returns true when it ran to its end, false when a fault
// cut it short. Code cut short does not unwind: the body must own nothing
// that needs a destructor or holds a lock of the program's own while it may
// fault, and, as with setjmp, ordinary stores it made before a fault may be
// lost (what must survive one goes to volatile storage). C++ exceptions and
// the platform's own exception traffic pass through untouched; only genuine
// faults, and Wine's trap for an unimplemented system function, are caught.
bool RunGuarded(void (*body)(void*), void* context);

template <typename Body>
bool RunGuarded(Body&& body) {
    std::decay_t<Body> callable(std::forward<Body>(body));  // functions become pointers
    return RunGuarded([](void* context) { (*static_cast<std::decay_t<Body>*>(context))(); }, &callable);
}

}  // namespace skewmon::platform::win32

#include "platform/win32/fault_guard.h"

#include <windows.h>

namespace skewmon::platform::win32 {
namespace {

// Raised by Wine when a program calls a system function that Wine lists but
// does not implement; it would otherwise end the process.
constexpr DWORD kWineUnimplementedFunction = 0x80000100;

// How far below the faulting code's stack pointer the resumption starts: more
// than the callee's home area, so that nothing of the faulting frame that the
// handler's return could still need is overwritten.
constexpr DWORD64 kStackGap = 256;

struct GuardFrame {
    void* jump[5];  // __builtin_setjmp's buffer
    GuardFrame* outer;
};

// Only genuine faults, and Wine's trap for an unimplemented function.
bool IsGuardedFault(DWORD code) {
    switch (code) {
        case EXCEPTION_ACCESS_VIOLATION:
        case EXCEPTION_IN_PAGE_ERROR:
        case EXCEPTION_ILLEGAL_INSTRUCTION:
        case EXCEPTION_PRIV_INSTRUCTION:
        case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
        case EXCEPTION_DATATYPE_MISALIGNMENT:
        case EXCEPTION_INT_DIVIDE_BY_ZERO:
        case EXCEPTION_INT_OVERFLOW:
        case EXCEPTION_FLT_DENORMAL_OPERAND:
        case EXCEPTION_FLT_DIVIDE_BY_ZERO:
        case EXCEPTION_FLT_INEXACT_RESULT:
        case EXCEPTION_FLT_INVALID_OPERATION:
        case EXCEPTION_FLT_OVERFLOW:
        case EXCEPTION_FLT_STACK_CHECK:
        case EXCEPTION_FLT_UNDERFLOW:
        case kWineUnimplementedFunction:
            return true;
        default:
            // Stack overflow leaves no room to resume on; breakpoints belong
            // to debuggers; C++ and RPC exceptions have handlers of their own.
            return false;
    }
}

// The innermost guard of each thread lives in a Win32 TLS slot rather than a
// thread_local, whose first use per thread allocates memory: the handler may
// run on any thread, for any exception.
class Installation {
public:
    Installation() : slot_(TlsAlloc()) {
        if (slot_ != TLS_OUT_OF_INDEXES) handler_ = AddVectoredExceptionHandler(1, &OnException);
    }
    ~Installation() {
        if (handler_) RemoveVectoredExceptionHandler(handler_);
        if (slot_ != TLS_OUT_OF_INDEXES) TlsFree(slot_);
    }
    Installation(const Installation&) = delete;
    Installation& operator=(const Installation&) = delete;

    bool ready() const { return handler_ != nullptr; }

    GuardFrame* current() const {
        const DWORD saved = GetLastError();  // TlsGetValue clears it
        auto* frame = static_cast<GuardFrame*>(TlsGetValue(slot_));
        SetLastError(saved);
        return frame;
    }
    void setCurrent(GuardFrame* frame) const { TlsSetValue(slot_, frame); }

    static Installation& instance() {
        static Installation installation;
        return installation;
    }

private:
    static LONG CALLBACK OnException(EXCEPTION_POINTERS* info);

    DWORD slot_;
    void* handler_ = nullptr;
};

[[noreturn]] void ResumeAfterFault(GuardFrame* frame) { __builtin_longjmp(frame->jump, 1); }

LONG CALLBACK Installation::OnException(EXCEPTION_POINTERS* info) {
    if (!IsGuardedFault(info->ExceptionRecord->ExceptionCode)) return EXCEPTION_CONTINUE_SEARCH;
    GuardFrame* frame = instance().current();
    if (!frame) return EXCEPTION_CONTINUE_SEARCH;

    // The thread goes on in ResumeAfterFault, on its own stack below the
    // faulting code, as if called from there; that jumps back into
    // RunGuarded. A zero return address ends any stack walk at that point.
    CONTEXT* context = info->ContextRecord;
    DWORD64 sp = (context->Rsp - kStackGap) & ~DWORD64{15};
    sp -= 8;
    *reinterpret_cast<DWORD64*>(sp) = 0;
    context->Rsp = sp;
    context->Rip = reinterpret_cast<DWORD64>(&ResumeAfterFault);
    context->Rcx = reinterpret_cast<DWORD64>(frame);
    return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

namespace {

// Runs the body with `frame` as the thread's innermost guard. Kept apart from
// RunGuarded so that the guard is also taken down when a C++ exception leaves
// the body; a fault never returns here.
__attribute__((noinline)) void CallGuardedBody(const Installation& installation, GuardFrame& frame,
                                               void (*body)(void*), void* context) {
    struct Restore {
        const Installation& installation;
        GuardFrame* outer;
        ~Restore() { installation.setCurrent(outer); }
    } restore{installation, frame.outer};
    installation.setCurrent(&frame);
    body(context);
}

}  // namespace

bool RunGuarded(void (*body)(void*), void* context) {
    const Installation& installation = Installation::instance();
    if (!installation.ready()) {
        body(context);
        return true;
    }
    GuardFrame frame;
    frame.outer = installation.current();
    if (__builtin_setjmp(frame.jump) != 0) {
        installation.setCurrent(frame.outer);  // the body's frames are gone
        return false;
    }
    CallGuardedBody(installation, frame, body, context);
    return true;
}

}  // namespace skewmon::platform::win32

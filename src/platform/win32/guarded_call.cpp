// Windows guard without __try/__except (MinGW's GCC has none).
//
// Each guard captures the thread's registers (RtlCaptureContext) into a frame on its own stack
// and links the frame into a per-thread chain kept in a TLS slot. A fault on a thread inside a
// guard is answered by a vectored exception handler, which loads the captured registers into the
// fault's context, marks the frame as faulted and continues execution: the thread resumes right
// after its capture, sees the mark and returns false.
//
// Only a fault whose instruction lies in this program's own image (our decoders) is recovered.
// Resuming skips every frame between the guard and the fault without unwinding them; that is
// sound for our own code, whose only state that outlives a frame is its locks (left by the
// guard), but not for a system DLL (the trace data helper, the heap), which may hold its own
// locks or half-changed state at that moment: resuming would leave them so, and the next call
// into that DLL, or Stop, could hang or corrupt memory. So a fault elsewhere is passed on and
// ends the process as the system ends it; what a stopped recording lacks is then told by the
// completeness notes.
#include "platform/guarded_call.h"

#include "platform/held_locks.h"

#include <windows.h>

#include <malloc.h> // _resetstkoflw

namespace olv {

// RtlCaptureContext returns a second time when a fault resumes the captured context; the
// compiler must know that, exactly as it knows it of setjmp.
extern "C" __attribute__((returns_twice)) void
OlvCaptureContext(CONTEXT* context) __asm__("RtlCaptureContext");

namespace {

struct alignas(16) GuardFrame {
    CONTEXT context;
    GuardFrame* previous;
    volatile LONG faulted;
    volatile DWORD faultCode;
    GuardLocks locks; // taken inside this guard
};

DWORD gFrameSlot = TLS_OUT_OF_INDEXES;
uintptr_t gImageStart = 0;
uintptr_t gImageEnd = 0;
thread_local bool tFaultArmed = false;

// Written only here; read through a volatile pointer so that the compiler cannot see the null.
int* volatile gFaultTarget = nullptr;

bool IsFault(DWORD code) {
    // Every error-severity exception (access violation, in-page error, illegal or privileged
    // instruction, integer and floating-point faults, stack overflow, ...) and misalignment.
    // The GCC C++ throw (0x20474343) is not an error-severity code and passes untouched.
    return (code & 0xC0000000u) == 0xC0000000u || code == EXCEPTION_DATATYPE_MISALIGNMENT;
}

// Resumes the innermost guard of this thread; false when the thread is in none.
bool ResumeGuard(EXCEPTION_POINTERS* info) {
    if (gFrameSlot == TLS_OUT_OF_INDEXES) return false;
    if (info == nullptr || info->ExceptionRecord == nullptr || info->ContextRecord == nullptr)
        return false;
    DWORD code = info->ExceptionRecord->ExceptionCode;
    if (!IsFault(code)) return false;
    GuardFrame* frame = static_cast<GuardFrame*>(TlsGetValue(gFrameSlot));
    if (frame == nullptr || frame->faulted != 0) return false;
    frame->faultCode = code;
    frame->faulted = 1;
    *info->ContextRecord = frame->context;
    return true;
}

LONG CALLBACK VectoredHandler(EXCEPTION_POINTERS* info) {
    if (info == nullptr || info->ExceptionRecord == nullptr) return EXCEPTION_CONTINUE_SEARCH;
    const uintptr_t at = reinterpret_cast<uintptr_t>(info->ExceptionRecord->ExceptionAddress);
    if (!FaultIsOurs(at, gImageStart, gImageEnd)) return EXCEPTION_CONTINUE_SEARCH;
    return ResumeGuard(info) ? EXCEPTION_CONTINUE_EXECUTION : EXCEPTION_CONTINUE_SEARCH;
}

void FindOwnImage() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&FindOwnImage), &self) ||
        self == nullptr) {
        return;
    }
    auto* base = reinterpret_cast<const unsigned char*>(self);
    auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE) return;
    auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE) return;
    gImageStart = reinterpret_cast<uintptr_t>(base);
    gImageEnd = gImageStart + nt->OptionalHeader.SizeOfImage;
}

BOOL CALLBACK InstallOnce(PINIT_ONCE, PVOID, PVOID*) {
    gFrameSlot = TlsAlloc();
    if (gFrameSlot == TLS_OUT_OF_INDEXES) return TRUE; // guards then run unprotected
    FindOwnImage();
    // Without our image's bounds no fault is ours: the guards then recover nothing.
    AddVectoredExceptionHandler(1, VectoredHandler);
    return TRUE;
}

INIT_ONCE gInstall = INIT_ONCE_STATIC_INIT;

} // namespace

bool GuardedCall(GuardedFunction fn, void* context) {
    InitOnceExecuteOnce(&gInstall, InstallOnce, nullptr, nullptr);
    GuardFrame frame;
    frame.faulted = 0;
    frame.faultCode = 0;
    frame.locks.count = 0;
    frame.locks.dropped = 0;
    frame.previous = gFrameSlot == TLS_OUT_OF_INDEXES
                         ? nullptr
                         : static_cast<GuardFrame*>(TlsGetValue(gFrameSlot));
    OlvCaptureContext(&frame.context);
    if (frame.faulted != 0) {
        // Resumed here from a fault: the registers are those of the capture, the frame's
        // memory is as the handler left it.
        TlsSetValue(gFrameSlot, frame.previous);
        if (frame.faultCode == EXCEPTION_STACK_OVERFLOW) _resetstkoflw();
        // Nothing was unwound: leave the locks taken inside the guard.
        LeaveGuardedLocks(&frame.locks);
        return false;
    }
    if (gFrameSlot != TLS_OUT_OF_INDEXES) TlsSetValue(gFrameSlot, &frame);
    if (tFaultArmed) {
        tFaultArmed = false;
        RaiseSimulatedFault();
    }
    fn(context);
    if (gFrameSlot != TLS_OUT_OF_INDEXES) TlsSetValue(gFrameSlot, frame.previous);
    return true;
}

__attribute__((noinline)) void RaiseSimulatedFault() {
    *gFaultTarget = 1;
}

// The innermost guard of this thread; null outside every guard. TlsGetValue reads the thread's
// own block (no emulated thread-local access on the lock path), but it also clears the last
// error, which a caller may be about to read after a failed call: kept as it was.
static GuardFrame* InnermostGuard() {
    if (gFrameSlot == TLS_OUT_OF_INDEXES) return nullptr;
    const DWORD lastError = GetLastError();
    GuardFrame* frame = static_cast<GuardFrame*>(TlsGetValue(gFrameSlot));
    SetLastError(lastError);
    return frame;
}

void GuardedLockEntered(Lock* lock) {
    GuardFrame* frame = InnermostGuard();
    if (frame == nullptr) return;
    RecordGuardedLock(&frame->locks, lock);
    if (gGuardedLockFault.Fires()) RaiseSimulatedFault();
}

void GuardedLockLeft(Lock* lock) {
    if (GuardFrame* frame = InnermostGuard()) ForgetGuardedLock(&frame->locks, lock);
}

void ArmSimulatedFault() {
    tFaultArmed = true;
}

} // namespace olv

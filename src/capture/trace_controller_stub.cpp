// Placeholder until the real implementation lands; delete this file when it does.
#include "capture/trace_controller.h"

namespace olv {

TraceController* activeTraceController = nullptr;

void ResetTraceController(TraceController*) {}
bool StartKernelSession(TraceController*, UiHandle, AppState*) { return false; }
void StopTraceSessions(TraceController*) {}
void ReleaseTraceController(TraceController*) {}
LossFigures ReadLossFigures(TraceController*) { return {}; }
void OnEventRecord(const EventRecord*) {}
bool StartDnsSession(TraceController*) { return false; }
void StopDnsSession(TraceController*) {}

} // namespace olv

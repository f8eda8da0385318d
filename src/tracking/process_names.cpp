// The ProcessNameTable: the image name of every process the trace has named, with its history
// per process id so that a reused id shows the right name at each time.
#include <cstdint>
#include <iterator>

#include "base/text.h"
#include "platform/memory.h"
#include "tracking/tracking_internal.h"
#include "tracking/tracking_state.h"

namespace olv {

namespace {

ProcessNameNode*& BucketOf(ProcessNameTable& table, uint32_t pid) {
    return table.buckets[pid & (kProcessNameBuckets - 1)];
}

} // namespace

void DropProcessNames(ProcessNameTable* table) {
    for (ProcessNameNode*& head : table->buckets) {
        ProcessNameNode* node = head;
        while (node != nullptr) {
            ProcessNameNode* next = node->next;
            FreeBlock(node);
            node = next;
        }
        head = nullptr;
    }
    table->count = 0;
}

namespace {

// The order of lifetimes: from = 0 lies before every time stamp.
int64_t BeginKey(int64_t from) {
    return from == 0 ? INT64_MIN : from;
}

bool Holds(const ProcessNameNode* node, uint32_t pid, int64_t t) {
    return node->pid == pid && (node->from == 0 || t == 0 || t >= node->from);
}

// The lifetime of pid that holds at t: the newest begun at or before it. Under the lock.
ProcessNameNode* HoldingNode(ProcessNameTable& table, uint32_t pid, int64_t t) {
    for (ProcessNameNode* node = BucketOf(table, pid); node != nullptr; node = node->next) {
        if (Holds(node, pid, t)) return node;
    }
    return nullptr;
}

// The executable's full path, kept when the lifetime has none and the path's file is the name
// the lifetime shows (a DLL or a creator's lie names another file). Under the lock.
void NoteImagePath(ProcessNameNode* node, const char16_t* path, size_t length) {
    if (node == nullptr || node->image[0] != 0 || length == 0 ||
        length >= std::size(node->image)) {
        return;
    }
    const bool full = (length > 2 && path[1] == u':' && path[2] == u'\\') || path[0] == u'\\';
    if (!full) return;
    char16_t copy[kProcessImageChars];
    for (size_t i = 0; i < length; ++i)
        copy[i] = path[i];
    copy[length] = 0;
    if (!EqualsFolded(PathFileName(copy), node->name)) return;
    CopyBounded(node->image, std::size(node->image), copy);
}

// The program a command line starts, as written: its first token, without its quotes.
size_t CommandLineProgram(const char16_t* line, const char16_t** start) {
    *start = nullptr;
    if (line == nullptr) return 0;
    while (*line == u' ' || *line == u'\t')
        ++line;
    const bool quoted = *line == u'"';
    if (quoted) ++line;
    size_t n = 0;
    while (line[n] != 0 && (quoted ? line[n] != u'"' : (line[n] != u' ' && line[n] != u'\t')))
        ++n;
    *start = line;
    return n;
}

void SetName(ProcessNameNode* node, const char16_t* name, ProcessNameSource source) {
    CopyBounded(node->name, std::size(node->name), name);
    node->source = source;
}

// A new lifetime of pid from t, kept in its place among the id's lifetimes (newest first), so a
// lifetime learned late does not hide a later one. Under the lock; nothing when memory is refused.
ProcessNameNode* BeginLifetime(ProcessNameTable& table, uint32_t pid, int64_t t,
                               const char16_t* name, ProcessNameSource source,
                               const char16_t* shortName) {
    // Above the limit the whole history goes at once; later starts and rundowns refill it.
    if (table.count > kProcessNameNodeLimit) {
        DropProcessNames(&table);
        table.dropped = 1;
    }
    auto* node = AllocRecord<ProcessNameNode>();
    if (node == nullptr) return nullptr;
    node->pid = pid;
    node->from = t;
    SetName(node, name, source);
    CopyBounded(node->shortName, std::size(node->shortName), shortName);
    ProcessNameNode** link = &BucketOf(table, pid);
    while (*link != nullptr && !((*link)->pid == pid && BeginKey((*link)->from) <= BeginKey(t))) {
        link = &(*link)->next;
    }
    node->next = *link;
    *link = node;
    ++table.count;
    return node;
}

} // namespace

void NoteProcessStartName(TrackingState* ts, uint32_t pid, int64_t t, const char16_t* shortName,
                          const char16_t* commandLine) {
    if (ts == nullptr || pid == 0) return;
    const char16_t* kernelName = shortName != nullptr ? shortName : u"";
    // The command line's program when the short name does not contradict it, else the short name.
    char16_t fromLine[kProcessChars];
    const bool lineNames = CommandLineFileName(commandLine, fromLine, std::size(fromLine)) &&
                           !TextIsEmpty(kernelName) && FitsShortName(fromLine, kernelName);
    const char16_t* candidate = lineNames ? fromLine : kernelName;
    const ProcessNameSource source = lineNames ? kNameFromCommandLine : kNameFromShortName;
    if (TextIsEmpty(candidate)) return;

    const char16_t* program = nullptr;
    const size_t programLength = lineNames ? CommandLineProgram(commandLine, &program) : 0;

    ProcessNameTable& table = ts->processNames;
    LockGuard guard(&table.lock);
    ProcessNameNode* node = HoldingNode(table, pid, t);
    if (node != nullptr && node->ended == 0) {
        if (node->shortName[0] == 0 && node->source >= kNameFromImage) {
            // Named before its start arrived: by the launcher, or by its executable's load. A
            // load the short name contradicts was not this process's executable.
            CopyBounded(node->shortName, std::size(node->shortName), kernelName);
            if (node->source != kNameFromLauncher && !FitsShortName(node->name, kernelName)) {
                SetName(node, candidate, source);
            }
            NoteImagePath(node, program, programLength);
            return;
        }
        if (TextEquals(node->shortName, kernelName)) {
            // The same program again (a start and its rundown, a repeated rundown).
            if (PrefersProcessName(static_cast<ProcessNameSource>(node->source), source, candidate,
                                   node->shortName)) {
                SetName(node, candidate, source);
            }
            NoteImagePath(node, program, programLength);
            return;
        }
    }
    NoteImagePath(BeginLifetime(table, pid, t, candidate, source, kernelName), program,
                  programLength);
}

void NoteProcessImageName(TrackingState* ts, uint32_t pid, int64_t t, const char16_t* imagePath,
                          bool mayBegin) {
    if (ts == nullptr || pid == 0) return;
    const char16_t* file = PathFileName(imagePath);
    if (TextIsEmpty(file)) return;
    ProcessNameTable& table = ts->processNames;
    LockGuard guard(&table.lock);
    ProcessNameNode* node = HoldingNode(table, pid, t);
    if (node != nullptr && node->ended == 0) {
        if (PrefersProcessName(static_cast<ProcessNameSource>(node->source), kNameFromImage, file,
                               node->shortName)) {
            SetName(node, file, kNameFromImage);
        }
        // Every load of a running process comes here: only the executable's own load, while its
        // path is still missing, is measured and copied.
        if (node->image[0] == 0 && EqualsFolded(file, node->name)) {
            NoteImagePath(node, imagePath, TextLength(imagePath));
        }
        return;
    }
    // After the history was dropped, an id without a lifetime may be a running process whose
    // next load is any DLL: only an ended lifetime then proves the process new.
    if (!mayBegin || (node == nullptr && table.dropped != 0)) return;
    NoteImagePath(BeginLifetime(table, pid, t, file, kNameFromImage, u""), imagePath,
                  TextLength(imagePath));
}

void NoteProcessEndName(TrackingState* ts, uint32_t pid, int64_t t) {
    if (ts == nullptr || pid == 0) return;
    ProcessNameTable& table = ts->processNames;
    LockGuard guard(&table.lock);
    ProcessNameNode* node = HoldingNode(table, pid, t);
    if (node != nullptr) node->ended = 1;
}

void RememberProcessName(TrackingState* ts, uint32_t pid, const char16_t* name, int64_t t) {
    NoteProcessStartName(ts, pid, t, name, nullptr);
}

void NameLaunchedProcess(TrackingState* ts, uint32_t pid, const char16_t* name, int64_t from) {
    if (ts == nullptr || pid == 0 || TextIsEmpty(name)) return;
    ProcessNameTable& table = ts->processNames;
    LockGuard guard(&table.lock);
    BeginLifetime(table, pid, from, name, kNameFromLauncher, u"");
}

bool LookupProcessImage(TrackingState* ts, uint32_t pid, int64_t t, char16_t* out,
                        size_t capacity) {
    if (out != nullptr && capacity > 0) out[0] = 0;
    if (ts == nullptr || pid == 0 || out == nullptr || capacity == 0) return false;
    ProcessNameTable& table = ts->processNames;
    LockGuard guard(&table.lock);
    const ProcessNameNode* node = HoldingNode(table, pid, t);
    if (node == nullptr || node->image[0] == 0) return false;
    CopyBounded(out, capacity, node->image);
    return true;
}

bool LookupProcessName(TrackingState* ts, uint32_t pid, int64_t t, char16_t* out, size_t capacity) {
    if (out != nullptr && capacity > 0) out[0] = 0;
    if (ts == nullptr || pid == 0) return false;
    ProcessNameTable& table = ts->processNames;
    LockGuard guard(&table.lock);
    for (ProcessNameNode* node = BucketOf(table, pid); node != nullptr; node = node->next) {
        if (node->pid != pid || node->name[0] == 0) continue;
        if (node->from == 0 || t == 0 || t >= node->from) {
            CopyBounded(out, capacity, node->name);
            return true;
        }
    }
    return false;
}

} // namespace olv

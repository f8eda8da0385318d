#include "views/row_facts_flow.h"

#include <cstring>

#include "base/format.h"
#include "base/note_text.h"
#include "platform/memory.h"
#include "platform/time.h"
#include "record/compact_row.h"
#include "record/recording.h"
#include "record/stored_rows.h"
#include "record/thread_row.h"

namespace olv {

// Rows waiting at once: each takes up to five of the worker's slots, so more cannot be answered.
constexpr uint32_t kWaitingRows = 1024;
constexpr uint64_t kParentToken = 1; // ticket's low bits: the parent's token, for ParentUser

struct WaitingRow {
    int32_t row;
    uint32_t outstanding;
};

// A stream row whose read waits for the stream's close, so that it is read whole.
constexpr uint32_t kPendingStreams = 64;
struct PendingStream {
    int32_t row;
    uint32_t pid;
    uint32_t path; // text id: the close row of the same file names the same text
    int64_t arrived;
};

struct RowFactsFlow {
    FactsWorker* worker;
    PendingStream streams[kPendingStreams];
    uint32_t streamCount;
    FactsCounts counts; // as the worker had them when it was stopped
    uint8_t stopped;
    WaitingRow waiting[kWaitingRows];
    uint32_t waitingCount;
    uint64_t rowsNotAsked; // rows that found every waiting place taken
};

namespace {

// A UTF-8 text (the image facts' texts; valid, as the reader makes them) as UTF-16, terminated.
void FromUtf8(const char* text, char16_t* out, size_t capacity) {
    size_t n = 0;
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    while (*s != 0 && n + 1 < capacity) {
        uint32_t c = *s++;
        int more = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        if (more > 0) c &= 0x3Fu >> more;
        for (; more > 0 && (*s & 0xC0) == 0x80; --more)
            c = (c << 6) | (*s++ & 0x3Fu);
        if (more > 0 || c > 0xFFFF) c = 0xFFFD; // cut short, or beyond the plane rules compare
        out[n++] = static_cast<char16_t>(c);
    }
    out[n] = 0;
}

// Texts of one answer, each in its own room.
struct AnswerTexts {
    char16_t text[kRowFactCount][kFactChars];
    RowFactTexts given;
    void Put(RowFact fact, const char* utf8) {
        FromUtf8(utf8, text[fact], kFactChars);
        given.known |= 1u << fact;
        given.text[fact] = text[fact];
    }
    void Put16(RowFact fact, const char16_t* text16) {
        given.known |= 1u << fact;
        given.text[fact] = text16;
    }
};

void ImageTexts(const ImageFacts& image, AnswerTexts* t) {
    const struct {
        RowFact fact;
        const FactText* text;
    } versions[] = {{kFactOriginalFileName, &image.originalFileName},
                    {kFactDescription, &image.description},
                    {kFactProduct, &image.product},
                    {kFactCompany, &image.company},
                    {kFactFileVersion, &image.fileVersion}};
    for (const auto& v : versions) {
        // A cut text is not the file's text: a rule comparing it whole would be misled.
        if (v.text->known && !v.text->truncated) t->Put(v.fact, v.text->text);
    }
    if (image.digestsKnown) {
        t->Put(kFactMd5, image.md5);
        t->Put(kFactSha1, image.sha1);
        t->Put(kFactSha256, image.sha256);
    }
    if (image.imphashKnown) t->Put(kFactImphash, image.imphash);
    if (image.hashesKnown) t->Put(kFactHashes, image.hashes);
}

void TrustTexts(const FileTrust& trust, AnswerTexts* t) {
    if (trust.status != kFileTrustChecked) return;
    const SignatureVerdict verdict = SignatureVerdictOf(trust.trustResult);
    if (verdict.signedKnown) t->Put16(kFactSigned, SignedText(verdict.isSigned));
    t->Put16(kFactSignatureStatus, verdict.status);
    if (trust.signerKnown) t->Put16(kFactSignature, trust.signer);
    else if (verdict.signedKnown && !verdict.isSigned) t->Put16(kFactSignature, u"");
}

void TokenTexts(const ProcessTokenFacts& token, bool parent, AnswerTexts* t) {
    if (token.status != kTokenRead) return;
    if (parent) {
        if (token.userKnown) t->Put16(kFactParentUser, token.user);
        return;
    }
    if (token.userKnown) t->Put16(kFactUser, token.user);
    if (token.integrityKnown) t->Put16(kFactIntegrityLevel, IntegrityLevelName(token.integrityRid));
    if (token.logonIdKnown) {
        LogonIdText(token.logonId, t->text[kFactLogonId], kFactChars);
        t->Put16(kFactLogonId, t->text[kFactLogonId]);
    }
}

struct PollCall {
    Recording* app;
    RowFactsFlow* flow;
    RowFactsDoneFn done;
    void* context;
    int32_t handed;
    AnswerTexts* texts;
};

WaitingRow* FindWaiting(RowFactsFlow* flow, int32_t row) {
    for (uint32_t i = 0; i < flow->waitingCount; ++i) {
        if (flow->waiting[i].row == row) return &flow->waiting[i];
    }
    return nullptr;
}

void Finish(PollCall* call, WaitingRow* w) {
    const int32_t row = w->row;
    *w = call->flow->waiting[--call->flow->waitingCount];
    ++call->handed;
    if (call->done != nullptr) call->done(call->app, row, call->context);
}

void TakeAnswer(void* context, const FactsAnswer& answer) {
    auto* call = static_cast<PollCall*>(context);
    const auto row = static_cast<int32_t>(answer.ticket >> 2);
    WaitingRow* w = FindWaiting(call->flow, row);
    if (w == nullptr) return; // the rows were cleared since
    if (answer.outcome == kFactsRead && answer.result != nullptr && row < call->app->rowCount) {
        AnswerTexts* t = call->texts;
        t->given = RowFactTexts{};
        const FactsResult& r = *answer.result;
        switch (answer.kind) {
        case kFactsImage: ImageTexts(r.image, t); break;
        case kFactsTrust: TrustTexts(r.trust, t); break;
        case kFactsToken: TokenTexts(r.token, (answer.ticket & 3) == kParentToken, t); break;
        case kFactsRegistry:
            // Only the value's whole text: the start of one could mislead an equality.
            if (r.detailsOutcome == kDetailsWhole) t->Put16(kFactDetails, r.details);
            break;
        case kFactsStream:
            if (r.stream.hashKnown) t->Put(kFactHash, r.stream.hash);
            if (r.stream.contentsKnown) t->Put16(kFactContents, r.stream.contents);
            break;
        case kFactsDirectory:
            if (r.directory.status == kDirectoryRead)
                t->Put16(kFactCurrentDirectory, r.directory.path);
            break;
        case kFactsExport:
            // Known and empty when the module's exports were read and none starts there.
            if (r.exported.known) t->Put(kFactStartFunction, r.exported.name);
            break;
        }
        // Refused memory leaves these facts unknown; the row is matched all the same.
        SetStoredFacts(call->app, row, t->given);
    }
    if (--w->outstanding == 0) Finish(call, w);
}

// Asks for the facts of a stream row whose wait ended; a refused request leaves the row with
// nothing outstanding, and the next poll hands it out with its facts unknown.
void AskStreamFacts(Recording* app, RowFactsFlow* flow, const PendingStream& p, int64_t now) {
    WaitingRow* w = FindWaiting(flow, p.row);
    if (w == nullptr) return;
    const TextView text = TextOfId(StoredTexts(app), p.path);
    char16_t path[kFactsPathChars];
    bool asked = false;
    if (text.length < kFactsPathChars && text.length < kPathChars) {
        char16_t all[kPathChars];
        CopyTextUnits(text, all);
        std::memcpy(path, all, text.length * sizeof(char16_t));
        path[text.length] = 0;
        asked = RequestStreamFacts(flow->worker, static_cast<uint64_t>(p.row) << 2, now, path);
    }
    if (!asked) w->outstanding = 0;
}

// Streams whose close came (closedPid and closedPath: the close row; 0 for none), or which
// waited for it as long as facts may take, are asked for now.
void AskClosedStreams(Recording* app, RowFactsFlow* flow, uint32_t closedPid, uint32_t closedPath,
                      int64_t now) {
    uint32_t i = 0;
    while (i < flow->streamCount) {
        const PendingStream p = flow->streams[i];
        const bool closed = closedPath != 0 && p.pid == closedPid && p.path == closedPath;
        const bool waited = now > p.arrived && now - p.arrived >= kFactsDeadlineTicks;
        if (!closed && !waited) {
            ++i;
            continue;
        }
        flow->streams[i] = flow->streams[--flow->streamCount];
        AskStreamFacts(app, flow, p, now);
    }
}

} // namespace

bool StartRowFacts(Recording* app, const FactsWorkerConfig* config) {
    FreeRowFacts(app);
    auto* flow = static_cast<RowFactsFlow*>(AllocZeroed(sizeof(RowFactsFlow)));
    if (flow == nullptr) return false;
    flow->worker = StartFactsWorker(config);
    if (flow->worker == nullptr) {
        FreeBlock(flow);
        return false;
    }
    app->rowFacts = flow;
    return true;
}

bool RowImagePath(const Recording* app, int32_t index, char16_t* path, size_t capacity) {
    if (capacity == 0 || index < 0 || index >= app->rowCount) return false;
    path[0] = 0;
    const RowKind kind = StoredKind(app, index);
    if (FactsLayoutOfKind(kind) != kFactsLayoutImage &&
        FactsLayoutOfKind(kind) != kFactsLayoutProcess) {
        return false;
    }
    const TextStore* store = StoredTexts(app);
    const CompactRow& row = StoredRecord(app, index);
    // The image: a start's program (its command line's first part), a load's file.
    uint32_t line = 0, start = 0, length = 0;
    TextView text = TextOfId(store, row.path);
    const bool loadedFile = FactsLayoutOfKind(kind) == kFactsLayoutImage;
    if (!loadedFile && StartedProcessFacts(store, row, &line, &start, &length)) {
        text = TextOfId(store, line);
    } else {
        start = 0;
        length = text.length;
    }
    if (length <= 2 || length >= capacity || text.length >= kPathChars) return false;
    char16_t all[kPathChars];
    CopyTextUnits(text, all);
    std::memcpy(path, all + start, length * sizeof(char16_t));
    path[length] = 0;
    // Only a full path names a file: a bare name would be looked up in this program's folder,
    // which is not where the process found it.
    if (path[1] == u':' || path[0] == u'\\' || path[0] == u'/') return true;
    path[0] = 0;
    return false;
}

uint32_t RequestRowFacts(Recording* app, int32_t index, int64_t now) {
    RowFactsFlow* flow = app->rowFacts;
    if (flow == nullptr || flow->stopped != 0 || index < 0 || index >= app->rowCount) return 0;
    const RowKind kind = StoredKind(app, index);
    if (flow->streamCount > 0) {
        const CompactRow& closing = StoredRecord(app, index);
        const bool close = kind == RowKind::ClosedFile;
        AskClosedStreams(app, flow, close ? closing.pid : 0, close ? closing.path : 0, now);
    }
    if (FactsLayoutOfKind(kind) == kFactsLayoutNone) return 0;
    if (flow->waitingCount >= kWaitingRows) {
        ++flow->rowsNotAsked;
        return 0;
    }
    const TextStore* store = StoredTexts(app);
    const CompactRow& row = StoredRecord(app, index);
    const uint64_t ticket = static_cast<uint64_t>(index) << 2;
    uint32_t asked = 0;
    char16_t path[kFactsPathChars];
    if (kind == RowKind::WroteAlternateDataStream) {
        // Read when the stream is closed (its writes done), or when no close came in time.
        const PendingStream p{index, row.pid, row.path, now};
        flow->waiting[flow->waitingCount++] = WaitingRow{index, 1};
        if (flow->streamCount < kPendingStreams) {
            flow->streams[flow->streamCount++] = p;
        } else {
            AskStreamFacts(app, flow, p, now);
        }
        return 1;
    }
    if (kind == RowKind::CreatedThreadInAnotherProcess) {
        // The module and the offset the detail names; a module cut short (no offset after it)
        // names no file, and neither does anything but a full path.
        char16_t detail[kDetailChars + 1];
        CopyStoredText(app, index, kTextDetail, detail, kDetailChars + 1);
        const char16_t* module = nullptr;
        const size_t length = ThreadModuleOfDetail(detail, &module);
        uint64_t offset = 0;
        const bool full =
            length > 2 && (module[1] == u':' || module[0] == u'\\' || module[0] == u'/');
        if (full && ThreadOffsetOfDetail(detail, &offset) &&
            offset <= 0xFFFFFFFFu) {
            std::memcpy(path, module, length * sizeof(char16_t));
            path[length] = 0;
            asked += RequestExportFacts(flow->worker, ticket, now, path,
                                        static_cast<uint32_t>(offset));
        }
    } else if (kind == RowKind::WroteRegistryValue) {
        uint32_t key = 0, valueStart = 0, valueLength = 0;
        if (RegistryFacts(store, row, &key, &valueStart, &valueLength)) {
            char16_t value[256];
            const TextView detail = TextOfId(store, row.detail);
            const TextView keyText = TextOfId(store, key);
            if (valueLength < 256 && keyText.length < kFactsPathChars) {
                char16_t all[kDetailChars];
                CopyTextUnits(detail, all);
                std::memcpy(value, all + valueStart, valueLength * sizeof(char16_t));
                value[valueLength] = 0;
                CopyTextUnits(keyText, path);
                path[keyText.length] = 0;
                const auto eventTime = static_cast<int64_t>(row.timestamp);
                asked += RequestRegistryDetails(flow->worker, ticket, now, path, value, eventTime);
            }
        }
    } else {
        if (RowImagePath(app, index, path, kFactsPathChars)) {
            asked += RequestImageFacts(flow->worker, ticket, now, path);
            asked += RequestFileTrust(flow->worker, ticket, now, path);
        }
        // A loaded file's row has no process of its own to ask about.
        if (FactsLayoutOfKind(kind) != kFactsLayoutImage) {
            asked += RequestTokenFacts(flow->worker, ticket, now, row.pid);
            asked += RequestProcessDirectory(flow->worker, ticket, now, row.pid);
            const uint32_t parent = StoredParentPid(app, index);
            if (parent != 0)
                asked += RequestTokenFacts(flow->worker, ticket | kParentToken, now, parent);
        }
    }
    if (asked > 0) flow->waiting[flow->waitingCount++] = WaitingRow{index, asked};
    return asked;
}

uint32_t RowFactsPending(const Recording* app) {
    const RowFactsFlow* flow = app->rowFacts;
    return flow != nullptr && flow->stopped == 0 ? PendingFacts(flow->worker) : 0;
}

bool RowWaitsForFacts(const Recording* app, int32_t index) {
    const RowFactsFlow* flow = app->rowFacts;
    if (flow == nullptr) return false;
    for (uint32_t i = 0; i < flow->waitingCount; ++i) {
        if (flow->waiting[i].row == index) return true;
    }
    return false;
}

int32_t PollRowFacts(Recording* app, int64_t now, RowFactsDoneFn done, void* context) {
    RowFactsFlow* flow = app->rowFacts;
    if (flow == nullptr || flow->stopped != 0 || flow->waitingCount == 0) return 0;
    auto* texts = static_cast<AnswerTexts*>(AllocZeroed(sizeof(AnswerTexts)));
    if (texts == nullptr) return 0; // asked again at the next tick
    PollCall call{app, flow, done, context, 0, texts};
    if (flow->streamCount > 0) AskClosedStreams(app, flow, 0, 0, now);
    // Rows whose last request was refused: nothing more will come for them.
    for (uint32_t i = 0; i < flow->waitingCount;) {
        if (flow->waiting[i].outstanding == 0) {
            Finish(&call, &flow->waiting[i]);
        } else {
            ++i;
        }
    }
    PollFacts(flow->worker, now, TakeAnswer, &call, ~0u);
    FreeBlock(texts);
    return call.handed;
}

void StopRowFacts(Recording* app, uint32_t waitMs, RowFactsDoneFn done, void* context) {
    RowFactsFlow* flow = app->rowFacts;
    if (flow == nullptr || flow->stopped != 0) return;
    // Streams still open are read as they are; what the stop drops is counted with the rest.
    while (flow->streamCount > 0) {
        const PendingStream p = flow->streams[--flow->streamCount];
        AskStreamFacts(app, flow, p, NowTicks());
    }
    StopFactsWorker(flow->worker, waitMs);
    ReadFactsCounts(flow->worker, &flow->counts);
    flow->stopped = 1;
    while (flow->waitingCount > 0) {
        const int32_t row = flow->waiting[--flow->waitingCount].row;
        if (done != nullptr) done(app, row, context);
    }
}

FactsCounts RowFactsCounts(const Recording* app) {
    FactsCounts counts{};
    const RowFactsFlow* flow = app->rowFacts;
    if (flow == nullptr) return counts;
    if (flow->stopped != 0) return flow->counts;
    ReadFactsCounts(flow->worker, &counts);
    return counts;
}

namespace {

// FactsCounts member by member, in the order of the kept values from kKeptFactsRequested.
constexpr uint64_t FactsCounts::*kKeptFactsMembers[] = {
    &FactsCounts::requested,        &FactsCounts::answered,
    &FactsCounts::refusedFull,      &FactsCounts::refusedLong,
    &FactsCounts::late,             &FactsCounts::imagesUnreadable,
    &FactsCounts::imagesFailed,     &FactsCounts::largeFiles,
    &FactsCounts::largeHashed,      &FactsCounts::largeNotHashed,
    &FactsCounts::trustUnreadable,  &FactsCounts::tokensGone,
    &FactsCounts::tokensUnreadable, &FactsCounts::directoriesUnreadable,
    &FactsCounts::registryChanged,  &FactsCounts::registryUnreadable,
    &FactsCounts::streamsUnreadable, &FactsCounts::exportsUnreadable,
    &FactsCounts::droppedAtStop,
};
static_assert(sizeof kKeptFactsMembers / sizeof kKeptFactsMembers[0] ==
                  kKeptImageSizeLimit - kKeptFactsFirst,
              "every facts count is kept");
static_assert(sizeof(FactsCounts) == 19 * sizeof(uint64_t), "a new count is kept as well");

} // namespace

void KeepRowFactsCounts(const Recording* app, KeptCounts* counts) {
    if (app->rowFacts == nullptr) return;
    const FactsCounts c = RowFactsCounts(app);
    for (uint32_t i = 0; i < kKeptImageSizeLimit - kKeptFactsFirst; ++i)
        counts->value[kKeptFactsFirst + i] = c.*kKeptFactsMembers[i];
    counts->value[kKeptImageSizeLimit] = kDefaultImageFactsSizeLimit;
    counts->value[kKeptRowsNotAsked] = app->rowFacts->rowsNotAsked;
    counts->known |= kKeptFacts;
}

void AppendRowFactsNotes(const Recording* app, const char16_t* prefix, char16_t* out,
                         size_t capacity, int32_t* lines) {
    // The live worker's counts, or those a session kept.
    KeptCounts kept = app->keptCounts;
    KeepRowFactsCounts(app, &kept);
    if ((kept.known & kKeptFacts) == 0) return;
    FactsCounts c{};
    for (uint32_t i = 0; i < kKeptImageSizeLimit - kKeptFactsFirst; ++i)
        c.*kKeptFactsMembers[i] = kept.value[kKeptFactsFirst + i];
    AppendFactsNotes(c, kept.value[kKeptImageSizeLimit], prefix, out, capacity, lines);
    if (kept.value[kKeptRowsNotAsked] > 0) {
        char16_t line[96];
        FormatText(line, 96, u"%lu rows' facts not asked for: too many rows waiting",
                   static_cast<uint32_t>(kept.value[kKeptRowsNotAsked]));
        AppendNoteLine(out, capacity, prefix, line, lines);
    }
}

void FreeRowFacts(Recording* app) {
    if (app->rowFacts == nullptr) return;
    ReleaseFactsWorker(app->rowFacts->worker);
    FreeBlock(app->rowFacts);
    app->rowFacts = nullptr;
}

} // namespace olv

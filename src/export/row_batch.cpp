#include "export/row_batch.h"

namespace olv {

bool MeasureShownRows(const Recording* app, int32_t first, int32_t count, RowTextLengths* lengths) {
    for (int32_t j = 0; j < count; ++j) {
        const int32_t index = app->shownRows[first + j];
        if (index < 0 || index >= app->rowCount) return false;
    }
    for (int32_t j = 0; j < count; ++j) {
        const int32_t index = app->shownRows[first + j];
        TextView views[kRowTextCount];
        StoredTextViews(app, index, views);
        for (uint32_t t = 0; t < kRowTextCount; ++t)
            lengths[j].chars[t] = static_cast<uint16_t>(views[t].length);
    }
    return true;
}

} // namespace olv

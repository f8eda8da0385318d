#include "export/row_batch.h"

namespace olv {

bool ViewShownRows(const Recording* app, int32_t first, int32_t count, RowTextViews* views) {
    for (int32_t j = 0; j < count; ++j) {
        const int32_t index = app->shownRows[first + j];
        if (index < 0 || index >= app->rowCount) return false;
    }
    for (int32_t j = 0; j < count; ++j)
        StoredTextViews(app, app->shownRows[first + j], views[j].text);
    return true;
}

} // namespace olv

#include "app/window_layout.h"

#include <cstdint>
#include <utility>

#include "app/window_state.h"
#include "doctest.h"

using namespace olv;

namespace {

constexpr int kWidths[7] = {105, 70, 150, 80, 200, 420, 110};
constexpr int kStatus = 22;
constexpr int kScroll = 17;

int Right(const ControlRect& r) {
    return r.x + r.width;
}
MainLayout Layout(int w, int h, int dpi = 96) {
    MainLayout out{};
    int widths[7];
    for (int i = 0; i < 7; ++i)
        widths[i] = ScaleByDpi(kWidths[i], dpi);
    ComputeMainLayout(w, h, ScaleByDpi(kStatus, dpi), widths, ScaleByDpi(kScroll, dpi), dpi, &out);
    return out;
}

bool Same(const ControlRect& r, int x, int y, int w, int h) {
    return r.x == x && r.y == y && r.width == w && r.height == h;
}

} // namespace

TEST_CASE("the layout at 96 DPI places every control where the window was drawn") {
    const MainLayout l = Layout(1104, 641);
    CHECK(Same(l.targetEdit, 8, 10, 774, 24));
    CHECK(Same(l.browseButton, 790, 8, 60, 28));
    CHECK(Same(l.startButton, 858, 8, 160, 28));
    CHECK(Same(l.stopButton, 1026, 8, 70, 28));
    CHECK(Same(l.fileCheck, 8, 46, 74, 24));
    CHECK(Same(l.suspiciousCheck, 334, 46, 84, 24));
    CHECK(Same(l.operationCombo, 426, 44, 180, 280));
    CHECK(Same(l.filterEdit, 614, 46, 286, 24));
    CHECK(Same(l.clearButton, 908, 44, 90, 28));
    CHECK(Same(l.exportCsvButton, 1006, 44, 90, 28));
    CHECK(Same(l.eventList, 8, 80, 1088, 641 - 22 - 80));
    // 1104 - 16 - (105 + 70 + 150 + 80 + 200 + 110) - 17 - 8
    CHECK(l.pathColumnWidth == 348);
}

TEST_CASE("narrow and short windows keep the minimum sizes of the edits, list and path column") {
    const MainLayout at800 = Layout(800, 400);
    CHECK(at800.targetEdit.width == 470);
    CHECK(at800.filterEdit.width == 70);

    // Below 430 the path box keeps 100 pixels and the buttons keep their offsets from it.
    const MainLayout narrow = Layout(300, 100);
    CHECK(narrow.targetEdit.width == 100);
    CHECK(narrow.browseButton.x == 116);
    CHECK(narrow.startButton.x == 184);
    CHECK(narrow.stopButton.x == 352);
    CHECK(narrow.filterEdit.width == 70);
    CHECK(narrow.exportCsvButton.x == 790);
    CHECK(narrow.eventList.height == 50);
    CHECK(narrow.pathColumnWidth == 200);
    CHECK(narrow.eventList.width == 300 - 16);
}

TEST_CASE("at the minimum size every control of both rows is wholly inside the client area") {
    for (int dpi : {96, 120, 144, 192}) {
        CAPTURE(dpi);
        int w = 0, h = 0;
        const int status = ScaleByDpi(kStatus, dpi);
        MinimumClientSize(dpi, status, &w, &h);
        const MainLayout l = Layout(w, h, dpi);
        const ControlRect* rows[] = {&l.targetEdit,     &l.browseButton, &l.startButton,
                                     &l.stopButton,     &l.fileCheck,    &l.registryCheck,
                                     &l.networkCheck,   &l.processCheck, &l.suspiciousCheck,
                                     &l.operationCombo, &l.filterEdit,   &l.clearButton,
                                     &l.exportCsvButton};
        for (int i = 0; i < 13; ++i) {
            CAPTURE(i);
            CHECK(rows[i]->x >= 0);
            CHECK(Right(*rows[i]) <= w);
        }
        CHECK(l.eventList.y + l.eventList.height <= h - status);
        CHECK(l.eventList.height >= ScaleByDpi(50, dpi));
        // One pixel narrower and the "Export CSV" button would be cut.
        const MainLayout tight = Layout(w - 1, h, dpi);
        CHECK(Right(tight.exportCsvButton) > w - 1 - ScaleByDpi(8, dpi));
    }
    // The window itself never goes below 800 x 500 at 96 DPI, and grows with the frame.
    int w = 0, h = 0;
    MinimumWindowSize(96, 22, 16, 59, &w, &h);
    CHECK(w == 888 + 16);
    CHECK(h == 500);
    MinimumWindowSize(96, 22, 0, 0, &w, &h);
    CHECK((w == 888 && h == 500));
}

TEST_CASE("geometry scales with the DPI and is exact at 96") {
    CHECK(ScaleByDpi(105, 96) == 105);
    CHECK(ScaleByDpi(105, 120) == 131); // 131.25
    CHECK(ScaleByDpi(70, 144) == 105);
    CHECK(ScaleByDpi(-5, 144) == -8); // -7.5 rounds away from zero
    CHECK(ScaleByDpi(1120, 0) == 1120);

    const MainLayout l = Layout(1656, 962, 144); // 1104 x 641 at 150%
    CHECK(Same(l.stopButton, 1539, 12, 105, 42));
    CHECK(Same(l.exportCsvButton, 1509, 66, 135, 42));
    CHECK(l.eventList.x == 12);
    CHECK(l.eventList.width == 1656 - 24);

    int w = 0, h = 0;
    InitialWindowSize(144, &w, &h);
    CHECK((w == 1680 && h == 1050));
}

TEST_CASE("a move to a monitor of another DPI: the new DPI, and sizes kept as they look") {
    CHECK(DpiFromChange(0x00900090) == 144);
    CHECK(DpiFromChange(0x00780078) == 120);
    CHECK(DpiFromChange(0x00600060) == 96);
    // Not a DPI any monitor has: the message's rectangle alone is used.
    CHECK(DpiFromChange(0) == 0);
    CHECK(DpiFromChange(47) == 0);
    CHECK(DpiFromChange(1921) == 0);
    CHECK(DpiFromChange(48) == 48);

    CHECK(RescaleForDpi(105, 96, 144) == 158); // 157.5
    CHECK(RescaleForDpi(158, 144, 96) == 105); // 105.33
    CHECK(RescaleForDpi(90, 96, 120) == 113);  // 112.5
    CHECK(RescaleForDpi(-12, 96, 144) == -18); // a font height in character units
    CHECK(RescaleForDpi(-11, 96, 120) == -14); // -13.75
    CHECK(RescaleForDpi(131, 120, 120) == 131);
    CHECK(RescaleForDpi(131, 0, 120) == 131);
    CHECK(RescaleForDpi(131, 120, -1) == 131);
    // From 96 the same as the 96-DPI arithmetic of the first layout.
    for (int dpi : {96, 120, 144, 168, 192})
        for (int value : {0, 1, 7, 105, 420, 1120})
            CHECK(RescaleForDpi(value, 96, dpi) == ScaleByDpi(value, dpi));

    // A round trip keeps the widths the user chose; the path column is the layout's.
    int widths[kListColumnCount] = {105, 90, 150, 80, 200, 999, 110};
    RescaleColumnWidths(widths, kListColumnCount, 96, 144);
    CHECK(widths[0] == 158);
    CHECK(widths[1] == 135);
    CHECK(widths[kPathColumn] == 999);
    RescaleColumnWidths(widths, kListColumnCount, 144, 96);
    const int back[kListColumnCount] = {105, 90, 150, 80, 200, 999, 110};
    for (int i = 0; i < kListColumnCount; ++i)
        CHECK(widths[i] == back[i]);
    RescaleColumnWidths(nullptr, kListColumnCount, 96, 144); // nothing to do
}

TEST_CASE("the first window fits the work area of its monitor and is centred in it") {
    struct Case {
        ScreenRect work;
        int width, height;
        ScreenRect expected;
    } cases[] = {
        // 1920 x 1080 with a 40-pixel taskbar at the bottom: 1120 x 700 fits, centred above it.
        {{0, 0, 1920, 1040}, 1120, 700, {400, 170, 1520, 870}},
        // 150 % on that screen wants 1680 x 1050, more than the 1040 above the taskbar.
        {{0, 0, 1920, 1040}, 1680, 1050, {120, 0, 1800, 1040}},
        // A taskbar at the top and one on the left: the area does not start at the corner.
        {{0, 48, 1366, 768}, 1680, 1050, {0, 48, 1366, 768}},
        {{62, 0, 1280, 1024}, 1120, 700, {111, 162, 1231, 862}},
        // A monitor left of and above the primary one has negative coordinates.
        {{-1920, -1080, 0, -40}, 1120, 700, {-1520, -910, -400, -210}},
        // Nothing known of the work area: the wanted size at its corner.
        {{0, 0, 0, 0}, 1120, 700, {0, 0, 1120, 700}},
    };
    for (const Case& c : cases) {
        CAPTURE(c.work.right);
        CAPTURE(c.width);
        const ScreenRect r = FitWindowToWorkArea(c.work, c.width, c.height);
        CHECK(r.left == c.expected.left);
        CHECK(r.top == c.expected.top);
        CHECK(r.right == c.expected.right);
        CHECK(r.bottom == c.expected.bottom);
        if (c.work.right > c.work.left) {
            CHECK((r.left >= c.work.left && r.top >= c.work.top && r.right <= c.work.right &&
                   r.bottom <= c.work.bottom));
        }
    }
}

TEST_CASE("the control table names each window field's control, in creation order") {
    Recording app{};
    WireControls(&app,
                 [](int id) { return reinterpret_cast<UiHandle>(static_cast<intptr_t>(id + 1)); });
    REQUIRE(app.window != nullptr);
    const MainWindow& w = *app.window;
    auto id = [](UiHandle h) { return static_cast<int>(reinterpret_cast<intptr_t>(h)) - 1; };
    const std::pair<UiHandle, int> fields[] = {
        {w.mainWindow, 0},          {w.targetEdit, 1001},   {w.browseButton, 1002},
        {w.startButton, 1003},     {w.stopButton, 1004},   {w.clearButton, 1005},
        {w.exportCsvButton, 1006}, {w.eventList, 1007},    {w.fileCheck, 1008},
        {w.registryCheck, 1009},   {w.networkCheck, 1010}, {w.processCheck, 1011},
        {w.filterEdit, 1012},      {w.statusBar, 1013},    {w.operationCombo, 1014},
        {w.suspiciousCheck, 1015},
        // The core is given the list and the status bar.
        {app.window->eventList, 1007}, {app.window->statusBar, 1013}};
    for (const auto& [handle, expected] : fields)
        CHECK(id(handle) == expected);
    const int order[kMainControlCount] = {1001, 1002, 1003, 1004, 1008, 1009, 1010, 1011,
                                          1015, 1014, 1012, 1005, 1006, 1007, 1013};
    for (int i = 0; i < kMainControlCount; ++i)
        CHECK(kMainControls[i].id == order[i]);
    CHECK(FindControlSpec(1016) == nullptr);
    CHECK((kMainControls[3].style & 0x08000000u) != 0); // "Stop" starts disabled
    FreeMainWindow(&app);
}

namespace {
bool Same(const ScreenRect& a, const ScreenRect& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}
bool Inside(const ScreenRect& r, const ScreenRect& area) {
    return r.left >= area.left && r.top >= area.top && r.right <= area.right &&
           r.bottom <= area.bottom;
}
} // namespace

TEST_CASE("auxiliary windows open beside the main window, else centred on it, never off the area") {
    const ScreenRect work{0, 0, 1920, 1040};
    struct Case {
        ScreenRect main;
        int width, height, others;
        ScreenRect expected;
    } cases[] = {
        // Room on the right of a main window at the left: beside it, tops aligned.
        {{0, 100, 1120, 800}, 720, 500, 0, {1120, 100, 1840, 600}},
        // The second and third window step down and right from the first.
        {{0, 100, 1120, 800}, 720, 500, 1, {1144, 124, 1864, 624}},
        {{0, 100, 1120, 800}, 720, 500, 2, {1168, 148, 1888, 648}},
        // No room on the right, room on the left.
        {{800, 100, 1920, 800}, 720, 500, 0, {80, 100, 800, 600}},
        // The centred main window of the first start leaves neither: centred on it.
        {{400, 170, 1520, 870}, 1000, 560, 0, {460, 240, 1460, 800}},
        // A window taller than the area below: kept inside, moved up.
        {{400, 600, 1520, 1040}, 1000, 560, 0, {460, 480, 1460, 1040}},
        // A wish larger than the work area: the work area.
        {{0, 0, 1920, 1040}, 2400, 1400, 0, {0, 0, 1920, 1040}},
    };
    for (const Case& c : cases) {
        CAPTURE(c.main.left);
        CAPTURE(c.others);
        const ScreenRect r = PlaceAuxWindow(c.main, work, c.width, c.height, c.others, 24);
        CHECK(Same(r, c.expected));
        CHECK(Inside(r, work));
    }
    // A monitor left of the primary one: the rectangle stays on it, never at 0,0.
    const ScreenRect left{-1920, 0, 0, 1040};
    const ScreenRect r = PlaceAuxWindow({-1520, 170, -400, 870}, left, 1000, 560, 0, 24);
    CHECK(Inside(r, left));
    CHECK(Same(r, {-1460, 240, -460, 800}));
}

TEST_CASE("the find window moves off the row it found, below it, or above it at the bottom") {
    const ScreenRect work{0, 0, 1920, 1040};
    const ScreenRect find{1200, 220, 1600, 360};
    // A row it does not cover: it stays.
    CHECK(Same(KeepFindWindowOffRow(find, {20, 500, 1500, 520}, work), find));
    CHECK(Same(KeepFindWindowOffRow(find, {20, 200, 1199, 220}, work), find)); // edges touch
    // A row under it: just below the row.
    CHECK(Same(KeepFindWindowOffRow(find, {20, 300, 1500, 320}, work), {1200, 320, 1600, 460}));
    // Near the bottom of the area: just above the row.
    CHECK(Same(KeepFindWindowOffRow({1200, 900, 1600, 1040}, {20, 950, 1500, 970}, work),
               {1200, 810, 1600, 950}));
}

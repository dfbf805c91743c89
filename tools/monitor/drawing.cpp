// The icon and the chart, in the visual language of ktsensors --plot: status bands at 45 %
// over white, the temperature as a blue line, the limits as dashed step lines, the owner's
// thresholds as dotted ones.
#include "drawing.h"

#include <algorithm>
#include <string>
#include <vector>

namespace monitor {

namespace {

const uint32_t kWhite = 0xffffff;
const uint64_t kTickMs = 2 * 60 * 1000;

COLORREF Ref(uint32_t rgb) { return RGB((rgb >> 16) & 0xff, (rgb >> 8) & 0xff, rgb & 0xff); }

// Colours of the chart: --plot's, or in a high-contrast theme the system's.
struct Palette {
    bool highContrast;
    COLORREF background, text, grid, temperature, warningLimit, criticalLimit, ownerLimit;
};

Palette PaletteFor(bool highContrast)
{
    if (highContrast)
        return {true,
                GetSysColor(COLOR_WINDOW),
                GetSysColor(COLOR_WINDOWTEXT),
                GetSysColor(COLOR_GRAYTEXT),
                GetSysColor(COLOR_HIGHLIGHT),
                GetSysColor(COLOR_WINDOWTEXT),
                GetSysColor(COLOR_WINDOWTEXT),
                GetSysColor(COLOR_WINDOWTEXT)};
    return {false,
            Ref(kWhite),
            Ref(kDarkTextColour),
            RGB(0xe0, 0xe0, 0xe0),
            Ref(kTemperatureColour),
            Ref(kWarningLimitColour),
            Ref(kCriticalLimitColour),
            Ref(kStatusChangeColour)};
}

// How a line is drawn: the temperature solid, the library's limits dashed, the owner's
// thresholds dotted.
enum class Stroke { Solid, Dashed, Dotted };

// The dash and the gap of a stroke at `dpi`.
void StrokeSteps(Stroke stroke, UINT dpi, int *dash, int *gap)
{
    *dash = MulDiv(stroke == Stroke::Dotted ? 2 : 6, (int)dpi, 96);
    *gap = MulDiv(stroke == Stroke::Dotted ? 3 : 4, (int)dpi, 96);
}

// The band of a point: its status, or failed.
int BandOf(const HistoryPoint &point) { return point.failed ? -1 : point.status; }

// Fills a band: the status colour at 45 % over white, or in high contrast a hatch per status
// (none for normal).
void FillBand(HDC dc, const RECT &rect, int band, const Palette &palette)
{
    if (!palette.highContrast) {
        uint32_t colour = band < 0 ? kFailedColour : StatusColour(band);
        HBRUSH brush = CreateSolidBrush(Ref(Blend(colour, kWhite, kBandOpacity)));
        FillRect(dc, &rect, brush);
        DeleteObject(brush);
        return;
    }
    int hatch = band < 0 ? HS_CROSS
                : band == KOVALTHERM_STATUS_NORMAL ? -1
                : band == KOVALTHERM_STATUS_WARNING ? HS_BDIAGONAL
                : band == KOVALTHERM_STATUS_CRITICAL ? HS_DIAGCROSS
                                                     : HS_VERTICAL;
    if (hatch < 0)
        return;
    HBRUSH brush = CreateHatchBrush(hatch, palette.grid);
    SetBkColor(dc, palette.background);
    FillRect(dc, &rect, brush);
    DeleteObject(brush);
}

void FillSolid(HDC dc, int left, int top, int right, int bottom, COLORREF colour)
{
    RECT rect = {left, top, right, bottom};
    HBRUSH brush = CreateSolidBrush(colour);
    FillRect(dc, &rect, brush);
    DeleteObject(brush);
}

// A horizontal dashed line `width` pixels thick.
void DashedLine(HDC dc, int x0, int x1, int y, int dash, int gap, int width, COLORREF colour)
{
    for (int x = x0; x < x1; x += dash + gap)
        FillSolid(dc, x, y - width / 2, std::min(x + dash, x1), y - width / 2 + width, colour);
}

void Text(HDC dc, int x, int y, const std::wstring &text, UINT align)
{
    SetTextAlign(dc, align);
    TextOutW(dc, x, y, text.c_str(), (int)text.size());
}

int TextWidth(HDC dc, const std::wstring &text)
{
    SIZE size = {0, 0};
    GetTextExtentPoint32W(dc, text.c_str(), (int)text.size(), &size);
    return size.cx;
}

int Scaled(int value, UINT dpi) { return MulDiv(value, (int)dpi, 96); }

// The legend: a swatch per band, then the lines (the owner's thresholds where a sensor shown has
// them), in rows that end before `right`; returns the y below it.
int PaintLegend(HDC dc, int left, int top, int right, const Palette &palette, UINT dpi, bool ownersLimits)
{
    const int kLine = -2; // an item that is a line, not a band
    struct Item {
        int band;
        const wchar_t *label;
        COLORREF colour;
        Stroke stroke;
    };
    const Item items[] = {{KOVALTHERM_STATUS_NORMAL, L"normal", 0, Stroke::Solid},
                          {KOVALTHERM_STATUS_WARNING, L"warning", 0, Stroke::Solid},
                          {KOVALTHERM_STATUS_CRITICAL, L"critical", 0, Stroke::Solid},
                          {KOVALTHERM_STATUS_NONE, L"no status", 0, Stroke::Solid},
                          {-1, L"failed", 0, Stroke::Solid},
                          {kLine, L"temperature", palette.temperature, Stroke::Solid},
                          {kLine, L"warning limit", palette.warningLimit, Stroke::Dashed},
                          {kLine, L"critical limit", palette.criticalLimit, Stroke::Dashed},
                          {kLine, L"owner's limits", palette.ownerLimit, Stroke::Dotted}};
    int box = Scaled(12, dpi), space = Scaled(6, dpi), after = Scaled(14, dpi), lineLength = Scaled(20, dpi);
    int width = std::max(1, Scaled(2, dpi));
    TEXTMETRICW metrics;
    GetTextMetricsW(dc, &metrics);
    int rowHeight = std::max(box, (int)metrics.tmHeight) + Scaled(4, dpi);
    int x = left, y = top;
    for (const Item &item : items) {
        if (item.stroke == Stroke::Dotted && !ownersLimits)
            continue;
        int swatch = item.band == kLine ? lineLength : box;
        int itemWidth = swatch + space + TextWidth(dc, item.label);
        if (x > left && x + itemWidth > right) {
            x = left;
            y += rowHeight;
        }
        int middle = y + rowHeight / 2;
        if (item.band != kLine) {
            RECT rect = {x, middle - box / 2, x + box, middle - box / 2 + box};
            FillBand(dc, rect, item.band, palette);
            if (palette.highContrast)
                FrameRect(dc, &rect, (HBRUSH)GetStockObject(palette.text == RGB(0, 0, 0) ? BLACK_BRUSH : WHITE_BRUSH));
        } else if (item.stroke != Stroke::Solid) {
            int dash, gap;
            StrokeSteps(item.stroke, dpi, &dash, &gap);
            DashedLine(dc, x, x + lineLength, middle, dash, gap, width, item.colour);
        } else {
            FillSolid(dc, x, middle - width / 2, x + lineLength, middle - width / 2 + width, item.colour);
        }
        Text(dc, x + swatch + space, middle - metrics.tmHeight / 2, item.label, TA_LEFT | TA_TOP);
        x += itemWidth + after;
    }
    return y + rowHeight;
}

// One sensor's panel: its name and current values, then the plot.
void PaintPanel(HDC dc, const RECT &panel, int ordinal, const SensorHistory &sensor, const ChartView &view,
                const Palette &palette)
{
    UINT dpi = view.dpi;
    uint64_t from = view.nowMs > kHistorySpanMs ? view.nowMs - kHistorySpanMs : 0;
    std::vector<HistoryPoint> points = PointsSince(sensor, from);

    // Heading: "sensor 1 (location 4, Chipset)   41 °C  normal;  warning by the owner's limits (...)"
    std::wstring name = SensorTitle(ordinal, sensor.haveLocation, sensor.location, sensor.label);
    SelectObject(dc, view.boldFont);
    Text(dc, panel.left, panel.top, name, TA_LEFT | TA_TOP);
    int nameWidth = TextWidth(dc, name);
    SelectObject(dc, view.font);
    if (!points.empty())
        Text(dc, panel.left + nameWidth + Scaled(16, dpi), panel.top, PanelStatus(points.back()), TA_LEFT | TA_TOP);

    TEXTMETRICW metrics;
    GetTextMetricsW(dc, &metrics);
    RECT plot = {panel.left + Scaled(40, dpi), panel.top + metrics.tmHeight + Scaled(6, dpi), panel.right,
                 panel.bottom - metrics.tmHeight - Scaled(6, dpi)};
    if (plot.bottom - plot.top < Scaled(20, dpi) || plot.right - plot.left < Scaled(40, dpi))
        return;
    double width = plot.right - plot.left;
    auto x = [&](uint64_t t) {
        return plot.left + (int)((double)(t < from ? 0 : t - from) * width / (double)kHistorySpanMs);
    };
    Scale scale = ScaleFor(points);
    auto y = [&](int celsius) {
        return plot.bottom - MulDiv(celsius - scale.low, plot.bottom - plot.top, scale.high - scale.low);
    };
    // Where each point's band ends: at the next point, or after a few intervals of silence.
    std::vector<int> ends(points.size());
    uint64_t silence = 3 * (uint64_t)view.intervalMs;
    for (size_t i = 0; i < points.size(); ++i) {
        uint64_t next = i + 1 < points.size() ? points[i + 1].timeMs : view.nowMs;
        ends[i] = x(std::min(next, points[i].timeMs + silence));
    }

    for (size_t i = 0; i < points.size(); ++i) {
        // A failed reading also covers the silence before it, while it waited.
        int left = x(points[i].timeMs);
        if (points[i].failed && i > 0)
            left = std::min(left, ends[i - 1]);
        RECT band = {left, plot.top, ends[i], plot.bottom};
        if (band.right > band.left)
            FillBand(dc, band, BandOf(points[i]), palette);
    }
    // Grid, axes' labels and frame.
    HPEN gridPen = CreatePen(PS_SOLID, 1, palette.grid);
    HGDIOBJ oldPen = SelectObject(dc, gridPen);
    // Every tick gets a grid line; in a low panel only every second or fifth gets its label.
    int spacing = std::max(1, (int)(y(scale.low) - y(scale.low + scale.step)));
    int every = ((int)metrics.tmHeight + spacing - 1) / spacing;
    for (int index = 0; index <= (scale.high - scale.low) / scale.step; ++index) {
        int t = scale.low + index * scale.step;
        MoveToEx(dc, plot.left, y(t), nullptr);
        LineTo(dc, plot.right, y(t));
        if (index % every == 0)
            Text(dc, plot.left - Scaled(4, dpi), y(t) - metrics.tmHeight / 2, std::to_wstring(t), TA_RIGHT | TA_TOP);
    }
    for (uint64_t ago = kHistorySpanMs;; ago -= kTickMs) {
        int tx = plot.left + (int)((double)(kHistorySpanMs - ago) * width / (double)kHistorySpanMs);
        MoveToEx(dc, tx, plot.top, nullptr);
        LineTo(dc, tx, plot.bottom);
        std::wstring label = ago ? L"-" + std::to_wstring(ago / 60000) + L" min" : L"now";
        UINT align = ago == kHistorySpanMs ? TA_LEFT : ago ? TA_CENTER : TA_RIGHT;
        Text(dc, tx, plot.bottom + Scaled(2, dpi), label, align | TA_TOP);
        if (ago == 0)
            break;
    }
    SelectObject(dc, oldPen);
    DeleteObject(gridPen);
    HBRUSH frame = CreateSolidBrush(palette.text);
    FrameRect(dc, &plot, frame);
    DeleteObject(frame);

    // The library's limits as dashed step lines, the owner's thresholds as dotted ones, each
    // run of one value drawn once.
    HRGN clip = CreateRectRgn(plot.left, plot.top, plot.right, plot.bottom);
    SelectClipRgn(dc, clip);
    int lineWidth = std::max(1, Scaled(2, dpi));
    auto limitOf = [](const HistoryPoint &point, int which, int *value) {
        switch (which) {
        case 0: *value = point.warningLimit; return point.haveWarning;
        case 1: *value = point.criticalLimit; return point.haveCritical;
        case 2: *value = point.ownerWarning; return point.ownerWarning != ktsensors::kNoThreshold;
        default: *value = point.ownerCritical; return point.ownerCritical != ktsensors::kNoThreshold;
        }
    };
    for (int which = 0; which < 4; ++which) {
        COLORREF colour = which == 0 ? palette.warningLimit : which == 1 ? palette.criticalLimit : palette.ownerLimit;
        int thickness = which == 1 && palette.highContrast ? lineWidth * 2 : lineWidth, dash, gap;
        StrokeSteps(which < 2 ? Stroke::Dashed : Stroke::Dotted, dpi, &dash, &gap);
        for (size_t i = 0; i < points.size();) {
            int value = 0, next = 0;
            bool have = limitOf(points[i], which, &value);
            size_t j = i + 1;
            while (j < points.size() && have && limitOf(points[j], which, &next) && next == value &&
                   ends[j - 1] >= x(points[j].timeMs))
                ++j;
            if (have)
                DashedLine(dc, x(points[i].timeMs), ends[j - 1], y(value), dash, gap, thickness, colour);
            i = j;
        }
    }
    // The temperature, broken where a reading failed or readings stopped for a while.
    HPEN line = CreatePen(PS_SOLID, lineWidth, palette.temperature);
    oldPen = SelectObject(dc, line);
    for (size_t i = 0; i < points.size(); ++i) {
        if (!points[i].haveTemperature)
            continue;
        bool joined = i > 0 && points[i - 1].haveTemperature && ends[i - 1] >= x(points[i].timeMs);
        bool continues = i + 1 < points.size() && points[i + 1].haveTemperature && ends[i] >= x(points[i + 1].timeMs);
        int px = x(points[i].timeMs), py = y(points[i].temperature);
        if (joined)
            LineTo(dc, px, py);
        else if (!continues)
            FillSolid(dc, px - lineWidth, py - lineWidth, px + lineWidth + 1, py + lineWidth + 1, palette.temperature);
        MoveToEx(dc, px, py, nullptr);
    }
    SelectObject(dc, oldPen);
    DeleteObject(line);
    SelectClipRgn(dc, nullptr);
    DeleteObject(clip);
}

} // namespace

UINT ScreenDpi()
{
    HDC screen = GetDC(nullptr);
    int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? (UINT)dpi : 96;
}

HFONT MakeMessageFont(UINT dpi, bool bold)
{
    // Windows 10's SystemParametersInfoForDpi where the system has it.
    using ForDpi = BOOL(WINAPI *)(UINT, UINT, PVOID, UINT, UINT);
    HMODULE user = GetModuleHandleW(L"user32.dll");
    ForDpi forDpi =
        user ? reinterpret_cast<ForDpi>(reinterpret_cast<void (*)()>(GetProcAddress(user, "SystemParametersInfoForDpi")))
             : nullptr;
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof metrics;
    if (!forDpi || !forDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi)) {
        SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
        metrics.lfMessageFont.lfHeight = MulDiv(metrics.lfMessageFont.lfHeight, (int)dpi, (int)ScreenDpi());
    }
    if (bold)
        metrics.lfMessageFont.lfWeight = FW_BOLD;
    return CreateFontIndirectW(&metrics.lfMessageFont);
}

HICON MakeIcon(const IconFace &face, int size)
{
    BITMAPINFO format = {};
    format.bmiHeader.biSize = sizeof format.bmiHeader;
    format.bmiHeader.biWidth = size;
    format.bmiHeader.biHeight = -size;
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    format.bmiHeader.biCompression = BI_RGB;
    void *bits = nullptr;
    HBITMAP colour = CreateDIBSection(nullptr, &format, DIB_RGB_COLORS, &bits, nullptr, 0);
    HBITMAP mask = CreateBitmap(size, size, 1, 1, nullptr);
    HDC dc = CreateCompatibleDC(nullptr);
    HICON icon = nullptr;
    if (colour && mask && dc) {
        HGDIOBJ oldBitmap = SelectObject(dc, mask);
        PatBlt(dc, 0, 0, size, size, BLACKNESS); // every pixel opaque
        SelectObject(dc, colour);
        FillSolid(dc, 0, 0, size, size, Ref(face.background));
        // The largest bold font whose text fits the icon's width.
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, Ref(face.foreground));
        HFONT font = nullptr;
        for (int height = size + size / 4; height >= 6; --height) {
            HFONT candidate = CreateFontW(-height, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                          OUT_TT_PRECIS, CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY,
                                          VARIABLE_PITCH | FF_SWISS, L"Tahoma");
            SelectObject(dc, candidate);
            if (font)
                DeleteObject(font);
            font = candidate;
            if (TextWidth(dc, face.text) <= size)
                break;
        }
        RECT all = {0, 0, size, size};
        DrawTextW(dc, face.text.c_str(), (int)face.text.size(), &all, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
        GdiFlush();
        for (int i = 0; i < size * size; ++i)
            static_cast<DWORD *>(bits)[i] |= 0xff000000;
        SelectObject(dc, oldBitmap);
        if (font)
            DeleteObject(font);
        ICONINFO info = {TRUE, 0, 0, mask, colour};
        icon = CreateIconIndirect(&info);
    }
    if (dc)
        DeleteDC(dc);
    if (colour)
        DeleteObject(colour);
    if (mask)
        DeleteObject(mask);
    return icon;
}

void PaintChart(HDC dc, const RECT &area, const History &history, const ChartView &view)
{
    Palette palette = PaletteFor(view.highContrast);
    HBRUSH background = CreateSolidBrush(palette.background);
    FillRect(dc, &area, background);
    DeleteObject(background);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, palette.text);
    HGDIOBJ oldFont = SelectObject(dc, view.font);
    UINT dpi = view.dpi;
    int margin = Scaled(12, dpi);
    bool ownersLimits = false;
    for (int ordinal : history.shown) {
        const SensorHistory &sensor = history.sensors[ordinal];
        if (sensor.count) {
            const HistoryPoint &last = sensor.ring[(sensor.first + sensor.count - 1) % sensor.ring.size()];
            ownersLimits |= last.ownerWarning != ktsensors::kNoThreshold || last.ownerCritical != ktsensors::kNoThreshold;
        }
    }
    int top = PaintLegend(dc, area.left + margin, area.top + margin, area.right - margin, palette, dpi, ownersLimits) +
              Scaled(4, dpi);
    TEXTMETRICW metrics;
    GetTextMetricsW(dc, &metrics);

    // A line on the state of the readings: failing ones in the critical limit's colour, an
    // awaited one in the text's.
    std::wstring line = ReadingsLine(view.latest, view.overdue, view.overdueMs);
    int lineTop = top;
    if (!line.empty()) {
        SetTextColor(dc, view.latest && !view.overdue ? palette.criticalLimit : palette.text);
        Text(dc, area.left + margin, top, line, TA_LEFT | TA_TOP);
        SetTextColor(dc, palette.text);
    }
    top += metrics.tmHeight + Scaled(8, dpi);
    // Why the sensor configuration is not valid, wrapped to the window's width, in the readings
    // line's place when that is empty.
    std::wstring config = ConfigLine(view.latest);
    if (!config.empty()) {
        int configTop = line.empty() ? lineTop : top;
        RECT box = {area.left + margin, configTop, area.right - margin, configTop};
        SetTextAlign(dc, TA_LEFT | TA_TOP);
        DrawTextW(dc, config.c_str(), (int)config.size(), &box, DT_WORDBREAK | DT_NOPREFIX | DT_CALCRECT);
        box.right = area.right - margin;
        SetTextColor(dc, palette.criticalLimit);
        DrawTextW(dc, config.c_str(), (int)config.size(), &box, DT_WORDBREAK | DT_NOPREFIX);
        SetTextColor(dc, palette.text);
        top = std::max(top, (int)box.bottom + Scaled(8, dpi));
    }

    // A panel per sensor the chart shows.
    size_t panels = history.shown.size();
    if (panels == 0) {
        SelectObject(dc, oldFont);
        return;
    }
    int height = (area.bottom - margin - top) / (int)panels;
    for (size_t i = 0; i < panels; ++i) {
        RECT panel = {area.left + margin, top + (int)i * height, area.right - margin - Scaled(8, dpi),
                      top + (int)(i + 1) * height - Scaled(6, dpi)};
        PaintPanel(dc, panel, history.shown[i], history.sensors[history.shown[i]], view, palette);
    }
    SelectObject(dc, oldFont);
}

} // namespace monitor

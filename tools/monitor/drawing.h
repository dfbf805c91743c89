// What the monitor draws with GDI: the notification-area icon and the chart window's contents.
#ifndef KOVALTHERM_MONITOR_DRAWING_H
#define KOVALTHERM_MONITOR_DRAWING_H

#include <windows.h>

#include "model.h"

namespace monitor {

// The face drawn on a square icon of `size` pixels; null if GDI failed.
HICON MakeIcon(const IconFace &face, int size);

// The screen's DPI (the system's on Windows before 8.1).
UINT ScreenDpi();

// The system's message font at `dpi`, bold if asked; null if GDI failed.
HFONT MakeMessageFont(UINT dpi, bool bold);

// What the chart needs besides the history.
struct ChartView {
    const Reading *latest = nullptr; // null before the first reading
    bool overdue = false;            // no reading for longer than overdueMs
    uint64_t overdueMs = 0;
    uint64_t nowMs = 0;
    DWORD intervalMs = 2000;
    UINT dpi = 96;
    bool highContrast = false; // system colours only, the bands hatched
    HFONT font = nullptr, boldFont = nullptr;
};

// Paints the legend, the lines on the readings and the sensor configuration, and a panel per
// sensor shown over the last ten minutes into `area`.
void PaintChart(HDC dc, const RECT &area, const History &history, const ChartView &view);

} // namespace monitor

#endif

// The SVG plot. Time runs along x in seconds; each sample's status colours the band from that
// sample to the next, so a status that lags the temperature (the hysteresis) shows as a band
// that outlasts the crossing of a limit.
#include "plot.h"

#include <math.h>
#include <stdio.h>

#include <algorithm>
#include <functional>
#include <map>

#include "base/cache_layout.h"
#include "palette.h"

namespace ktsensors {

namespace {

const double kPlotWidth = 820, kPanelHeight = 240, kLeft = 60, kRight = 20, kGap = 56;
// The legend's first row (its keys' top), the height of a row, and the room below the last.
const double kLegendTop = 32, kLegendRow = 18, kLegendBelow = 24;
const double kFontSize = 12, kLabelFontSize = 10;
// Text is laid out at this share of its font size per character, which the average glyph of
// common sans-serif fonts does not exceed, so that no text runs past what it is given.
const double kCharWidthEm = 0.6;
// The threshold labels stand in a column right of the plot, clear of the limit lines, this
// far from it; labels in a panel are at least a line apart.
const double kLabelGap = 6, kLabelLine = 13;

struct Sample {
    double seconds;
    SensorReading reading;
};

// A colour of the palette as SVG writes it ("#66bb6a").
std::string Hex(uint32_t colour)
{
    char text[8];
    snprintf(text, sizeof text, "#%06x", (unsigned)(colour & 0xffffff));
    return text;
}

// The bands' fill-opacity as SVG writes it ("0.45").
std::string BandOpacity()
{
    char text[16];
    snprintf(text, sizeof text, "%g", kBandOpacity);
    return text;
}

// Fill colour of a status band; a failed status call has the failed colour.
uint32_t BandColour(const Call &status) { return status.ok ? StatusColour(status.value) : kFailedColour; }

std::string Number(double value)
{
    char text[32];
    snprintf(text, sizeof text, "%.1f", value);
    return text;
}

std::string Escape(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else if (c == '&') out += "&amp;";
        else if (c == '"') out += "&quot;";
        else out += c;
    }
    return out;
}

// A tick step of 1, 2 or 5 times a power of ten giving about `ticks` ticks over `span`.
double TickStep(double span, int ticks)
{
    double raw = span / ticks;
    double power = pow(10, floor(log10(raw > 0 ? raw : 1)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (raw <= m * power)
            return m * power;
    return 10 * power;
}

// A step line through the successful values of one limit: gaps where the call failed.
std::string LimitPath(const std::vector<Sample> &samples, const Call SensorReading::*limit,
                      double endSeconds, double (*x)(double, double), double xScale,
                      const std::function<double(double)> &y)
{
    std::string d;
    bool drawing = false;
    for (size_t i = 0; i < samples.size(); ++i) {
        const Call &call = samples[i].reading.*limit;
        double until = i + 1 < samples.size() ? samples[i + 1].seconds : endSeconds;
        if (!call.ok) {
            drawing = false;
            continue;
        }
        d += (drawing ? " L" : " M") + Number(x(samples[i].seconds, xScale)) + "," + Number(y(call.value));
        d += " L" + Number(x(until, xScale)) + "," + Number(y(call.value));
        drawing = true;
    }
    return d;
}

double X(double seconds, double scale) { return kLeft + seconds * scale; }

// How wide `text` is at `fontSize`, as laid out.
double TextWidth(const std::string &text, double fontSize) { return kCharWidthEm * fontSize * text.size(); }

// A temperature a panel marks with a dotted line, and its label.
struct Change {
    double celsius;
    std::string label;
};

// The temperatures at which the status changes, from the cache's limits: above warning high
// less the margin a warning, above warning normal a warning holds, from critical high less
// its margin critical. None where the limits are not known.
std::vector<Change> Changes(const std::vector<StatusThresholds> &thresholds, int ordinal)
{
    if ((size_t)ordinal >= thresholds.size() || !thresholds[ordinal].known)
        return {};
    const StatusThresholds &t = thresholds[ordinal];
    return {{(double)t.warningHigh - STATUS_WARNING_MARGIN,
             "above " + std::to_string(t.warningHigh - STATUS_WARNING_MARGIN) + ": warning"},
            {(double)t.warningNormal, "warning holds above " + std::to_string(t.warningNormal)},
            {(double)t.criticalHigh - STATUS_CRITICAL_MARGIN,
             "from " + std::to_string(t.criticalHigh - STATUS_CRITICAL_MARGIN) + ": critical"}};
}

// The temperatures a panel marks: where the library's status changes, and the owner's
// thresholds as the sensor's first sample gives them.
std::vector<Change> PanelChanges(const std::vector<StatusThresholds> &thresholds, int ordinal,
                                 const std::vector<Sample> &samples)
{
    std::vector<Change> changes = Changes(thresholds, ordinal);
    const SensorReading &first = samples.front().reading;
    if (first.ownerWarning != kNoThreshold)
        changes.push_back({(double)first.ownerWarning, "owner's warning: " + std::to_string(first.ownerWarning)});
    if (first.ownerCritical != kNoThreshold)
        changes.push_back({(double)first.ownerCritical, "owner's critical: " + std::to_string(first.ownerCritical)});
    return changes;
}

// Baselines for labels wanted at `wanted` (in any order), moved apart until they are a line
// apart, staying within `top`..`bottom` where they can.
std::vector<double> SpreadLabels(const std::vector<double> &wanted, double top, double bottom)
{
    std::vector<size_t> order(wanted.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return wanted[a] < wanted[b]; });
    std::vector<double> placed(wanted.size());
    for (size_t k = 0; k < order.size(); ++k)
        placed[order[k]] = k == 0 ? wanted[order[k]] : std::max(wanted[order[k]], placed[order[k - 1]] + kLabelLine);
    for (size_t k = order.size(); k-- > 0;) {
        double limit = k + 1 == order.size() ? bottom : placed[order[k + 1]] - kLabelLine;
        placed[order[k]] = std::max(std::min(placed[order[k]], limit), top + kLabelFontSize);
    }
    return placed;
}

} // namespace

std::string PlotSvg(const std::vector<Reading> &readings, const std::string &title,
                    const std::vector<StatusThresholds> &thresholds)
{
    std::map<int, std::vector<Sample>> bySensor;
    double endSeconds = 0;
    for (const Reading &reading : readings)
        for (const SensorReading &s : reading.sensors) {
            bySensor[s.ordinal].push_back(Sample{s.timeMs / 1000.0, s});
            endSeconds = std::max(endSeconds, s.timeMs / 1000.0);
        }
    if (endSeconds <= 0)
        endSeconds = 1;
    double plotWidth = kPlotWidth;
    double xScale = plotWidth / endSeconds;
    double plotRight = kLeft + plotWidth;
    // Right of the plot: the column of threshold labels, as wide as the longest, or a margin.
    double labelColumn = 0;
    for (const auto &sensor : bySensor)
        for (const Change &change : PanelChanges(thresholds, sensor.first, sensor.second))
            labelColumn = std::max(labelColumn, kLabelGap + TextWidth(change.label, kLabelFontSize));
    double width = plotRight + labelColumn + kRight;

    // The legend's keys, in rows that end within the width.
    struct Key { uint32_t colour; const char *label; bool band; };
    const Key keys[] = {{kNormalColour, "normal", true}, {kWarningColour, "warning", true},
                        {kCriticalColour, "critical", true}, {kNoStatusColour, "no status", true},
                        {kFailedColour, "call failed", true}, {kTemperatureColour, "temperature", false},
                        {kWarningLimitColour, "warning limit", false}, {kCriticalLimitColour, "critical limit", false},
                        {kStatusChangeColour, "status changes", false}};
    std::string legend;
    double lx = kLeft, ly = kLegendTop;
    for (const Key &key : keys) {
        double textEnd = lx + 16 + TextWidth(key.label, kFontSize);
        if (lx > kLeft && textEnd > width - kRight) {
            lx = kLeft;
            ly += kLegendRow;
            textEnd = lx + 16 + TextWidth(key.label, kFontSize);
        }
        if (key.band)
            legend += "<rect x=\"" + Number(lx) + "\" y=\"" + Number(ly) + "\" width=\"12\" height=\"12\" fill=\"" +
                      Hex(key.colour) + "\" fill-opacity=\"" + BandOpacity() + "\"/>\n";
        else
            legend += "<line x1=\"" + Number(lx) + "\" y1=\"" + Number(ly + 6) + "\" x2=\"" + Number(lx + 12) +
                      "\" y2=\"" + Number(ly + 6) + "\" stroke=\"" + Hex(key.colour) + "\" stroke-width=\"2\"/>\n";
        legend += "<text x=\"" + Number(lx + 16) + "\" y=\"" + Number(ly + 11) + "\">" + key.label + "</text>\n";
        lx = textEnd + 14;
    }
    const double panelsTop = ly + kLegendBelow;
    size_t panels = bySensor.empty() ? 1 : bySensor.size();
    double height = panelsTop + panels * (kPanelHeight + kGap);

    std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Number(width) +
                      "\" height=\"" + Number(height) + "\" viewBox=\"0 0 " + Number(width) + " " +
                      Number(height) + "\" font-family=\"sans-serif\" font-size=\"" + Number(kFontSize) + "\">\n";
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    svg += "<text x=\"" + Number(kLeft) + "\" y=\"22\" font-size=\"15\" font-weight=\"bold\">" +
           Escape(title) + "</text>\n";
    svg += legend;

    if (bySensor.empty())
        svg += "<text x=\"" + Number(kLeft) + "\" y=\"" + Number(panelsTop + 40) +
               "\">no sensors: the library reported none</text>\n";

    size_t panel = 0;
    for (const auto &[ordinal, samples] : bySensor) {
        double top = panelsTop + panel * (kPanelHeight + kGap) + 20;
        double bottom = top + kPanelHeight - 20;
        // Temperature range: every temperature and limit read, with a margin.
        double low = 1e9, high = -1e9;
        for (const Sample &s : samples)
            for (const Call *c : {&s.reading.temperature, &s.reading.warningLimit, &s.reading.criticalLimit})
                if (c->ok) {
                    low = std::min(low, (double)c->value);
                    high = std::max(high, (double)c->value);
                }
        std::vector<Change> changes = PanelChanges(thresholds, ordinal, samples);
        for (const Change &change : changes) {
            low = std::min(low, change.celsius);
            high = std::max(high, change.celsius);
        }
        if (low > high)
            low = 0, high = 100;
        low = std::max(0.0, floor(low - 5));
        high = ceil(high + 5);
        auto y = [&](double t) { return bottom - (t - low) * (bottom - top) / (high - low); };

        const SensorReading &first = samples.front().reading;
        std::string name = first.location.ok ? SensorName(first) : "sensor " + std::to_string(ordinal);
        svg += "<text x=\"" + Number(kLeft) + "\" y=\"" + Number(top - 6) + "\" font-weight=\"bold\">" +
               Escape(name) + "</text>\n";

        // Status bands, merging runs of the same status.
        for (size_t i = 0; i < samples.size();) {
            size_t j = i + 1;
            uint32_t colour = BandColour(samples[i].reading.status);
            while (j < samples.size() && BandColour(samples[j].reading.status) == colour)
                ++j;
            double from = samples[i].seconds;
            double to = j < samples.size() ? samples[j].seconds : endSeconds;
            svg += "<rect x=\"" + Number(X(from, xScale)) + "\" y=\"" + Number(top) + "\" width=\"" +
                   Number(std::max(0.5, (to - from) * xScale)) + "\" height=\"" + Number(bottom - top) +
                   "\" fill=\"" + Hex(colour) + "\" fill-opacity=\"" + BandOpacity() + "\"/>\n";
            i = j;
        }

        // Axes, grid and ticks.
        double yStep = TickStep(high - low, 6);
        for (double t = ceil(low / yStep) * yStep; t <= high + 1e-9; t += yStep) {
            svg += "<line x1=\"" + Number(kLeft) + "\" y1=\"" + Number(y(t)) + "\" x2=\"" +
                   Number(plotRight) + "\" y2=\"" + Number(y(t)) + "\" stroke=\"#000\" stroke-opacity=\"0.1\"/>\n";
            svg += "<text x=\"" + Number(kLeft - 6) + "\" y=\"" + Number(y(t) + 4) +
                   "\" text-anchor=\"end\">" + Number(t).substr(0, Number(t).size() - 2) + "</text>\n";
        }
        double xStep = TickStep(endSeconds, 10);
        for (double s = 0; s <= endSeconds + 1e-9; s += xStep) {
            svg += "<line x1=\"" + Number(X(s, xScale)) + "\" y1=\"" + Number(bottom) + "\" x2=\"" +
                   Number(X(s, xScale)) + "\" y2=\"" + Number(bottom + 4) + "\" stroke=\"#000\"/>\n";
            char label[32];
            snprintf(label, sizeof label, "%g", s);
            svg += "<text x=\"" + Number(X(s, xScale)) + "\" y=\"" + Number(bottom + 16) +
                   "\" text-anchor=\"middle\">" + label + "</text>\n";
        }
        svg += "<rect x=\"" + Number(kLeft) + "\" y=\"" + Number(top) + "\" width=\"" + Number(plotWidth) +
               "\" height=\"" + Number(bottom - top) + "\" fill=\"none\" stroke=\"#000\"/>\n";
        svg += "<text x=\"" + Number(kLeft + plotWidth / 2) + "\" y=\"" + Number(bottom + 32) +
               "\" text-anchor=\"middle\">time (s)</text>\n";
        svg += "<text transform=\"translate(16," + Number((top + bottom) / 2) +
               ") rotate(-90)\" text-anchor=\"middle\">temperature (C)</text>\n";

        // The status thresholds as dotted lines, labelled in the column right of the plot,
        // level with their lines where they do not crowd each other.
        std::vector<double> wanted;
        for (const Change &change : changes)
            wanted.push_back(y(change.celsius) + kLabelFontSize * 0.35);
        std::vector<double> baselines = SpreadLabels(wanted, top, bottom);
        for (size_t i = 0; i < changes.size(); ++i) {
            svg += "<line x1=\"" + Number(kLeft) + "\" y1=\"" + Number(y(changes[i].celsius)) + "\" x2=\"" +
                   Number(plotRight) + "\" y2=\"" + Number(y(changes[i].celsius)) +
                   "\" stroke=\"" + Hex(kStatusChangeColour) + "\" stroke-width=\"1\" stroke-dasharray=\"2 3\"/>\n";
            svg += "<text x=\"" + Number(plotRight + kLabelGap) + "\" y=\"" + Number(baselines[i]) + "\" font-size=\"" +
                   Number(kLabelFontSize) + "\" fill=\"" + Hex(kStatusChangeColour) + "\">" + Escape(changes[i].label) + "</text>\n";
        }

        // Limits as step lines, then the temperature, broken where a read failed.
        std::function<double(double)> yf = y;
        std::string warn = LimitPath(samples, &SensorReading::warningLimit, endSeconds, X, xScale, yf);
        std::string crit = LimitPath(samples, &SensorReading::criticalLimit, endSeconds, X, xScale, yf);
        if (!warn.empty())
            svg += "<path d=\"" + warn.substr(1) + "\" fill=\"none\" stroke=\"" + Hex(kWarningLimitColour) + "\" stroke-width=\"1.5\" stroke-dasharray=\"6 4\"/>\n";
        if (!crit.empty())
            svg += "<path d=\"" + crit.substr(1) + "\" fill=\"none\" stroke=\"" + Hex(kCriticalLimitColour) + "\" stroke-width=\"1.5\" stroke-dasharray=\"6 4\"/>\n";
        std::string line;
        bool drawing = false;
        for (const Sample &s : samples) {
            if (!s.reading.temperature.ok) {
                drawing = false;
                continue;
            }
            line += (drawing ? " L" : " M") + Number(X(s.seconds, xScale)) + "," + Number(y(s.reading.temperature.value));
            drawing = true;
        }
        if (!line.empty())
            svg += "<path d=\"" + line.substr(1) + "\" fill=\"none\" stroke=\"" + Hex(kTemperatureColour) + "\" stroke-width=\"2\"/>\n";
        // A reading with no successful neighbour draws no line: it gets a marker instead.
        for (size_t i = 0; i < samples.size(); ++i) {
            bool before = i > 0 && samples[i - 1].reading.temperature.ok;
            bool after = i + 1 < samples.size() && samples[i + 1].reading.temperature.ok;
            if (samples[i].reading.temperature.ok && !before && !after)
                svg += "<circle class=\"single\" cx=\"" + Number(X(samples[i].seconds, xScale)) + "\" cy=\"" +
                       Number(y(samples[i].reading.temperature.value)) + "\" r=\"3.5\" fill=\"" + Hex(kTemperatureColour) + "\"/>\n";
        }
        ++panel;
    }
    svg += "</svg>\n";
    return svg;
}

} // namespace ktsensors

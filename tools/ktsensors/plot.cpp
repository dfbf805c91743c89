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

namespace ktsensors {

namespace {

const double kWidth = 900, kPanelHeight = 240, kLeft = 60, kRight = 20, kTop = 56, kGap = 56;

struct Sample {
    double seconds;
    SensorReading reading;
};

// Fill colour of a status band; a failed status call is drawn dark grey.
const char *BandColour(const Call &status)
{
    if (!status.ok)
        return "#616161";
    switch (status.value) {
    case KOVALTHERM_STATUS_NORMAL: return "#66bb6a";
    case KOVALTHERM_STATUS_WARNING: return "#ffca28";
    case KOVALTHERM_STATUS_CRITICAL: return "#ef5350";
    default: return "#bdbdbd";
    }
}

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
    double plotWidth = kWidth - kLeft - kRight;
    double xScale = plotWidth / endSeconds;
    size_t panels = bySensor.empty() ? 1 : bySensor.size();
    double height = kTop + panels * (kPanelHeight + kGap);

    std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Number(kWidth) +
                      "\" height=\"" + Number(height) + "\" viewBox=\"0 0 " + Number(kWidth) + " " +
                      Number(height) + "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    svg += "<text x=\"" + Number(kLeft) + "\" y=\"22\" font-size=\"15\" font-weight=\"bold\">" +
           Escape(title) + "</text>\n";
    // Legend.
    struct Key { const char *colour; const char *label; bool band; };
    const Key keys[] = {{"#66bb6a", "normal", true}, {"#ffca28", "warning", true},
                        {"#ef5350", "critical", true}, {"#bdbdbd", "no status", true},
                        {"#616161", "call failed", true}, {"#1565c0", "temperature", false},
                        {"#ef6c00", "warning limit", false}, {"#b71c1c", "critical limit", false},
                        {"#6a1b9a", "status changes", false}};
    double lx = kLeft;
    for (const Key &key : keys) {
        if (key.band)
            svg += "<rect x=\"" + Number(lx) + "\" y=\"32\" width=\"12\" height=\"12\" fill=\"" +
                   key.colour + "\" fill-opacity=\"0.45\"/>\n";
        else
            svg += "<line x1=\"" + Number(lx) + "\" y1=\"38\" x2=\"" + Number(lx + 12) +
                   "\" y2=\"38\" stroke=\"" + key.colour + "\" stroke-width=\"2\"/>\n";
        svg += "<text x=\"" + Number(lx + 16) + "\" y=\"43\">" + key.label + "</text>\n";
        lx += 16 + 7.2 * std::string(key.label).size() + 14;
    }

    if (bySensor.empty())
        svg += "<text x=\"" + Number(kLeft) + "\" y=\"" + Number(kTop + 40) +
               "\">no sensors: the library reported none</text>\n";

    size_t panel = 0;
    for (const auto &[ordinal, samples] : bySensor) {
        double top = kTop + panel * (kPanelHeight + kGap) + 20;
        double bottom = top + kPanelHeight - 20;
        // Temperature range: every temperature and limit read, with a margin.
        double low = 1e9, high = -1e9;
        for (const Sample &s : samples)
            for (const Call *c : {&s.reading.temperature, &s.reading.warningLimit, &s.reading.criticalLimit})
                if (c->ok) {
                    low = std::min(low, (double)c->value);
                    high = std::max(high, (double)c->value);
                }
        // The temperatures at which the status changes, from the cache's limits.
        struct Line { double celsius; std::string label; };
        std::vector<Line> changes;
        if ((size_t)ordinal < thresholds.size() && thresholds[ordinal].known) {
            const StatusThresholds &t = thresholds[ordinal];
            changes.push_back({(double)t.warningHigh - STATUS_WARNING_MARGIN,
                               "above " + std::to_string(t.warningHigh - STATUS_WARNING_MARGIN) + ": warning"});
            changes.push_back({(double)t.warningNormal,
                               "warning holds above " + std::to_string(t.warningNormal)});
            changes.push_back({(double)t.criticalHigh - STATUS_CRITICAL_MARGIN,
                               "from " + std::to_string(t.criticalHigh - STATUS_CRITICAL_MARGIN) + ": critical"});
            for (const Line &line : changes) {
                low = std::min(low, line.celsius);
                high = std::max(high, line.celsius);
            }
        }
        if (low > high)
            low = 0, high = 100;
        low = std::max(0.0, floor(low - 5));
        high = ceil(high + 5);
        auto y = [&](double t) { return bottom - (t - low) * (bottom - top) / (high - low); };

        const SensorReading &first = samples.front().reading;
        std::string name = "sensor " + std::to_string(ordinal);
        if (first.location.ok)
            name += " (location " + std::to_string(first.location.value) + ")";
        svg += "<text x=\"" + Number(kLeft) + "\" y=\"" + Number(top - 6) + "\" font-weight=\"bold\">" +
               Escape(name) + "</text>\n";

        // Status bands, merging runs of the same status.
        for (size_t i = 0; i < samples.size();) {
            size_t j = i + 1;
            const char *colour = BandColour(samples[i].reading.status);
            while (j < samples.size() && BandColour(samples[j].reading.status) == colour)
                ++j;
            double from = samples[i].seconds;
            double to = j < samples.size() ? samples[j].seconds : endSeconds;
            svg += "<rect x=\"" + Number(X(from, xScale)) + "\" y=\"" + Number(top) + "\" width=\"" +
                   Number(std::max(0.5, (to - from) * xScale)) + "\" height=\"" + Number(bottom - top) +
                   "\" fill=\"" + colour + "\" fill-opacity=\"0.45\"/>\n";
            i = j;
        }

        // Axes, grid and ticks.
        double yStep = TickStep(high - low, 6);
        for (double t = ceil(low / yStep) * yStep; t <= high + 1e-9; t += yStep) {
            svg += "<line x1=\"" + Number(kLeft) + "\" y1=\"" + Number(y(t)) + "\" x2=\"" +
                   Number(kWidth - kRight) + "\" y2=\"" + Number(y(t)) + "\" stroke=\"#000\" stroke-opacity=\"0.1\"/>\n";
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

        // The status thresholds as dotted lines, labelled at the right.
        for (const Line &line : changes) {
            svg += "<line x1=\"" + Number(kLeft) + "\" y1=\"" + Number(y(line.celsius)) + "\" x2=\"" +
                   Number(kWidth - kRight) + "\" y2=\"" + Number(y(line.celsius)) +
                   "\" stroke=\"#6a1b9a\" stroke-width=\"1\" stroke-dasharray=\"2 3\"/>\n";
            svg += "<text x=\"" + Number(kWidth - kRight - 4) + "\" y=\"" + Number(y(line.celsius) - 3) +
                   "\" text-anchor=\"end\" font-size=\"10\" fill=\"#6a1b9a\">" + Escape(line.label) + "</text>\n";
        }

        // Limits as step lines, then the temperature, broken where a read failed.
        std::function<double(double)> yf = y;
        std::string warn = LimitPath(samples, &SensorReading::warningLimit, endSeconds, X, xScale, yf);
        std::string crit = LimitPath(samples, &SensorReading::criticalLimit, endSeconds, X, xScale, yf);
        if (!warn.empty())
            svg += "<path d=\"" + warn.substr(1) + "\" fill=\"none\" stroke=\"#ef6c00\" stroke-width=\"1.5\" stroke-dasharray=\"6 4\"/>\n";
        if (!crit.empty())
            svg += "<path d=\"" + crit.substr(1) + "\" fill=\"none\" stroke=\"#b71c1c\" stroke-width=\"1.5\" stroke-dasharray=\"6 4\"/>\n";
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
            svg += "<path d=\"" + line.substr(1) + "\" fill=\"none\" stroke=\"#1565c0\" stroke-width=\"2\"/>\n";
        // A reading with no successful neighbour draws no line: it gets a marker instead.
        for (size_t i = 0; i < samples.size(); ++i) {
            bool before = i > 0 && samples[i - 1].reading.temperature.ok;
            bool after = i + 1 < samples.size() && samples[i + 1].reading.temperature.ok;
            if (samples[i].reading.temperature.ok && !before && !after)
                svg += "<circle class=\"single\" cx=\"" + Number(X(samples[i].seconds, xScale)) + "\" cy=\"" +
                       Number(y(samples[i].reading.temperature.value)) + "\" r=\"3.5\" fill=\"#1565c0\"/>\n";
        }
        ++panel;
    }
    svg += "</svg>\n";
    return svg;
}

} // namespace ktsensors

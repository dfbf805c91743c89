// A strict parser of Prometheus' text exposition format (version 0.0.4), as node_exporter's
// textfile collector reads it: HELP and TYPE before a family's samples, each family's samples
// together, every series once, no timestamps (the collector refuses them).
#ifndef KTSENSORS_TESTS_PROMETHEUS_PARSER_H
#define KTSENSORS_TESTS_PROMETHEUS_PARSER_H

#include <stdlib.h>

#include <map>
#include <set>
#include <sstream>
#include <string>

namespace tooltest {

struct Exposition {
    std::map<std::string, std::string> types;   // family -> type
    std::map<std::string, std::string> help;    // family -> help text
    std::map<std::string, double> samples;      // name{labels as written} -> value
};

inline bool IsNameStart(char c) { return isalpha((unsigned char)c) || c == '_' || c == ':'; }
inline bool IsNameChar(char c) { return IsNameStart(c) || isdigit((unsigned char)c); }

// Reads a metric or label name at `*at`; empty when there is none.
inline std::string ReadName(const std::string &line, size_t *at, bool colons)
{
    size_t start = *at;
    while (*at < line.size() && (IsNameChar(line[*at]) && (colons || line[*at] != ':')) &&
           (*at > start || !isdigit((unsigned char)line[*at])))
        ++*at;
    return line.substr(start, *at - start);
}

// Parses `text`; false with the offending line in `*error`.
inline bool ParseExposition(const std::string &text, Exposition *out, std::string *error)
{
    if (text.empty() || text.back() != '\n') {
        *error = "does not end with a newline";
        return false;
    }
    std::istringstream in(text);
    std::set<std::string> closed; // families whose samples are over
    std::string current;
    std::set<std::string> sampled; // families with samples so far
    for (std::string line; std::getline(in, line);) {
        auto fail = [&](const std::string &why) {
            *error = why + ": " + line;
            return false;
        };
        if (line.empty())
            continue;
        if (line[0] == '#') {
            std::istringstream words(line);
            std::string hash, keyword, name;
            words >> hash >> keyword >> name;
            if (keyword != "HELP" && keyword != "TYPE")
                continue; // a comment
            size_t at = 0;
            if (ReadName(name, &at, true) != name || name.empty())
                return fail("bad metric name");
            std::string rest;
            std::getline(words, rest);
            rest = rest.empty() ? rest : rest.substr(1);
            if (keyword == "TYPE") {
                if (out->types.count(name) || sampled.count(name))
                    return fail("TYPE repeated or after samples");
                if (rest != "gauge" && rest != "counter" && rest != "untyped" && rest != "summary" && rest != "histogram")
                    return fail("unknown type");
                out->types[name] = rest;
            } else {
                if (out->help.count(name))
                    return fail("HELP repeated");
                out->help[name] = rest;
            }
            continue;
        }
        size_t at = 0;
        std::string name = ReadName(line, &at, true);
        if (name.empty())
            return fail("no metric name");
        std::string series = name;
        if (at < line.size() && line[at] == '{') {
            series += '{';
            ++at;
            bool first = true;
            while (at < line.size() && line[at] != '}') {
                if (!first) {
                    if (line[at] != ',')
                        return fail("labels not separated by ','");
                    series += line[at++];
                }
                first = false;
                std::string label = ReadName(line, &at, false);
                if (label.empty() || at + 1 >= line.size() || line[at] != '=' || line[at + 1] != '"')
                    return fail("bad label");
                series += label + "=\"";
                for (at += 2; at < line.size() && line[at] != '"'; ++at) {
                    if (line[at] == '\\') {
                        if (at + 1 >= line.size() || (line[at + 1] != '\\' && line[at + 1] != '"' && line[at + 1] != 'n'))
                            return fail("bad escape in a label value");
                        series += line[at++];
                    }
                    series += line[at];
                }
                if (at >= line.size())
                    return fail("unterminated label value");
                series += line[at++];
            }
            if (at >= line.size())
                return fail("unterminated labels");
            series += line[at++];
        }
        if (at >= line.size() || line[at] != ' ')
            return fail("no value");
        std::string value = line.substr(at + 1);
        char *end = nullptr;
        double number = strtod(value.c_str(), &end);
        if (value.empty() || *end != '\0')
            return fail("value is not a single number (or has a timestamp)");
        if (name != current) {
            if (closed.count(name))
                return fail("samples of a family are not together");
            if (!current.empty())
                closed.insert(current);
            current = name;
        }
        if (!out->types.count(name))
            return fail("sample before its TYPE");
        sampled.insert(name);
        if (!out->samples.emplace(series, number).second)
            return fail("series repeated");
    }
    return true;
}

} // namespace tooltest

#endif

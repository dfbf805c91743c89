// ktsensors' command line, parsed with CLI11.
#include "options.h"

#include <CLI/CLI.hpp>

#ifndef KTSENSORS_VERSION
#define KTSENSORS_VERSION "unknown"
#endif

namespace ktsensors {

ParseResult ParseOptions(int argc, char **argv, const std::string &machine, Options *options,
                         std::string *text)
{
    CLI::App app("Prints the notebook's thermal sensors as Kovaltherm.dll reports them: "
                 "temperature, warning and critical limits, and status.\nMachine: " + machine,
                 "ktsensors");
    app.set_version_flag("--version", "ktsensors " KTSENSORS_VERSION " (" + machine + ")");
    app.footer("Exit status: 0 when every read succeeded, 1 when a read failed or the machine "
               "has no thermal support, 2 on a usage error.");

    auto *json = app.add_flag("--json", options->json,
                              "print each reading as one JSON document on its own line");
    auto *watch = app.add_option("--watch", options->watchSeconds,
                                 "take a reading every SECONDS until interrupted (or --count)")
                      ->type_name("SECONDS")
                      ->check(CLI::PositiveNumber);
    auto *count = app.add_option("--count", options->count, "take N readings, then stop")
                      ->type_name("N")
                      ->check(CLI::Range(uint64_t(1), uint64_t(1) << 40));
    app.add_option("--registry", options->registry,
                   "registry file of the simulated notebook (default: $KOVALTHERM_REGISTRY, "
                   "else $XDG_STATE_HOME/kovaltherm/registry.db)")
        ->type_name("PATH");
    auto *scenario = app.add_option("--scenario", options->scenario,
                                    "simulate the notebook described in this JSON file")
                         ->type_name("FILE")
                         ->check(CLI::ExistingFile);
    auto *dump = app.add_flag("--dump-registry", options->dumpRegistry,
                              "print the sensor cache in REGEDIT4 text, as `reg export` would, "
                              "and read no sensor");
    auto *plot = app.add_option("--plot", options->plot,
                                "run the notebook's temperature traces through the library and "
                                "draw temperature, limits and status over time")
                     ->type_name("FILE.svg");
    app.add_flag("--trace", options->trace,
                 "have the library explain each failed call (and each cache rebuild) with a "
                 "line on stderr");
    dump->excludes(json)->excludes(watch)->excludes(count)->excludes(scenario)->excludes(plot);
    plot->excludes(json);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &) {
        *text = app.help();
        return ParseResult::Done;
    } catch (const CLI::CallForAllHelp &) {
        *text = app.help("", CLI::AppFormatMode::All);
        return ParseResult::Done;
    } catch (const CLI::CallForVersion &e) {
        *text = std::string(e.what()) + "\n";
        return ParseResult::Done;
    } catch (const CLI::ParseError &e) {
        *text = std::string(e.what()) + " (see --help)";
        return ParseResult::UsageError;
    }
    options->watch = watch->count() > 0;
    options->countGiven = count->count() > 0;
    if (options->watch && !options->countGiven && options->plot.empty())
        options->count = 0;
    return ParseResult::Run;
}

} // namespace ktsensors

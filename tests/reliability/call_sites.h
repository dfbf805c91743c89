// The library's call sites of failable stand-in functions, read from this program's own
// machine code, so that the fault tests can tell how many of them a fault has reached
// independently of which calls the runs happened to make.
#ifndef KOVALTHERM_TESTS_CALL_SITES_H
#define KOVALTHERM_TESTS_CALL_SITES_H

#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "kovaltherm.h"
#include "platform/host/test_controls.h"

namespace reliability {

struct CallSite {
    uintptr_t returnAddress; // as the disassembly numbers it: the instruction after the call
    std::string callee;      // the stand-in function, or "indirect" for a call through a pointer
    std::string where;       // file:line of the call in the library's sources
};

// The names of the failable stand-in functions, from the stand-in's own list.
inline std::set<std::string> FailableFunctionNames()
{
    std::set<std::string> names;
    for (int f = 0; f < host::FN_COUNT; ++f)
        if (host::kFailableFunctions & (1u << f))
            names.insert(host::FunctionName((host::HostFunction)f));
    return names;
}

// True if `file` is one of the library's own sources (src/, but not the stand-in).
inline bool IsLibrarySource(const std::string &file)
{
    size_t at = file.rfind("/src/");
    return at != std::string::npos && file.compare(at, 19, "/src/platform/host/") != 0;
}

// Every call in the library's code, in this program, to a failable stand-in function, and
// every call through a pointer (the timer functions the library looks up at run time are
// called that way). `*delta` receives the difference between run-time addresses and the
// disassembly's. Empty when the disassembly could not be read.
inline std::vector<CallSite> LibraryCallSites(intptr_t *delta)
{
    std::set<std::string> failable = FailableFunctionNames();
    std::vector<CallSite> sites;
    // This program's file: /proc/self/exe would name objdump itself in the command.
    char program[4096];
    ssize_t length = readlink("/proc/self/exe", program, sizeof program - 1);
    if (length <= 0)
        return sites;
    program[length] = '\0';
    std::string command =
        std::string("objdump -d -l --no-show-raw-insn '") + program + "' 2>/dev/null";
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe)
        return sites;
    std::string where;       // the current file:line, from objdump -l
    bool pending = false;    // the last instruction was a call site; its return address is next
    CallSite site;
    uintptr_t anchor = 0;    // LMGetNumSensors in the disassembly
    char buffer[4096];
    while (fgets(buffer, sizeof buffer, pipe)) {
        std::string line(buffer);
        if (!line.empty() && line.back() == '\n')
            line.pop_back();
        unsigned long long address;
        char symbol[512];
        if (line.size() > 0 && line[0] == '/' && line.find(':') != std::string::npos) {
            where = line.substr(0, line.find(" (discriminator"));
            continue;
        }
        if (sscanf(line.c_str(), "%llx <%511[^>]>:", &address, symbol) == 2) {
            if (std::string(symbol) == "LMGetNumSensors")
                anchor = (uintptr_t)address;
            where.clear(); // code without line information belongs to no source
            continue;
        }
        if (line.size() < 2 || line[0] != ' ' || sscanf(line.c_str(), " %llx:", &address) != 1)
            continue;
        if (pending) {
            site.returnAddress = (uintptr_t)address;
            sites.push_back(site);
            pending = false;
        }
        std::string file = where.empty() ? "" : where.substr(0, where.rfind(':'));
        if (!IsLibrarySource(file))
            continue;
        size_t tab = line.find('\t');
        if (tab == std::string::npos)
            continue;
        std::string instruction = line.substr(tab + 1);
        if (instruction.compare(0, 4, "call") != 0)
            continue;
        size_t open = instruction.find('<');
        size_t close = instruction.find('>', open);
        if (instruction.find('*') != std::string::npos) {
            site = {0, "indirect", where.substr(where.rfind('/') + 1)};
            pending = true;
        } else if (open != std::string::npos && close != std::string::npos) {
            std::string callee = instruction.substr(open + 1, close - open - 1);
            callee = callee.substr(0, callee.find('@'));
            if (failable.count(callee)) {
                site = {0, callee, where.substr(where.rfind('/') + 1)};
                pending = true;
            }
        }
    }
    pclose(pipe);
    *delta = (intptr_t)(uintptr_t)&LMGetNumSensors - (intptr_t)anchor;
    if (!anchor)
        sites.clear();
    return sites;
}

// How many of the library's call sites of failable functions a set of fault runs reached.
struct CallSiteCensus {
    size_t reached = 0;
    size_t total = 0;    // direct calls, and calls through a pointer seen calling one
    size_t direct = 0;   // of the total: calls the object code names
    std::string missed;  // one line per site not reached
};

// Counts source sites (function and file:line; a site the compiler copied counts once) from
// the object code, and which of them `faultSites` and `armedCallSites` (run-time return
// addresses from the stand-in) show a fault reached. A call through a pointer counts only if
// it was seen calling a failable function: the object code does not tell where it goes.
inline CallSiteCensus CountCallSites(const std::vector<uintptr_t> &faultSites,
                                     const std::vector<uintptr_t> &armedCallSites)
{
    CallSiteCensus census;
    intptr_t delta = 0;
    std::vector<CallSite> sites = LibraryCallSites(&delta);
    std::set<uintptr_t> fired, called;
    for (uintptr_t address : faultSites)
        fired.insert(address - (uintptr_t)delta);
    for (uintptr_t address : armedCallSites)
        called.insert(address - (uintptr_t)delta);
    std::map<std::string, bool> reachedBySite;
    for (const CallSite &site : sites) {
        bool indirect = site.callee == "indirect";
        if (indirect && !called.count(site.returnAddress))
            continue;
        std::string key = (indirect ? "a call through a pointer" : site.callee) + " at " + site.where;
        bool &reached = reachedBySite[key];
        reached = reached || fired.count(site.returnAddress) != 0;
        if (!indirect)
            census.direct += reachedBySite.size() > census.total ? 1 : 0;
        census.total = reachedBySite.size();
    }
    for (auto &[key, reached] : reachedBySite) {
        if (reached)
            ++census.reached;
        else
            census.missed += "\n  " + key;
    }
    return census;
}

} // namespace reliability

#endif

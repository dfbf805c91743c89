// Gathers the benchmark's JSON files into one: `merge_results OUT NAME=IN...` writes to OUT an
// object with each IN's document under NAME, or an "error" string where IN is missing or not
// JSON. Exits 1 if any IN could not be read or OUT not written.
#include <stdio.h>
#include <string.h>

#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: %s OUT NAME=IN...\n", argv[0]);
        return 2;
    }
    nlohmann::json out = nlohmann::json::object();
    int status = 0;
    for (int i = 2; i < argc; ++i) {
        const char *equals = strchr(argv[i], '=');
        if (!equals) {
            fprintf(stderr, "%s: expected NAME=FILE, got %s\n", argv[0], argv[i]);
            return 2;
        }
        std::string name(argv[i], equals - argv[i]);
        std::ifstream in(equals + 1);
        nlohmann::json document = nlohmann::json::parse(in, nullptr, false);
        if (!in.is_open() || document.is_discarded()) {
            out[name] = {{"error", std::string("no results in ") + (equals + 1)}};
            status = 1;
        } else {
            out[name] = document;
        }
    }
    std::ofstream file(argv[1]);
    file << out.dump(2) << "\n";
    if (!file) {
        fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[1]);
        return 1;
    }
    printf("All figures written to %s\n", argv[1]);
    return status;
}

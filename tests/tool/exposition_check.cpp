// Checks a Prometheus textfile with the strict parser, for the Windows service's tests:
// exit 0 when it parses, 1 with the offending line otherwise.
#include <stdio.h>

#include <fstream>
#include <iterator>

#include "prometheus_parser.h"

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: exposition_check FILE\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    tooltest::Exposition exposition;
    std::string error;
    if (!tooltest::ParseExposition(text, &exposition, &error)) {
        printf("%s: %s\n", argv[1], error.c_str());
        return 1;
    }
    printf("%s: %zu families, %zu samples\n", argv[1], exposition.types.size(), exposition.samples.size());
    return 0;
}

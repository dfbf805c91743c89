/* The interval between readings, in seconds, as --watch, the service and the MSI's INTERVAL take
   it, and the service's own when none is given (also the MSI's default: packaging/msi/build-msi
   reads it here). Plain C, so that the MSI's custom actions include it too. */
#ifndef KTSENSORS_INTERVAL_RULES_H
#define KTSENSORS_INTERVAL_RULES_H

/* Longest interval: a day. */
#define KT_INTERVAL_LONGEST_SECONDS (24 * 60 * 60)
/* Shortest interval: the clock's resolution, a millisecond. */
#define KT_INTERVAL_SHORTEST_SECONDS 0.001
/* The service's interval without --watch. */
#define KT_SERVICE_INTERVAL_SECONDS 30

/* An interval in seconds as the clock's whole milliseconds, rounded to the nearest. */
static inline unsigned long long KtIntervalMs(double seconds)
{
    return (unsigned long long)(seconds * 1000 + 0.5);
}

#endif

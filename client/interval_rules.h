/* The interval between readings, in seconds, as --watch, the service and the MSI's INTERVAL take
   it, and the service's own when none is given (also the MSI's default: packaging/msi/build-msi
   reads it here). Plain C, so that the MSI's custom actions include it too. */
#ifndef KTSENSORS_INTERVAL_RULES_H
#define KTSENSORS_INTERVAL_RULES_H

/* Longest interval: a day. Each number is written as one token, so that texts can quote it. */
#define KT_INTERVAL_LONGEST_SECONDS 86400
/* Shortest interval: the clock's resolution, a millisecond. */
#define KT_INTERVAL_SHORTEST_SECONDS 0.001
/* The service's interval without --watch. */
#define KT_SERVICE_INTERVAL_SECONDS 30

/* A number's token as a string literal: KT_NUMBER_TEXT(KT_SERVICE_INTERVAL_SECONDS) is "30". */
#define KT_TEXT_OF(number) #number
#define KT_NUMBER_TEXT(number) KT_TEXT_OF(number)

/* An interval in seconds as the clock's whole milliseconds, rounded to the nearest. */
static inline unsigned long long KtIntervalMs(double seconds)
{
    return (unsigned long long)(seconds * 1000 + 0.5);
}

#endif

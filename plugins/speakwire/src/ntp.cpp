#include "ntp.h"

#include <sys/time.h>

tstamp ntp_from_unix(apr_uint64_t sec, apr_uint64_t usec)
{
    /* The fraction is computed in double precision and truncated, as clients expect it. */
    const double fraction = (double)usec / 1000000.0 * 4294967296.0;
    return ((sec + NTP_UNIX_EPOCH_OFFSET) << 32) + (tstamp)fraction;
}

tstamp get_time(void)
{
    struct timeval now;
    gettimeofday(&now, NULL);
    return ntp_from_unix((apr_uint64_t)now.tv_sec, (apr_uint64_t)now.tv_usec);
}

/*
 * NTP timestamps for the Speech-Marker header: whole seconds since
 * 1 January 1900 in the upper 32 bits, the fraction of a second in units of
 * 1/4294967296 s in the lower 32 bits.
 */
#ifndef SPEAKWIRE_NTP_H
#define SPEAKWIRE_NTP_H

#include <apr.h>

typedef apr_uint64_t tstamp;

/* Seconds from 1 January 1900 to 1 January 1970. */
#define NTP_UNIX_EPOCH_OFFSET 2208988800ULL

/* The timestamp of a wall-clock reading in Unix seconds and microseconds. */
tstamp ntp_from_unix(apr_uint64_t sec, apr_uint64_t usec);

/* The current NTP timestamp. */
tstamp get_time(void);

#endif

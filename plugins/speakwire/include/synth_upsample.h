/*
 * The service always synthesizes at 8000 Hz; a stream negotiated at a higher
 * rate gets the audio raised to its rate here, so it plays at the right speed.
 */
#ifndef SPEAKWIRE_SYNTH_UPSAMPLE_H
#define SPEAKWIRE_SYNTH_UPSAMPLE_H

#include <apr.h>

/* The rate the service is asked for. */
#define SYNTH_SERVICE_RATE 8000

/*
 * Writes in_count * factor samples into out: between two input samples the
 * values rise linearly, starting from *prev (the last sample of the previous
 * call), which is updated. factor 1 copies.
 */
void synth_upsample(const apr_int16_t *in, apr_size_t in_count, apr_int16_t *out, unsigned factor,
                    apr_int16_t *prev);

#endif

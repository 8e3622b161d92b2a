#include "synth_upsample.h"

void synth_upsample(const apr_int16_t *in, apr_size_t in_count, apr_int16_t *out, unsigned factor,
                    apr_int16_t *prev)
{
    if (factor == 0)
        factor = 1;
    apr_int32_t last = *prev;
    for (apr_size_t i = 0; i < in_count; i++) {
        const apr_int32_t next = in[i];
        for (unsigned j = 1; j <= factor; j++)
            *out++ = (apr_int16_t)(last + (next - last) * (apr_int32_t)j / (apr_int32_t)factor);
        last = next;
    }
    *prev = (apr_int16_t)last;
}
